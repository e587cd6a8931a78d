"""Fuzzes the module through the interpreter with atheris: from_bytes,
to_bytes, from_internal_data_v2 and both queries, called with arguments of
any type (ints at and past every bound, floats, strings with surrogates,
bytes and other buffers, sequences, numpy arrays, subclasses with odd
__index__ and __iter__, objects that raise), by position or keyword, with
too few or too many of them.

Every call must return a value of the documented type or raise one of the
documented exceptions: TypeError, OverflowError, ValueError (including
UnicodeEncodeError), the internal-failure exception, or the exception that
one of our own hostile objects raised. Anything else (another exception, a
crash, a sanitizer report) is a finding. What loads must also save to its
shortest form and load back to the same bytes.

Run it from the repository root, as a module (it takes its hostile
objects from tessarin_reference.hostile), with the extension built under
ASan and UBSan, the runtime preloaded and PYTHONMALLOC=malloc (see
.ci/hardening.sh), e.g.
    python -m fuzz.fuzz_python -max_total_time=60 fuzz/corpus/python
"""

import array
import contextlib
import math
import sys

import atheris

with atheris.instrument_imports():
    from _tessarin import PrefixSearch

from tessarin_reference.hostile import (
    BOUNDARY_INTS,
    BUILD_PARAMETERS,
    REFUSED_VALUES,
    Float,
    Hostile,
    Index,
    LyingBytes,
    LyingInt,
    LyingStr,
    LyingTuple,
    OddSequence,
    panic_type,
)

try:
    import numpy
except ImportError:  # numpy makes the arguments more varied, nothing more
    numpy = None

build = PrefixSearch.from_internal_data_v2
load = PrefixSearch.from_bytes

EXPECTED = (TypeError, OverflowError, ValueError, panic_type(), Hostile)


@atheris.instrument_func
def any_int(fdp):
    pick = fdp.ConsumeIntInRange(0, 6)
    if pick == 0:
        return fdp.PickValueInList(BOUNDARY_INTS)
    if pick == 1:
        return fdp.ConsumeIntInRange(0, 6)
    if pick == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 9))
    if pick == 3:
        return LyingInt(fdp.PickValueInList(BOUNDARY_INTS))
    if pick == 4:
        return Index(fdp.PickValueInList([*BOUNDARY_INTS, Hostile("index"), "3", 1.5, LyingInt(3)]))
    if pick == 5:
        return fdp.PickValueInList(REFUSED_VALUES)
    return numpy.int64(fdp.ConsumeIntInRange(-3, 2**40)) if numpy else 5


@atheris.instrument_func
def any_text(fdp):
    text = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    pick = fdp.ConsumeIntInRange(0, 9)
    if pick == 0:
        return text + "\ud800"
    if pick == 1:
        return LyingStr(text)
    if pick == 2:
        return fdp.PickValueInList(["cat", "car", "ca", "", "a" * 70, "é€𝄞", "\x00"])
    return text


@atheris.instrument_func
def any_value(fdp, depth=0):
    pick = fdp.ConsumeIntInRange(0, 17 if depth < 2 else 8)
    if pick <= 2:
        return any_int(fdp)
    if pick == 3:
        return any_text(fdp)
    if pick == 4:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 20))
    if pick == 5:
        return fdp.PickValueInList(
            [
                None,
                0.5,
                math.nan,
                -math.inf,
                1e300,
                object(),
                b"\x00" * 4,
                bytes(16),
                bytearray(4),
                memoryview(b"\x01\x02\x03\x04"),
            ]
        )
    if pick == 6:
        return LyingBytes(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16)))
    if pick == 7:
        return fdp.ConsumeBool() if depth else numpy.bool_(fdp.ConsumeBool()) if numpy else True
    if pick == 8:
        return fdp.ConsumeRegularFloat()
    count = fdp.ConsumeIntInRange(0, 6)
    items = [any_value(fdp, depth + 1) for _ in range(count)]
    if pick in (9, 10):
        return items
    if pick == 11:
        return tuple(items)
    if pick == 12:
        return LyingTuple(items)
    if pick == 13:
        return OddSequence(items, fdp.ConsumeIntInRange(0, 4))
    if pick == 14:
        return range(fdp.ConsumeIntInRange(0, 8))
    if pick == 15:
        code = fdp.PickValueInList(["B", "b", "H", "i", "I", "l", "q", "Q", "d"])
        values = [fdp.ConsumeIntInRange(0, 300) for _ in range(count)]
        try:
            return array.array(code, values)
        except OverflowError:
            return array.array("q", values)
    if pick == 16 and numpy is not None:
        dtype = fdp.PickValueInList(["u1", "i1", "<u4", ">u4", "i8", "u8", "f8", "O"])
        values = [fdp.ConsumeIntInRange(0, 300) for _ in range(count)]
        data = numpy.array(values).astype(dtype)
        return data[::2] if fdp.ConsumeBool() else data
    return {k: k for k in range(count)} if fdp.ConsumeBool() else set(range(count))


