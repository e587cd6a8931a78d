"""Hostile arguments for driving the extension.

Objects whose integer, float, length or iteration protocols lie, raise or
change what is being converted, and the refusals of the argument converters
that several arguments share, each with the exception and exact message it
gets. The tests (tests/extension) and the atheris fuzzer
(fuzz/fuzz_python.py) both take them from here.

Unlike the models beside it, this module is about calling _tessarin, and
imports it (for panic_type).
"""

from __future__ import annotations

import functools

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1

# The parameters of PrefixSearch.from_internal_data_v2, in order.
BUILD_PARAMETERS = (
    "node_shifts",
    "child_labels",
    "payloads",
    "child_transitions",
    "video_index",
    "video_top_n",
)

# Integers at and past every bound of the converters: 8, 32 and 64 bits, the
# one-byte and two-byte varint forms, C long, and bool.
BOUNDARY_INTS = [
    0,
    1,
    2,
    3,
    250,
    251,
    255,
    256,
    65535,
    65536,
    2**31,
    U32_MAX,
    2**32,
    2**63 - 1,
    2**63,
    U64_MAX,
    2**64,
    -1,
    -(2**63),
    -(2**64),
    10**40,
    True,
    False,
]


class Hostile(Exception):
    """Raised by the objects below; the extension must pass it on as it is."""


def _value_or_raise(value):
    if isinstance(value, BaseException):
        # A fresh exception each time: raising one instance again would
        # lengthen its traceback at every call.
        raise type(value)(*value.args)
    return value


class Index:
    """__index__ gives `value`, whatever its type, or raises it when it is
    an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return _value_or_raise(self.value)

    def __repr__(self):
        return f"Index({self.value!r})"


class Float:
    """__float__ gives `value`, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return _value_or_raise(self.value)

    def __repr__(self):
        return f"Float({self.value!r})"


class LyingInt(int):
    """An int whose __index__ says 99: an int is taken by its own value."""

    def __index__(self):
        return 99

    def __repr__(self):
        return f"LyingInt({int(self)})"


class LyingStr(str):
    """A str whose iteration, length and encode() disagree with its
    characters: a str is read as its characters."""

    def __iter__(self):
        return iter("zzz")

    def __len__(self):
        return 10**9

    def encode(self, *args, **kwargs):
        return b"zzz"


class LyingTuple(tuple):
    """A tuple that iterates as (0, 1, 2, 3), claims 2**62 items and gives 0
    at every index."""

    def __iter__(self):
        return iter((0, 1, 2, 3))

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return 0


class LyingBytes(bytes):
    """Bytes that iterate as four 300s and claim 10**12 of them."""

    def __iter__(self):
        return iter([300] * 4)

    def __len__(self):
        return 10**12


class OddSequence:
    """A sequence by protocol (__len__, __getitem__, __iter__) over `items`,
    whose length or iteration misbehaves as `mode` says."""

    PLAIN = 0
    LEN_RAISES = 1  # __len__ raises Hostile
    HUGE_LEN = 2  # __len__ claims 2**62 items
    ITER_RAISES = 3  # iteration raises Hostile at the second item
    GROWS = 4  # every item read appends a 0, up to 64 items

    def __init__(self, items, mode=PLAIN):
        self.items = items
        self.mode = mode

    def __len__(self):
        if self.mode == self.LEN_RAISES:
            raise Hostile("len")
        return 2**62 if self.mode == self.HUGE_LEN else len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for k, item in enumerate(self.items):
            if self.mode == self.ITER_RAISES and k == 1:
                raise Hostile("iter")
            if self.mode == self.GROWS and len(self.items) < 64:
                self.items.append(0)
            yield item

    def __repr__(self):
        return f"OddSequence({self.items!r}, {self.mode})"


@functools.cache
def panic_type():
    """The internal-failure exception (it is no attribute of the module),
    taken from a call that raises it: a query on an index whose root lists
    child 5 of one node."""
    from _tessarin import PrefixSearch

    index = PrefixSearch.from_bytes(bytes.fromhex("0100016101050000000000"))
    try:
        index.fuzzy_match("a", 1)
    except BaseException as exc:  # noqa: BLE001 - its type is what we are after
        return type(exc)
    raise AssertionError("a child position beyond the node count did not fail")


# ---------------------------------------------------------------- refusals
#
# The refusals of the converters that several arguments share: (value,
# exception type, message). A TypeError raised while an argument is
# converted gets "argument '<name>': " in front of its message; no other
# exception does, and nothing converted inside a payload tuple does.

