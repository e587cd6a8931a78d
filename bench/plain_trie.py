"""A trie walked in plain Python: the baseline a Python user writes by hand.

Nodes are dicts from a character to the child node; the key None holds the
count of the term that ends at the node. Children keep insertion order, which
for sorted terms (bench.data.load_terms sorts them) is the label order in
which tessarin.IndexBuilder lays out the same terms, so this walk visits the
same nodes in the same order as PrefixSearch.fuzzy_match, with the
same pruning: one Levenshtein row per depth, a subtree dropped when its row
minimum exceeds max_dist. It counts the rows it fills (visited nodes).
"""

from __future__ import annotations


def build(terms_with_counts):
    root: dict = {}
    for term, count in terms_with_counts:
        node = root
        for ch in term:
            child = node.get(ch)
            if child is None:
                child = node[ch] = {}
            node = child
        node[None] = count
    return root


def node_count(root) -> int:
    count, stack = 0, [root]
    while stack:
        node = stack.pop()
        count += 1
        stack.extend(child for ch, child in node.items() if ch is not None)
    return count


def fuzzy_match(root, query: str, max_dist: int):
    """([(term, 1, distance)] in preorder, number of visited nodes)."""
    m = len(query)
    results = []
    visited = 0

    def dfs(node, prev, path, depth):
        nonlocal visited
        for ch, child in node.items():
            if ch is None:
                continue
            visited += 1
            first = depth + 1
            cur = [first]
            low = first
            left = first
            for j in range(1, m + 1):
                v = prev[j - 1] if query[j - 1] == ch else prev[j - 1] + 1
                up = prev[j] + 1
                if up < v:
                    v = up
                if left + 1 < v:
                    v = left + 1
                cur.append(v)
                if v < low:
                    low = v
                left = v
            if low > max_dist:
                continue
            term = path + ch
            if cur[m] <= max_dist and None in child:
                results.append((term, 1, cur[m]))
            dfs(child, cur, term, depth + 1)

    dfs(root, list(range(m + 1)), "", 0)
    return results, visited
