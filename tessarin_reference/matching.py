"""A plain-Python model of the matchers and the video ranking.

Slow and obvious on purpose: the tests compare the extension against it.

* fuzzy_match / fuzzy_match_nodes: brute force. Every node of the trie in
  preorder (a node before its descendants, children in child_transitions
  order, subtrees under a label 0 left out) with its term, and the plain
  Levenshtein distance between the query and that term. On a tree this is
  exactly what the pruned walk reports.
* optimal_string_alignment: the distance of transpositions=True, where a
  swap of two neighbours is one edit too, from the full table.
* walk(): the pruned walk itself, row by row, counting the nodes whose row
  it fills and the child entries it examines; it follows paths, not nodes, so
  it also says what the extension does on child lists that are not a tree.
* fuzzy_match_video: the ranking formula, with the same order of floating
  point operations as the extension, so scores compare exactly; pool_weight
  its weight of a node, pooled_nodes the nodes it pools, as a reader is
  shown them.
"""

from __future__ import annotations

from tessarin_reference.model import INT32, ModelTrie


class NotATree(Exception):
    """The walk examined more child entries than child_transitions holds."""


def levenshtein(a: str, b: str) -> int:
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(prev + (ca != cb), row[j] + 1, row[j - 1] + 1)
    return row[len(b)]


def optimal_string_alignment(a: str, b: str) -> int:
    """Levenshtein plus swaps of neighbours, no substring edited twice."""
    d = [[i + j if i == 0 or j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(
                d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])
            )
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def preorder(trie: ModelTrie):
    """(node, term) for every node below the root on a tree, in preorder."""
    if not trie.child_labels:
        return
    stack = [(child, "") for child in reversed(trie.children(0))]
    while stack:
        node, prefix = stack.pop()
        label = trie.child_labels[node]
        if label == 0:
            continue
        term = prefix + chr(label)
        yield node, term
        stack.extend((child, term) for child in reversed(trie.children(node)))


def fuzzy_match(trie: ModelTrie, term: str, max_dist: int = 1, limit=None):
    """The (term, 1, distance) tuples of PrefixSearch.fuzzy_match."""
    out = []
    if limit == 0:
        return out
    for node, text in preorder(trie):
        d = levenshtein(term, text)
        if d <= max_dist and trie.is_terminal[node]:
            out.append((text, 1, d))
            if limit is not None and len(out) >= limit:
                break
    return out


def fuzzy_match_nodes(trie: ModelTrie, term: str, max_dist: int, terminal_only: bool):
    """[(node, distance)] of the node matcher."""
    return [
        (node, d)
        for node, text in preorder(trie)
        if (d := levenshtein(term, text)) <= max_dist
        and (not terminal_only or trie.is_terminal[node])
    ]


def walk(trie: ModelTrie, term: str, max_dist: int, terminal_only: bool = False):
    """The pruned walk, following paths: ([(node, distance, text)], visited).

    Raises NotATree once it has examined more child entries than
    child_transitions holds, as the extension does; `visited` counts the
    nodes whose row was filled.
    """
    found, visited, examined = [], 0, 0
    if not trie.child_labels:
        return found, visited
    m = len(term)
    limit = len(trie.child_transitions)

    def fill(prev, depth, label):
        cur = [depth + 1]
        for j in range(1, m + 1):
            cur.append(min(prev[j - 1] + (term[j - 1] != label), prev[j] + 1, cur[j - 1] + 1))
        return cur

    # Frames: (children still to examine, parent's row, parent's depth, text).
    stack = [(list(trie.children(0)), list(range(m + 1)), 0, "")]
    while stack:
        pending, prev, depth, text = stack[-1]
        if not pending:
            stack.pop()
            continue
        child = pending.pop(0)
        examined += 1
        if examined > limit:
            raise NotATree
        label = trie.child_labels[child]
        if label == 0:
            continue
        row = fill(prev, depth, chr(label))
        visited += 1
        if min(row) > max_dist:
            continue
        if row[m] <= max_dist and (not terminal_only or trie.is_terminal[child]):
            found.append((child, row[m], text + chr(label)))
        stack.append((list(trie.children(child)), row, depth + 1, text + chr(label)))
    return found, visited