OUT_OF_RANGE = "out of range integral type conversion attempted"
NOT_A_LONG = "Python int too large to convert to C long"
NEGATIVE_UNSIGNED = "can't convert negative int to unsigned"
TOO_BIG_UNSIGNED = "int too big to convert"


def _not_an_integer(kind):
    return f"'{kind}' object cannot be interpreted as an integer"


def _encoding_error(text):
    """The host's own message for a str that UTF-8 cannot encode."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return str(exc)
    raise AssertionError(f"{text!r} encodes")


# 32-bit integers (node_shifts, child_transitions, payload totals, video ids
# and counts, max_dist) and the bytes of video_index entries: 8 bits, but
# each of these refusals holds for them as well.
U32_REFUSALS = [
    (-1, OverflowError, OUT_OF_RANGE),
    (U32_MAX + 1, OverflowError, OUT_OF_RANGE),
    (Index(-5), OverflowError, OUT_OF_RANGE),
    (2**63, OverflowError, NOT_A_LONG),
    (2**64, OverflowError, NOT_A_LONG),
    (10**30, OverflowError, NOT_A_LONG),
    (-(2**70), OverflowError, NOT_A_LONG),
    (Index(2**200), OverflowError, NOT_A_LONG),
    (1.0, TypeError, _not_an_integer("float")),
    (None, TypeError, _not_an_integer("NoneType")),
    ("1", TypeError, _not_an_integer("str")),
    (Float(1.0), TypeError, _not_an_integer("Float")),
    (Index("3"), TypeError, "__index__ returned non-int (type str)"),
    (Index(TypeError("no index today")), TypeError, "no index today"),
    (Index(Hostile("no index")), Hostile, "no index"),
]
# (value, the integer it stands for)
U32_ACCEPTED = [
    (0, 0),
    (7, 7),
    (True, 1),
    (False, 0),
    (U32_MAX, U32_MAX),
    (Index(3), 3),
    (LyingInt(1), 1),
]

# Sizes (video_top_n, limit). Where None means "not given" (limit), it is no
# refusal.
USIZE_REFUSALS = [
    (-1, OverflowError, NEGATIVE_UNSIGNED),
    (-(2**70), OverflowError, NEGATIVE_UNSIGNED),
    (Index(-1), OverflowError, NEGATIVE_UNSIGNED),
    (2**64, OverflowError, TOO_BIG_UNSIGNED),
    (Index(2**200), OverflowError, TOO_BIG_UNSIGNED),
    (1.5, TypeError, _not_an_integer("float")),
    (None, TypeError, _not_an_integer("NoneType")),
    ("3", TypeError, _not_an_integer("str")),
    (Index("3"), TypeError, "__index__ returned non-int (type str)"),
    (Index(Hostile("no index")), Hostile, "no index"),
]
USIZE_ACCEPTED = [(0, 0), (U64_MAX, U64_MAX), (True, 1), (Index(4), 4), (LyingInt(1), 1)]

# Text (term, child_labels): a str, encodable as UTF-8.
TEXT_REFUSALS = [
    (5, TypeError, "'int' object cannot be converted to 'PyString'"),
    (None, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    (b"a", TypeError, "'bytes' object cannot be converted to 'PyString'"),
    (bytearray(b"a"), TypeError, "'bytearray' object cannot be converted to 'PyString'"),
    (["a"], TypeError, "'list' object cannot be converted to 'PyString'"),
    # Lone surrogates, anywhere; a surrogate pair is two of them in a str.
    ("\ud800", UnicodeEncodeError, _encoding_error("\ud800")),
    ("a\udfff", UnicodeEncodeError, _encoding_error("a\udfff")),
    ("x" * 10_000 + "\udc80", UnicodeEncodeError, _encoding_error("x" * 10_000 + "\udc80")),
    ("\ud83d\ude00", UnicodeEncodeError, _encoding_error("\ud83d\ude00")),
]

# Arrays (node_shifts, child_labels, payloads, child_transitions,
# video_index and its entries, payload video ids and counts): any sequence
# but a str.
ARRAY_REFUSALS = [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (LyingStr("01"), TypeError, "Can't extract `str` to `Vec`"),
    ({1}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    ({0: 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ((x for x in ()), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    (1.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
]

# Every value refused somewhere, for the fuzzer to put anywhere.
REFUSED_VALUES = [
    row[0]
    for table in (U32_REFUSALS, USIZE_REFUSALS, TEXT_REFUSALS, ARRAY_REFUSALS)
    for row in table
]