@atheris.instrument_func
def valid_build_args(fdp):
    """Mostly well-formed arguments of from_internal_data_v2, with a fuzzed
    value now and then."""
    n = fdp.ConsumeIntInRange(0, 8)
    labels = [fdp.PickValueInList(["", "a", "b", "c", "é", "€", "𝄞"]) for _ in range(n)]
    transitions = [fdp.ConsumeIntInRange(0, max(n, 1)) for _ in range(fdp.ConsumeIntInRange(0, 10))]
    shifts = [fdp.ConsumeIntInRange(0, len(transitions)) for _ in range(n)]
    width = fdp.PickValueInList([4, 16, 3])
    videos = [
        fdp.ConsumeBytes(width).ljust(width, b"\x00") for _ in range(fdp.ConsumeIntInRange(0, 3))
    ]
    payloads = []
    for _ in range(n):
        if fdp.ConsumeBool():
            payloads.append(None)
            continue
        k = fdp.ConsumeIntInRange(0, 3)
        payloads.append(
            (
                fdp.ConsumeIntInRange(0, 2**32 - 1),
                [fdp.ConsumeIntInRange(0, 4) for _ in range(k)],
                [fdp.ConsumeIntInRange(0, 2**32 - 1) for _ in range(k)],
            )
        )
    args = [shifts, labels, payloads, transitions, videos, fdp.ConsumeIntInRange(0, 4)]
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        args[fdp.ConsumeIntInRange(0, 5)] = any_value(fdp)
    return args


@atheris.instrument_func
def arrange(fdp, names, values):
    """Passes `values` by position or keyword, sometimes one too many or
    with a missing or unknown name."""
    args, kwargs = [], {}
    by_keyword = False
    for name, value in zip(names, values, strict=True):
        by_keyword = by_keyword or fdp.ConsumeIntInRange(0, 3) == 0
        if by_keyword:
            kwargs[name] = value
        else:
            args.append(value)
    odd = fdp.ConsumeIntInRange(0, 15)
    if odd == 0:
        args.append(any_value(fdp))
    elif odd == 1:
        kwargs["bogus"] = 1
    elif odd == 2 and args:
        kwargs[names[0]] = args[0]
    return args, kwargs


INDEXES = [
    build(
        [0, 1, 3, 3, 4, 4],
        ["", "c", "a", "r", "t", "e"],
        [None, None, (5, [0, 1], [3, 2]), (2, [1], [2]), (1, [2], [1]), (1, [0], [1])],
        [1, 2, 3, 4, 5],
        [bytes(4), b"\x01" * 4, b"\xff" * 4],
        2,
    ),
    build([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [bytes(range(16))], 10),
    load(bytes.fromhex("020001 020061 0401010101 00 00 00 00 020001")),
    load(bytes.fromhex("020001 020061 0101 02 00 0101 020000 0101 00 0107 01 020001")),
    load(bytes(8)),
]


@atheris.instrument_func
def check_index(index):
    saved = index.to_bytes()
    assert isinstance(saved, bytes)
    assert load(saved).to_bytes() == saved, "saving a loaded index is not stable"


@atheris.instrument_func
def check_result(name, result):
    if name in ("build", "load"):
        assert type(result) is PrefixSearch
        check_index(result)
    elif name == "fuzzy_match":
        assert type(result) is list
        for item in result:
            assert type(item) is tuple and len(item) == 3 and type(item[0]) is str
            assert item[1] == 1 and type(item[2]) is int
    elif name == "video":
        assert type(result) is list
        for item in result:
            assert type(item) is tuple and len(item) == 2
            assert type(item[0]) is str and type(item[1]) is float


@atheris.instrument_func
def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    operation = fdp.ConsumeIntInRange(0, 4)
    if operation == 0:
        # Mostly bytes, which the decoder reads from the front.
        b = (
            fdp.ConsumeBytes(fdp.remaining_bytes())
            if fdp.ConsumeIntInRange(0, 7)
            else any_value(fdp)
        )
        name, function, args, kwargs = "load", load, *arrange(fdp, ["b"], [b])
    elif operation == 1:
        name, function = "build", build
        names = list(BUILD_PARAMETERS)
        args, kwargs = arrange(fdp, names, valid_build_args(fdp))
    else:
        index = INDEXES[fdp.ConsumeIntInRange(0, len(INDEXES) - 1)]
        if fdp.ConsumeIntInRange(0, 5) == 0:
            with contextlib.suppress(ValueError):
                index = load(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64)))
        if operation == 2:
            name, function = "to_bytes", index.to_bytes
            args, kwargs = ([any_value(fdp)] if fdp.ConsumeIntInRange(0, 3) == 0 else []), {}
        else:
            term = any_text(fdp) if fdp.ConsumeIntInRange(0, 7) else any_value(fdp)
            values = [
                term,
                any_int(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 3),
                None if fdp.ConsumeBool() else any_int(fdp),
            ]
            if operation == 3:
                name, function, names = (
                    "fuzzy_match",
                    index.fuzzy_match,
                    ["term", "max_dist", "limit"],
                )
            else:
                name, function = "video", index.fuzzy_match_video
                names = ["term", "max_dist", "limit", "include_prefix_nodes", "min_score"]
                values += [
                    fdp.PickValueInList([None, True, False])
                    if fdp.ConsumeBool()
                    else any_value(fdp),
                    None
                    if fdp.ConsumeBool()
                    else fdp.PickValueInList(
                        [0.0, -1.0, 0.5, math.nan, math.inf, 1, Float(0.5), Float(Hostile("f"))]
                    )
                    if fdp.ConsumeBool()
                    else any_value(fdp),
                ]
            count = len(names) - fdp.ConsumeIntInRange(0, len(names) - 1)
            args, kwargs = arrange(fdp, names[:count], values[:count])
    try:
        result = function(*args, **kwargs)
    except EXPECTED:
        return
    check_result(name, result)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