def identifier(trie: ModelTrie, video: int):
    if trie.id_mode == INT32:
        return str(trie.video_int_ids[video]) if video < len(trie.video_int_ids) else None
    if video >= len(trie.video_uuids):
        return None
    h = trie.video_uuids[video].hex()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def pool_weight(trie: ModelTrie, node: int, d: int, n: int) -> float:
    """The weight of a node at distance d from a query of n characters."""
    w = 1.0 if d == 0 else (0.0 if n == 0 else (1.0 - d / n) * 0.05)
    if w > 0.0 and not trie.is_terminal[node]:
        w *= 0.85
    return max(w, 0.0)


def total_count(trie: ModelTrie, node: int) -> int:
    payload = trie.payloads[node]
    return 0 if payload is None else payload[0]


def own_count(trie: ModelTrie, node: int) -> int:
    """The node's total less its children's, at least 0; a saturated total
    as it is."""
    total = total_count(trie, node)
    if total in (0, 2**32 - 1):
        return total
    below = sum(total_count(trie, c) for c in trie.children(node) if c != node)
    return max(total - below, 0)


def pooled_nodes(trie: ModelTrie, term, max_dist, include_prefix_nodes, limit=None, distance=None):
    """(node, term, distance, is_terminal, count, weight) of the nodes that
    fuzzy_match_video pools, weight above 0: nearest first, then by count
    (own count when only terminal nodes are pooled, else total), highest
    first, then by term, then node; cut to limit."""
    distance = distance or levenshtein
    within = [
        (node, text, d) for node, text in preorder(trie) if (d := distance(term, text)) <= max_dist
    ]
    prefixes = bool(include_prefix_nodes)
    chosen = [e for e in within if prefixes or trie.is_terminal[e[0]]]
    if include_prefix_nodes is None and not chosen:
        chosen, prefixes = within, True
    count = total_count if prefixes else own_count
    pooled = [
        (node, text, d, bool(trie.is_terminal[node]), count(trie, node), w)
        for node, text, d in chosen
        if (w := pool_weight(trie, node, d, len(term))) > 0.0
    ]
    pooled.sort(key=lambda e: (e[2], -e[4], e[1], e[0]))
    return pooled[:limit]


def rank(trie: ModelTrie, term: str, nodes, limit=None, min_score=None):
    """The (identifier, score) tuples for a list of (node, distance)."""
    n = len(term)
    sums: dict[int, float] = {}
    grand = 0.0
    for node, d in nodes:
        w = pool_weight(trie, node, d, n)
        if w <= 0.0:
            continue
        payload = trie.payloads[node]
        if payload is None:
            continue
        total, ids, counts = payload
        grand = total * w + grand
        # A decoded trie may carry lists of different lengths: pair what pairs.
        for video, count in zip(ids, counts, strict=False):
            sums[video] = sums.get(video, 0.0) + count * w
    if grand <= 0.0:
        return []
    threshold = 0.01 if min_score is None else min_score
    kept = [(v, a / grand) for v, a in sums.items() if a / grand >= threshold]
    kept.sort(key=lambda e: (-e[1], e[0]))
    if limit is not None:
        kept = kept[:limit]
    out = []
    for video, score in kept:
        text = identifier(trie, video)
        if text is not None:
            out.append((text, score))
    return out


def fuzzy_match_video(
    trie: ModelTrie, term: str, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None
):
    if include_prefix_nodes is None:
        nodes = fuzzy_match_nodes(trie, term, max_dist, True)
        if not nodes:
            nodes = fuzzy_match_nodes(trie, term, max_dist, False)
    else:
        nodes = fuzzy_match_nodes(trie, term, max_dist, not include_prefix_nodes)
    return rank(trie, term, nodes, limit, min_score)
