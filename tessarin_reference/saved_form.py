"""A plain-Python model of the saved form of an index.

Slow and obvious on purpose: the tests compare to_bytes and from_bytes with
it. Tries are model.ModelTrie values; nothing about them is checked, so any
field may disagree with any other, as in a saved form from elsewhere.
"""

from __future__ import annotations

import random

from tessarin_reference.model import ModelTrie

OPTION_PAYLOAD = "core::option::Option<tessarin::payload::Payload>"
ID_MODE = "IdMode"


class ModelDecodeError(Exception):
    """A failed read; args[0] is the error's text, e.g. "InvalidBooleanValue(2)"."""

    @property
    def text(self) -> str:
        return self.args[0]


def _unexpected_end(additional: int) -> ModelDecodeError:
    return ModelDecodeError(f"UnexpectedEnd {{ additional: {additional} }}")


def _unexpected_variant(type_name: str, found: int) -> ModelDecodeError:
    return ModelDecodeError(
        f'UnexpectedVariant {{ type_name: "{type_name}", '
        f"allowed: Range {{ min: 0, max: 1 }}, found: {found} }}"
    )


# ---------------------------------------------------------------- writing


def varint(value: int, rng: random.Random | None = None, bits: int = 32) -> bytes:
    """The shortest form of value; with rng, now and then a longer one."""
    forms = [(250, b""), (0xFFFF, b"\xfb"), (0xFFFFFFFF, b"\xfc")]
    if bits == 64:
        forms.append((2**64 - 1, b"\xfd"))
    widths = {b"": 0, b"\xfb": 2, b"\xfc": 4, b"\xfd": 8}
    fitting = [prefix for limit, prefix in forms if value <= limit]
    prefix = fitting[0]
    if rng is not None and rng.random() < 0.25:
        prefix = rng.choice(fitting)
    if prefix == b"":
        return bytes([value])
    return prefix + value.to_bytes(widths[prefix], "little")


def encode(trie: ModelTrie, rng: random.Random | None = None) -> bytes:
    """The saved form; with rng, some integers in longer forms than needed."""

    def u32(v):
        return varint(v, rng, 32)

    def length(items):
        return varint(len(items), rng, 64)

    out = bytearray()
    out += length(trie.node_shifts) + b"".join(map(u32, trie.node_shifts))
    out += length(trie.child_labels)
    out += b"".join(chr(c).encode("utf-8") for c in trie.child_labels)
    out += length(trie.child_transitions) + b"".join(map(u32, trie.child_transitions))
    out += length(trie.payloads)
    for payload in trie.payloads:
        if payload is None:
            out += b"\x00"
            continue
        total, ids, counts = payload
        out += b"\x01" + u32(total)
        out += length(ids) + b"".join(map(u32, ids))
        out += length(counts) + b"".join(map(u32, counts))
    out += length(trie.video_uuids) + b"".join(trie.video_uuids)
    out += length(trie.video_int_ids) + b"".join(map(u32, trie.video_int_ids))
    out += u32(trie.id_mode)
    out += length(trie.is_terminal) + bytes(trie.is_terminal)
    return bytes(out)


# ---------------------------------------------------------------- reading


class _Input:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            raise _unexpected_end(1)
        return self.data[self.pos]

    def take(self, count: int) -> bytes:
        left = len(self.data) - self.pos
        if left < count:
            raise _unexpected_end(count - left)
        chunk = self.data[self.pos : self.pos + count]
        self.pos += count
        return chunk

    def varint(self, bits: int) -> int:
        first = self.byte()
        target = f"U{bits}"
        if first <= 250:
            self.pos += 1
            return first
        found = {253: "U64", 254: "U128", 255: "Reserved"}.get(first)
        if first == 254 or first == 255 or (first == 253 and bits == 32):
            raise ModelDecodeError(f"InvalidIntegerType {{ expected: {target}, found: {found} }}")
        width = {251: 2, 252: 4, 253: 8}[first]
        self.pos += 1
        return int.from_bytes(self.take(width), "little")

    def char(self) -> int:
        first = self.byte()
        if first < 0x80:
            width = 1
        elif 0xC2 <= first <= 0xDF:
            width = 2
        elif 0xE0 <= first <= 0xEF:
            width = 3
        elif 0xF0 <= first <= 0xF4:
            width = 4
        else:
            raise ModelDecodeError(f"InvalidCharEncoding([{first}, 0, 0, 0])")
        self.pos += 1
        encoded = bytes([first]) + self.take(width - 1)
        try:
            text = encoded.decode("utf-8")
        except UnicodeDecodeError:
            padded = list(encoded) + [0] * (4 - width)
            raise ModelDecodeError(
                "InvalidCharEncoding([" + ", ".join(map(str, padded)) + "])"
            ) from None
        return ord(text)

    def tag(self, type_name: str) -> int:
        value = self.byte()
        if value > 1:
            raise _unexpected_variant(type_name, value)
        self.pos += 1
        return value

    def boolean(self) -> int:
        value = self.byte()
        if value > 1:
            raise ModelDecodeError(f"InvalidBooleanValue({value})")
        self.pos += 1
        return value

    def sequence(self, element) -> list:
        count = self.varint(64)
        return [element() for _ in range(count)]


def decode(data: bytes) -> tuple[ModelTrie, int]:
    """The trie a saved form holds and the bytes it took; ModelDecodeError."""
    r = _Input(data)

    def u32():
        return r.varint(32)

    def payload():
        if r.tag(OPTION_PAYLOAD) == 0:
            return None
        total = u32()
        return (total, r.sequence(u32), r.sequence(u32))

    node_shifts = r.sequence(u32)
    child_labels = r.sequence(r.char)
    child_transitions = r.sequence(u32)
    payloads = r.sequence(payload)
    video_uuids = r.sequence(lambda: r.take(16))
    video_int_ids = r.sequence(u32)
    id_mode = u32()
    if id_mode > 1:
        raise _unexpected_variant(ID_MODE, id_mode)
    is_terminal = r.sequence(r.boolean)
    trie = ModelTrie(
        node_shifts=node_shifts,
        child_labels=child_labels,
        child_transitions=child_transitions,
        payloads=payloads,
        video_uuids=video_uuids,
        video_int_ids=video_int_ids,
        id_mode=id_mode,
        is_terminal=is_terminal,
    )
    return trie, r.pos
