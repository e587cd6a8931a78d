"""Hypothesis strategies for the arguments of PrefixSearch.from_internal_data_v2."""

from __future__ import annotations

from hypothesis import strategies as st

# Labels from a small alphabet, with characters of 2, 3 and 4 UTF-8 bytes and
# the empty label (stored as 0, hiding its subtree from the matchers).
ALPHABET = ["a", "b", "c", "é", "中", "😀", ""]
U32_MAX = 2**32 - 1


@st.composite
def layouts(draw, max_nodes=12, tree=True):
    """(node_shifts, child_transitions) for n nodes.

    tree=True: every node but the root has one parent with a smaller index,
    the layout a pipeline writes. tree=False: any child lists whose entries
    are node indices (shared children, self-children, smaller indices).
    """
    n = draw(st.integers(0, max_nodes))
    if n == 0:
        return 0, [], []
    children: list[list[int]] = [[] for _ in range(n)]
    if tree:
        for node in range(1, n):
            children[draw(st.integers(0, node - 1))].append(node)
        for kids in children:
            order = draw(st.permutations(kids)) if kids else []
            kids[:] = order
    else:
        for node in range(n):
            children[node] = draw(st.lists(st.integers(0, n - 1), max_size=3))
    node_shifts, transitions = [], []
    for kids in children:
        node_shifts.append(len(transitions))
        transitions.extend(kids)
    return n, node_shifts, transitions


@st.composite
def payloads(draw, videos: int, big_counts: bool = False):
    count = st.integers(0, U32_MAX) if big_counts else st.integers(0, 20)
    k = draw(st.integers(0, 4))
    ids = draw(st.lists(st.integers(0, videos + 1), min_size=k, max_size=k))
    counts = draw(st.lists(count, min_size=k, max_size=k))
    return (draw(count), ids, counts)


@st.composite
def video_indexes(draw):
    k = draw(st.integers(0, 5))
    if draw(st.booleans()):
        return [draw(st.binary(min_size=16, max_size=16)) for _ in range(k)]
    return [draw(st.binary(min_size=4, max_size=4)) for _ in range(k)]


@st.composite
def build_args(draw, max_nodes=12, tree=True, big_counts=False, alphabet=ALPHABET):
    """A valid argument tuple for from_internal_data_v2."""
    n, node_shifts, transitions = draw(layouts(max_nodes=max_nodes, tree=tree))
    labels = [draw(st.sampled_from(alphabet)) for _ in range(n)]
    videos = draw(video_indexes())
    payload_list = [draw(st.none() | payloads(len(videos), big_counts)) for _ in range(n)]
    top_n = draw(st.integers(0, 6))
    return node_shifts, labels, payload_list, transitions, videos, top_n
