"""A plain-Python model of building an index and propagating its payloads.

Slow and obvious on purpose: the tests compare the extension against it.
"""

from __future__ import annotations

import dataclasses

U32_MAX = 2**32 - 1
UUID, INT32 = 0, 1


@dataclasses.dataclass
class ModelTrie:
    node_shifts: list[int]
    child_labels: list[int]  # code points, 0 for no label
    child_transitions: list[int]
    payloads: list  # None or (total_count, video_ids, video_counts)
    video_uuids: list[bytes]
    video_int_ids: list[int]
    id_mode: int
    is_terminal: list[int]

    def children(self, node: int) -> list[int]:
        begin = self.node_shifts[node]
        end = (
            self.node_shifts[node + 1]
            if node + 1 < len(self.node_shifts)
            else len(self.child_transitions)
        )
        return self.child_transitions[begin:end] if end > begin else []


def merge(own, others):
    """The merge of `own` with each payload of `others`, in order, uncut."""
    total = own[0]
    sums: dict[int, int] = {}
    for video, count in zip(own[1], own[2], strict=True):
        sums[video] = sums.get(video, 0) + count
    for other in others:
        total = min(total + other[0], U32_MAX)
        for video, count in zip(other[1], other[2], strict=True):
            sums[video] = sums.get(video, 0) + count
    ranked = sorted(sums.items(), key=lambda item: (-item[1], item[0]))
    return total, [v for v, _ in ranked], [min(c, U32_MAX) for _, c in ranked]


def propagate(trie: ModelTrie, video_top_n: int) -> None:
    empty = (0, [], [])
    original = [empty if p is None else p for p in trie.payloads]
    done: dict[int, tuple] = {}
    for i in reversed(range(len(trie.child_labels))):
        others = [done[d] if d > i else original[d] for d in trie.children(i) if d != i]
        if others:
            total, ids, counts = merge(original[i], others)
        else:
            total, ids, counts = original[i]
        done[i] = (total, list(ids[:video_top_n]), list(counts[:video_top_n]))
    trie.payloads = [done.get(i, original[i]) for i in range(len(trie.payloads))]


def build_model(
    node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n
) -> ModelTrie:
    """The index that from_internal_data_v2 builds from valid arguments."""
    entries = [bytes(e) for e in video_index]
    uuids, ints, mode = [], [], UUID
    if entries and all(len(e) == 16 for e in entries):
        uuids = entries
    elif entries:
        assert all(len(e) == 4 for e in entries)
        ints, mode = [int.from_bytes(e, "little") for e in entries], INT32
    trie = ModelTrie(
        node_shifts=list(node_shifts),
        child_labels=[ord(s[0]) if s else 0 for s in child_labels],
        child_transitions=list(child_transitions),
        payloads=[None if p is None else (p[0], list(p[1]), list(p[2])) for p in payloads],
        video_uuids=uuids,
        video_int_ids=ints,
        id_mode=mode,
        is_terminal=[0 if p is None else 1 for p in payloads],
    )
    propagate(trie, video_top_n)
    return trie


def term_of(trie: ModelTrie, path: list[int]) -> str:
    """The term spelt by a path of nodes below the root."""
    return "".join(chr(trie.child_labels[node]) for node in path)


def layout_terms(terms):
    """(node_shifts, labels, payloads, child_transitions) of a trie over
    (term, payload) pairs, children in insertion order."""
    # tessarin.IndexBuilder lays tries out too (the benchmarks use it); this
    # one stays separate so that the tests never check the package's layout
    # against itself.
    labels, children, payloads = [""], [[]], [None]
    for term, payload in terms:
        node = 0
        for ch in term:
            match = [c for c in children[node] if labels[c] == ch]
            if match:
                node = match[0]
                continue
            labels.append(ch)
            children.append([])
            payloads.append(None)
            children[node].append(len(labels) - 1)
            node = len(labels) - 1
        payloads[node] = payload
    shifts, transitions = [], []
    for kids in children:
        shifts.append(len(transitions))
        transitions.extend(kids)
    return shifts, labels, payloads, transitions


def holds_together(trie: ModelTrie) -> bool:
    """Whether the package loads the index: every rule of its checked load
    spelt out on its own (the answers stay within their documented bounds).

    Allowed, as changing no answer: a root label, no nodes, video positions
    outside the table, several children without a label."""
    n = len(trie.child_labels)
    entries = len(trie.child_transitions)
    # Every read in bounds.
    if not len(trie.node_shifts) == len(trie.payloads) == len(trie.is_terminal) == n:
        return False
    if any(c >= n for c in trie.child_transitions) or any(s > entries for s in trie.node_shifts):
        return False
    # A tree: each entry in one child range, each node but the root one child.
    owners = [0] * entries
    for i in range(n):
        end = trie.node_shifts[i + 1] if i + 1 < n else entries
        for k in range(trie.node_shifts[i], end):
            owners[k] += 1
    named = trie.child_transitions
    if max(owners, default=0) > 1 or 0 in named or len(set(named)) < len(named):
        return False
    # Each node reached from the root.
    reached, stack = set(), [0] if n else []
    while stack:
        node = stack.pop()
        reached.add(node)
        stack.extend(trie.children(node))
    if len(reached) < n:
        return False
    # One table in use, each identifier once.
    table = trie.video_int_ids if trie.id_mode == INT32 else trie.video_uuids
    unused = trie.video_uuids if trie.id_mode == INT32 else trie.video_int_ids
    if unused or len(set(table)) < len(table):
        return False
    for i in range(n):
        labels = [trie.child_labels[c] for c in trie.children(i) if trie.child_labels[c] != 0]
        if len(set(labels)) < len(labels):
            return False
        payload = trie.payloads[i]
        if payload is None:
            if trie.is_terminal[i]:
                return False
            continue
        total, ids, counts = payload
        named_videos = [v for v in ids if v < len(table)]
        if len(ids) != len(counts) or any(c > total for c in counts):
            return False
        if len(set(named_videos)) < len(named_videos):
            return False
    return True
