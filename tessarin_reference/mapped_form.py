"""A plain-Python model of the mapped form: the layout an index file holds
its index in since format version 2 (src/format/mapped_form.h says it in
full), written from the fields of a saved index.

`mapped_form(saved)` gives the bytes that the engine writes for an index
whose arrays are `saved` (a `SavedIndex` from `saved_format.read_saved`),
search aids included, derived here the plain way; `sections(form)` reads a
form's table back into {kind: bytes}; `with_sections(form, {kind: bytes})`
writes a form again with some sections replaced and every checksum right,
so that tests can make forms whose checksums pass but whose arrays do not
hold together.
"""

from __future__ import annotations

import itertools
import struct
from collections.abc import Mapping

from tessarin_reference.saved_format import SavedIndex

__all__ = ["KIND", "crc32c", "mapped_form", "sections", "with_sections"]

KIND = {
    "scalars": 1,
    "node_shifts": 2,
    "child_labels": 3,
    "child_transitions": 4,
    "is_terminal": 5,
    "payload_slots": 6,
    "payload_totals": 7,
    "payload_offsets": 8,
    "video_ids": 9,
    "video_counts": 10,
    "video_uuids": 11,
    "video_int_ids": 12,
    "positions": 13,
    "preorder": 14,
    "by_label": 15,
    "reversed_entries": 16,
    "reversed_nodes": 17,
    "payload_offsets32": 18,
    "reversed_packed": 19,
    "reversed_ranks": 20,
    "payload_lengths": 21,
    "payload_blocks": 22,
    "payload_marks": 23,
    "video_ids24": 24,
    "terminal_bits": 25,
    "child_labels16": 26,
    "shift_groups": 27,
    "completion_bound": 0x80000001,
}
ALIGN = 64
SHIFT_GROUP = 30  # nodes per group of node shifts
MAX_SHARED = 255  # chain nodes in a row that payload marks allow
ABSENT = 2**32 - 1
TERMINAL_BIT = 2**31
TAG = b"TSRWALK\0"


def _crc_table() -> list[int]:
    table = []
    for byte in range(256):
        crc = byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
        table.append(crc)
    return table


_TABLE = _crc_table()


