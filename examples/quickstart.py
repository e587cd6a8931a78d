"""Build a tiny index from flat arrays and look at it."""

from _tessarin import PrefixSearch

# Three nodes: the root, "a" under it, and "ab" under "a"; terms "a" and "ab".
index = PrefixSearch.from_internal_data_v2(
    node_shifts=[0, 1, 2],
    child_labels=["", "a", "b"],
    payloads=[None, (3, [0], [3]), (5, [1, 0], [4, 1])],
    child_transitions=[1, 2],
    video_index=[(7).to_bytes(4, "little"), (9).to_bytes(4, "little")],
    video_top_n=10,
)

print(index.fuzzy_match("b", max_dist=1))  # terms within one edit of "b"
print(index.fuzzy_match_video("ab"))  # videos that fit "ab", best first
restored = PrefixSearch.from_bytes(index.to_bytes())
print(restored.fuzzy_match_video("ac", include_prefix_nodes=True))
