"""Hypothesis strategies for the arguments of PrefixSearch.from_internal_data_v2."""

from __future__ import annotations

from hypothesis import strategies as st

from tessarin_reference.model import INT32, UUID, ModelTrie

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
def payloads(draw, videos: int, big_counts: bool = False, sound: bool = False):
    """sound=True: no count above the total, no position twice."""
    high = U32_MAX if big_counts else 20
    total = draw(st.integers(0, high))
    k = draw(st.integers(0, min(4, videos + 2) if sound else 4))
    ids = draw(st.lists(st.integers(0, videos + 1), min_size=k, max_size=k, unique=sound))
    count = st.integers(0, total if sound else high)
    counts = draw(st.lists(count, min_size=k, max_size=k))
    return (total, ids, counts)


@st.composite
def video_indexes(draw, sound: bool = False):
    """sound=True: each identifier once."""
    k = draw(st.integers(0, 5))
    size = 16 if draw(st.booleans()) else 4
    return draw(
        st.lists(st.binary(min_size=size, max_size=size), min_size=k, max_size=k, unique=sound)
    )


@st.composite
def sibling_labels(draw, n, node_shifts, transitions, alphabet=ALPHABET):
    """Labels for a tree layout, siblings' labels distinct but the empty one."""
    labels = [draw(st.sampled_from(alphabet)) for _ in range(n)]
    for i in range(n):
        end = node_shifts[i + 1] if i + 1 < n else len(transitions)
        taken = set()
        for child in transitions[node_shifts[i] : end]:
            free = [c for c in alphabet if c == "" or c not in taken] or [""]
            labels[child] = draw(st.sampled_from(free))
            taken.add(labels[child])
    return labels


@st.composite
def build_args(draw, max_nodes=12, tree=True, big_counts=False, alphabet=ALPHABET, sound=False):
    """A valid argument tuple for from_internal_data_v2. sound=True (with
    tree=True): an index that the package loads (counts within totals,
    distinct siblings and videos)."""
    n, node_shifts, transitions = draw(layouts(max_nodes=max_nodes, tree=tree))
    if sound:
        labels = draw(sibling_labels(n, node_shifts, transitions, alphabet))
    else:
        labels = [draw(st.sampled_from(alphabet)) for _ in range(n)]
    videos = draw(video_indexes(sound))
    payload_list = [draw(st.none() | payloads(len(videos), big_counts, sound)) for _ in range(n)]
    top_n = draw(st.integers(0, 6))
    return node_shifts, labels, payload_list, transitions, videos, top_n


@st.composite
def crafted_tries(draw, max_nodes=8):
    """A trie as a saved form can hold it, every read in bounds: a tree
    laid out as a pipeline does, with now and then one of the contradictions
    the package refuses (shared children, orphans, equal siblings, repeated
    identifiers, a table the id mode leaves unused, counts above totals, a
    video listed twice, a terminal without payload) or one it allows (a
    root label, positions outside the table, no nodes)."""

    def now_and_then():
        return draw(st.integers(0, 7)) == 7  # not 0, which hypothesis draws often

    n, node_shifts, transitions = draw(layouts(max_nodes=max_nodes, tree=not now_and_then()))
    if now_and_then() and n > 1 and n - 1 in transitions:  # an orphan: its parent forgets it
        p = transitions.index(n - 1)
        transitions = transitions[:p] + transitions[p + 1 :]
        node_shifts = [s - 1 if s > p else s for s in node_shifts]
    letters = ["a", "b", "é", "中", ""]
    labels = draw(sibling_labels(n, node_shifts, transitions, letters))
    if now_and_then():
        labels = [draw(st.sampled_from(letters)) for _ in range(n)]
    codes = [ord(c) if c else 0 for c in labels]
    if n and now_and_then():
        codes[0] = ord("r")
    ints = draw(st.booleans())
    videos = draw(st.integers(0, 4))
    if ints:
        values = st.integers(0, 5) if now_and_then() else st.integers(0, 2**32 - 1)
        table = draw(st.lists(values, min_size=videos, max_size=videos, unique=not now_and_then()))
    else:
        uuid = st.binary(min_size=16, max_size=16)
        table = draw(st.lists(uuid, min_size=videos, max_size=videos, unique=not now_and_then()))
    other = [bytes(16)] if ints else [0]  # for the table the id mode leaves unused
    other = other if now_and_then() else []
    payloads, terminal = [], []
    for _ in range(n):
        present = draw(st.booleans())
        # A terminal has a payload of its own; now and then one has none.
        terminal.append(int(draw(st.booleans()) if present else now_and_then()))
        if not present:
            payloads.append(None)
            continue
        total = draw(st.integers(0, 30) | st.just(2**32 - 1))
        high = 2**32 - 1 if now_and_then() else total
        top = videos + 1 if now_and_then() else videos - 1  # past the table, or inside
        k = draw(st.integers(0, min(4, top + 1)))
        ids = st.integers(0, max(top, 0))
        listed = draw(st.lists(ids, min_size=k, max_size=k, unique=not now_and_then()))
        counts = draw(st.lists(st.integers(0, high), min_size=k, max_size=k))
        payloads.append((total, listed, counts))
    return ModelTrie(
        node_shifts=node_shifts,
        child_labels=codes,
        child_transitions=transitions,
        payloads=payloads,
        video_uuids=other if ints else table,
        video_int_ids=table if ints else other,
        id_mode=INT32 if ints else UUID,
        is_terminal=terminal,
    )