def crc32c(data: bytes, crc: int = 0) -> int:
    """CRC-32C (Castagnoli), bit by bit through one table."""
    crc ^= 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ _TABLE[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF


def _u32(values: list[int]) -> bytes:
    return struct.pack(f"<{len(values)}I", *values)


def _children(saved: SavedIndex, node: int) -> range:
    shifts, entries = saved.node_shifts, len(saved.child_transitions)
    begin = shifts[node]
    end = shifts[node + 1] if node + 1 < len(shifts) else entries
    return range(begin, max(begin, end))


def _keepers(saved: SavedIndex) -> list[int]:
    """Each node's only child where the node keeps exactly its payload (a
    chain node), else the node itself."""
    n = len(saved.child_labels)
    keeper = list(range(n))
    for node in reversed(range(n)):
        kids = _children(saved, node)
        if len(kids) == 1:
            child = saved.child_transitions[kids[0]]
            if saved.payloads[node] is not None and saved.payloads[node] == saved.payloads[child]:
                keeper[node] = child
    return keeper


def _marks(saved: SavedIndex) -> tuple[bytes, list[int]] | None:
    """The payload marks, and the node whose payload each slot holds, or
    None when a chain node's child lies below it: per 32 nodes, those with a
    payload of their own, those that share their child's, and the own ones
    before."""
    keeper = _keepers(saved)
    n = len(keeper)
    if not n or any(k < node for node, k in enumerate(keeper)):
        return None
    run = [0] * n  # the chain nodes in a row above each node
    for node, k in enumerate(keeper):
        if k != node:
            if run[node] >= MAX_SHARED:
                return None
            run[k] = run[node] + 1
    own = [node for node in range(n) if keeper[node] == node and saved.payloads[node] is not None]
    owned = set(own)
    marks = b""
    for first in range(0, n, 32):
        word = range(first, min(n, first + 32))
        mine = sum(1 << (node - first) for node in word if node in owned)
        shared = sum(1 << (node - first) for node in word if keeper[node] != node)
        marks += struct.pack("<III", mine, shared, sum(node < first for node in own))
    return marks, own


def _slots(saved: SavedIndex) -> tuple[list[int], list[int]]:
    """Each node's slot, and the node whose payload each slot holds: a node
    whose payload equals its only child's takes the child's, down the chain."""
    n = len(saved.child_labels)
    keeper = _keepers(saved)
    slots, slot_nodes, slot_of = [], [], {}
    for node in range(n):
        if saved.payloads[node] is None:
            slots.append(ABSENT)
            continue
        end = node
        while keeper[end] != end:
            end = keeper[end]
        if end not in slot_of:
            slot_of[end] = len(slot_nodes)
            slot_nodes.append(end)
        slots.append(slot_of[end])
    return slots, slot_nodes


def _preorder(saved: SavedIndex) -> list[tuple[int, int]]:
    """(node, parent) in the walk's preorder, the root first."""
    order, stack = [], [(0, 0)]
    while stack:
        node, parent = stack.pop()
        order.append((node, parent))
        kids = [saved.child_transitions[p] for p in _children(saved, node)]
        stack.extend((kid, node) for kid in reversed(kids))
    return order


def _aids(saved: SavedIndex) -> dict[str, bytes]:
    labels, terminal = saved.child_labels, saved.is_terminal
    n = len(labels)
    positions = b""
    for child in saved.child_transitions:
        kids = _children(saved, child)
        end = kids.stop | (TERMINAL_BIT if terminal[child] else 0)
        positions += struct.pack("<III", labels[child], kids.start, end)
    order = _preorder(saved)
    rank = [0] * n
    for k, (node, _) in enumerate(order):
        rank[node] = k
    by_label: list[int] = []
    if any(
        labels[saved.child_transitions[p - 1]] > labels[saved.child_transitions[p]]
        for node in range(n)
        for p in _children(saved, node)[1:]
    ):
        for node in range(n):
            kids = list(_children(saved, node))
            by_label += sorted(kids, key=lambda p: (labels[saved.child_transitions[p]], p))
    # The reversed trie: the visible terms (no label 0 on the path), each
    # read backwards, breadth-first with children by label.
    text = {0: ""}
    terms: list[tuple[str, int]] = []
    for node, parent in order[1:]:
        if parent in text and labels[node] != 0:
            text[node] = text[parent] + chr(labels[node])
            if terminal[node]:
                terms.append((text[node][::-1], node))
    entries: list[list[int]] = [[0, 0, 0]]
    nodes: list[int] = []
    level = [("", [t for t in terms])]
    index = 0
    while level:
        following = []
        for prefix, group in level:
            entries[index][0] = len(entries)
            entries[index][2] = len(nodes)
            nodes += [node for word, node in group if word == prefix]
            longer = sorted(
                (t for t in group if len(t[0]) > len(prefix)), key=lambda t: t[0][len(prefix)]
            )
            for char in sorted({word[len(prefix)] for word, _ in longer}):
                entries.append([0, ord(char), 0])
                following.append((prefix + char, [t for t in longer if t[0][len(prefix)] == char]))
            index += 1
        level = following
    entries.append([len(entries), 0, len(nodes)])
    # The completion bound: the greatest own count of a visible term in each
    # subtree (the node's own included), children's before their parent's.
    totals = [p[0] if p is not None else 0 for p in saved.payloads]
    bound = [0] * n
    for node, _ in reversed(order):
        kids = [saved.child_transitions[p] for p in _children(saved, node)]
        own = totals[node]
        if 0 < own < 2**32 - 1:
            own = max(0, own - sum(totals[k] for k in kids if k != node))
        best = own if node and terminal[node] else 0
        bound[node] = max([best] + [bound[k] for k in kids if labels[k]])
    # Packed: the label with bit 31 set where a term ends, and per block of
    # 8 entries the terminal entries before it (each ends one term here).
    ends = [int(entries[r][2] < entries[r + 1][2]) for r in range(len(entries) - 1)] + [0]
    packed = [
        (e[0], e[1] | (TERMINAL_BIT if end else 0)) for e, end in zip(entries, ends, strict=True)
    ]
    ranks = [sum(ends[:b]) for b in range(0, len(entries), 8)]
    return {
        "positions": positions,
        "by_label": _u32(by_label),
        "reversed_entries": b"".join(struct.pack("<III", *e) for e in entries),
        "reversed_packed": b"".join(struct.pack("<II", *e) for e in packed),
        "reversed_ranks": _u32(ranks),
        "reversed_nodes": _u32(nodes),
        "preorder": _u32(rank),
        "completion_bound": _u32(bound),
    }


def _layout(parts: list[tuple[int, bytes]]) -> bytes:
    """The table of sections and the sections, in this order."""
    head = 16 + 32 * len(parts)
    body = b""
    offset = -(-head // ALIGN) * ALIGN
    table = b""
    for kind, data in parts:
        body += b"\0" * (offset - head - len(body)) + data
        table += struct.pack("<IIQQQ", kind, crc32c(data), offset, len(data), 0)
        offset = -(-(offset + len(data)) // ALIGN) * ALIGN
    start = TAG + struct.pack("<I", len(parts))
    checksum = crc32c(start + table)
    return start + struct.pack("<I", checksum) + table + body


def mapped_form(
    saved: SavedIndex,
    first: bool = False,
    wide: bool = False,
    slotted: bool = False,
    wide_ids: bool = False,
    stored_children: bool = False,
    terminal_bytes: bool = False,
    wide_labels: bool = False,
    plain_shifts: bool = False,
) -> bytes:
    """The mapped form of an index whose arrays reach the sound level; with
    `first`, in the layout of the first release that wrote index files of
    version 2 (which later ones still read): 64-bit payload offsets, the
    per-child entries stored even where child entry p names node p + 1,
    and the reversed trie in 12-byte entries; with `wide`, the layout after
    it, which kept those entries and the 32-bit payload offsets; with
    `slotted`, the layout before payload marks (a slot per node, kind 6);
    with `wide_ids`, the one before video positions in 3 bytes (kind 24);
    with `stored_children`, the one that stored the child entries where
    entry p names node p + 1; with `terminal_bytes`, the one with a byte per
    terminal flag (kind 5); with `wide_labels`, the one with 4-byte child
    labels (kind 3) where each would fit in 2 (kind 26); with `plain_shifts`,
    the one with 4 bytes per node shift (kind 2) where groups would hold
    them (kind 27)."""
    wide = wide or first
    slotted = slotted or wide
    wide_ids = wide_ids or slotted
    stored_children = stored_children or wide_ids
    terminal_bytes = terminal_bytes or stored_children
    wide_labels = wide_labels or terminal_bytes
    plain_shifts = plain_shifts or wide_labels
    groups = None if plain_shifts else _shift_groups(saved.node_shifts)
    n = len(saved.child_labels)
    marked = None if slotted else _marks(saved)
    implicit_children = saved.child_transitions == list(range(1, len(saved.child_transitions) + 1))
    slots, slot_nodes = _slots(saved)
    if marked is not None:
        slot_nodes = marked[1]
        slot_part = (KIND["payload_marks"], marked[0])
    else:
        slot_part = (KIND["payload_slots"], _u32(slots))
    offsets, ids, counts, totals = [0], [], [], []
    for node in slot_nodes:
        total, videos, video_counts = saved.payloads[node]  # type: ignore[misc]
        totals.append(total)
        ids += videos
        counts += video_counts
        offsets.append(len(ids))
    parts = [(KIND["scalars"], struct.pack("<I12x", saved.id_mode))]
    if n and len(saved.child_transitions) < TERMINAL_BIT:
        aids = _aids(saved)
        implicit = saved.child_transitions == list(range(1, len(saved.child_transitions) + 1))
        reversed_parts = ("reversed_entries",) if wide else ("reversed_packed", "reversed_ranks")
        for name in (
            "positions",
            "by_label",
            *reversed_parts,
            "reversed_nodes",
            "preorder",
            "completion_bound",
        ):
            if name != "positions" or first or not implicit:  # else read from the node arrays
                parts.append((KIND[name], aids[name]))
    lengths = [b - a for a, b in itertools.pairwise(offsets)]
    if first or offsets[-1] >= 2**32:
        offset_parts = [(KIND["payload_offsets"], struct.pack(f"<{len(offsets)}Q", *offsets))]
    elif wide or any(length > 255 for length in lengths):
        offset_parts = [(KIND["payload_offsets32"], _u32(offsets))]
    else:  # blocked: a start per 8 payloads, a length per payload
        offset_parts = [
            (KIND["payload_blocks"], _u32(offsets[::8])),
            (KIND["payload_lengths"], bytes(lengths)),
        ]
    parts += [
        (KIND["node_shifts"], _u32(saved.node_shifts))
        if groups is None
        else (KIND["shift_groups"], groups),
        (KIND["child_labels"], _u32(saved.child_labels))
        if wide_labels or any(label >= 2**16 for label in saved.child_labels)
        else (KIND["child_labels16"], struct.pack(f"<{n}H", *saved.child_labels)),
        *(
            []
            if n and implicit_children and not stored_children
            else [(KIND["child_transitions"], _u32(saved.child_transitions))]
        ),
        (KIND["is_terminal"], bytes(saved.is_terminal))
        if terminal_bytes
        else (
            KIND["terminal_bits"],
            bytes(
                sum(saved.is_terminal[i] << (i - first) for i in range(first, min(n, first + 8)))
                for first in range(0, n, 8)
            ),
        ),
        slot_part,
        (KIND["payload_totals"], _u32(totals)),
        *offset_parts,
        (KIND["video_ids"], _u32(ids))
        if wide_ids or any(video >= 2**24 for video in ids)
        else (KIND["video_ids24"], b"".join(video.to_bytes(3, "little") for video in ids)),
        (KIND["video_counts"], _u32(counts)),
        (KIND["video_int_ids"], _u32(saved.video_int_ids)),
        (KIND["video_uuids"], b"".join(saved.video_uuids)),
    ]
    return _layout(parts)


def _shift_groups(shifts: list[int]) -> bytes | None:
    """Per 30 nodes, the least shift (4 bytes) and each one's offset from
    it (2 bytes; zero past the last node), or None where a group's shifts
    spread wider than 65535 (or there are no nodes)."""
    out = bytearray()
    for first in range(0, len(shifts), SHIFT_GROUP):
        group = shifts[first : first + SHIFT_GROUP]
        base = min(group)
        if max(group) - base > 0xFFFF:
            return None
        offsets = [shift - base for shift in group] + [0] * (SHIFT_GROUP - len(group))
        out += struct.pack(f"<I{SHIFT_GROUP}H", base, *offsets)
    return bytes(out) if shifts else None


def sections(form: bytes) -> dict[int, bytes]:
    """{kind: bytes} of a well-formed mapped form, in its order."""
    (count,) = struct.unpack_from("<I", form, 8)
    found = {}
    for k in range(count):
        kind, _, offset, size, _ = struct.unpack_from("<IIQQQ", form, 16 + 32 * k)
        found[kind] = form[offset : offset + size]
    return found


def with_sections(form: bytes, replaced: Mapping[int, bytes | None]) -> bytes:
    """`form` with the sections of `replaced` (by kind) in place of its own
    (a kind it lacks is added at the end; one given None is left out),
    every checksum made right."""
    parts: dict[int, bytes | None] = dict(sections(form))
    parts.update(replaced)
    return _layout([(kind, data) for kind, data in parts.items() if data is not None])
