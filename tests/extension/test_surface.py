"""The module and class as Python sees them, and the shared argument rules."""

import collections
import gc
import subprocess
import sys

import pytest

import _tessarin
from _tessarin import PrefixSearch
from tessarin_reference import hostile
from tessarin_reference.model import layout_terms

build = PrefixSearch.from_internal_data_v2
EMPTY = ([], [], [], [], [], 0)


def tiny():
    return build([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [bytes(range(16))], 5)


def test_module_attributes():
    assert _tessarin.__doc__ == ""
    assert _tessarin.__all__ == ["PrefixSearch"]
    assert _tessarin.PrefixSearch is PrefixSearch
    assert not [n for n in vars(_tessarin) if not n.startswith("__") and n != "PrefixSearch"]


def test_reimport_returns_the_same_module():
    code = (
        "import sys, _tessarin as first; del sys.modules['_tessarin']; "
        "import _tessarin as second; assert second is first, 'new module object'; "
        "assert second.__all__ == ['PrefixSearch']"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_second_interpreter_is_refused():
    code = (
        "import _tessarin, _testcapi; assert _testcapi.run_in_subinterp('import _tessarin') == -1"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if "No module named '_testcapi'" in run.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert run.returncode == 0, run.stderr
    assert "ImportError: _tessarin does not support sub-interpreters" in run.stderr


def test_import_raises_no_warning():
    code = "import warnings; warnings.simplefilter('error'); import _tessarin"
    subprocess.run([sys.executable, "-W", "error", "-c", code], check=True)


def test_class_attributes():
    assert PrefixSearch.__name__ == PrefixSearch.__qualname__ == "PrefixSearch"
    assert PrefixSearch.__module__ == "builtins"
    assert PrefixSearch.__doc__ is None
    assert PrefixSearch.__bases__ == (object,)
    assert not hasattr(PrefixSearch, "__dictoffset__") or PrefixSearch.__dictoffset__ == 0
    assert PrefixSearch.__weakrefoffset__ == 0
    assert not gc.is_tracked(tiny())


@pytest.mark.parametrize("args", [(), (1,), ([], []), ((), {"x": 1})])
def test_no_constructor(args):
    with pytest.raises(TypeError, match=r"^No constructor defined for PrefixSearch$"):
        if args and isinstance(args[-1], dict):
            PrefixSearch(*args[0], **args[1])
        else:
            PrefixSearch(*args)


def test_not_subclassable():
    with pytest.raises(TypeError):

        class Sub(PrefixSearch):
            pass


def test_instances_take_no_attributes():
    index = tiny()
    with pytest.raises(AttributeError):
        index.anything = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(index)


def test_default_repr_and_equality():
    a, b = tiny(), tiny()
    assert repr(a).startswith("<PrefixSearch object at 0x")
    assert a != b and a == a
    hash(a)


def test_text_signature():
    assert PrefixSearch.from_internal_data_v2.__text_signature__ == (
        "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)"
    )
    assert PrefixSearch.from_internal_data_v2.__doc__ is None


NAME = r"PrefixSearch\.from_internal_data_v2\(\)"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            (),
            {},
            NAME + r" missing 6 required positional arguments: 'node_shifts', "
            r"'child_labels', 'payloads', 'child_transitions', 'video_index', and 'video_top_n'",
        ),
        (
            ([], [], [], [], []),
            {},
            NAME + r" missing 1 required positional argument: 'video_top_n'",
        ),
        (
            ([], [], [], []),
            {},
            NAME + r" missing 2 required positional arguments: "
            r"'video_index' and 'video_top_n'",
        ),
        ((*EMPTY, 1), {}, NAME + r" takes 6 positional arguments but 7 were given"),
        (EMPTY, {"node_shifts": []}, NAME + r" got multiple values for argument 'node_shifts'"),
        (EMPTY, {"nodes": []}, NAME + r" got an unexpected keyword argument 'nodes'"),
    ],
)
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError, match="^" + message + "$"):
        build(*args, **kwargs)


def test_keywords_in_any_order():
    names = [
        "video_top_n",
        "video_index",
        "child_transitions",
        "payloads",
        "child_labels",
        "node_shifts",
    ]
    values = dict(zip(names, [0, [], [], [], [], []], strict=True))
    assert isinstance(build(**values), PrefixSearch)


# ---------------------------------------------------------------- the shared converters
#
# Each converter is one function that every argument of its kind goes
# through, so each of its refusals must come out the same at every place it
# serves: one table of refusals (tessarin_reference.hostile), crossed with
# the places. A place is (a call with the value put there, the argument name
# that prefixes a TypeError, or None inside a payload tuple, and whether None
# there means "not given").

INDEX = build(
    *layout_terms((w, (len(w), [len(w) % 3], [1])) for w in ["a", "ab", "abc", "abcd", "b", "ba"]),
    [bytes(4), b"\x01" * 4, b"\x02" * 4],
    2,
)

U32_PLACES = {
    "node_shifts": (lambda v: build([0, v], ["", "a"], [None, None], [1], [], 0), "node_shifts"),
    "child_transitions": (
        lambda v: build([0, 1], ["", "a"], [None, None], [v], [], 0),
        "child_transitions",
    ),
    "video_index_byte": (lambda v: build([], [], [], [], [[0, 0, 0, v]], 0), "video_index"),
    "payload_total": (lambda v: build([0], [""], [(v, [], [])], [], [], 0), None),
    "payload_video_id": (lambda v: build([0], [""], [(1, [v], [1])], [], [], 0), None),
    "payload_video_count": (lambda v: build([0], [""], [(1, [0], [v])], [], [], 0), None),
    "fuzzy_match_max_dist": (lambda v: INDEX.fuzzy_match("a", v), "max_dist"),
    "fuzzy_match_video_max_dist": (lambda v: INDEX.fuzzy_match_video("a", v), "max_dist"),
}
USIZE_PLACES = {
    "video_top_n": (lambda v: build([0, 1], ["", "a"], [None, None], [1], [], v), "video_top_n"),
    "fuzzy_match_limit": (lambda v: INDEX.fuzzy_match("a", 1, v), "limit", "optional"),
    "fuzzy_match_video_limit": (lambda v: INDEX.fuzzy_match_video("a", 1, v), "limit", "optional"),
}
TEXT_PLACES = {
    "child_labels": (lambda v: build([0, 1], ["", v], [None, None], [1], [], 0), "child_labels"),
    "fuzzy_match_term": (lambda v: INDEX.fuzzy_match(v), "term"),
    "fuzzy_match_video_term": (lambda v: INDEX.fuzzy_match_video(v), "term"),
}
ARRAY_PLACES = {
    "node_shifts": (lambda v: build(v, [], [], [], [], 0), "node_shifts"),
    "child_labels": (lambda v: build([], v, [], [], [], 0), "child_labels"),
    "payloads": (lambda v: build([], [], v, [], [], 0), "payloads"),
    "child_transitions": (lambda v: build([], [], [], v, [], 0), "child_transitions"),
    "video_index": (lambda v: build([], [], [], [], v, 0), "video_index"),
    "video_index_entry": (lambda v: build([], [], [], [], [v], 0), "video_index"),
    "payload_video_ids": (lambda v: build([0], [""], [(1, v, [])], [], [], 0), None),
    "payload_video_counts": (lambda v: build([0], [""], [(1, [], v)], [], [], 0), None),
}


def label(value):
    text = repr(value)
    return text if len(text) <= 24 else text[:21] + "..."


def crossed(kind, places, rows):
    return [
        pytest.param(places[place][0], places[place][1], *row, id=f"{kind}-{place}-{label(row[0])}")
        for place in places
        for row in rows
        if not (row[0] is None and "optional" in places[place])
    ]


@pytest.mark.parametrize(
    "call, argument, value, error, message",
    crossed("u32", U32_PLACES, hostile.U32_REFUSALS)
    + crossed("usize", USIZE_PLACES, hostile.USIZE_REFUSALS)
    + crossed("text", TEXT_PLACES, hostile.TEXT_REFUSALS)
    + crossed("array", ARRAY_PLACES, hostile.ARRAY_REFUSALS),
)
def test_converter_refusals(call, argument, value, error, message):
    if error is TypeError and argument is not None:
        message = f"argument '{argument}': {message}"
    with pytest.raises(error) as info:
        call(value)
    assert type(info.value) is error
    assert str(info.value) == message


THREE_VIDEOS = (
    [0, 1],
    ["", "a"],
    [None, (9, [0, 1, 2], [4, 3, 2])],
    [1],
    [bytes(4), b"\x01" * 4, b"\x02" * 4],
)

U32_ACCEPTING = {
    "payload_total": lambda v: build([0], [""], [(v, [], [])], [], [], 0).to_bytes(),
    "payload_video_id": lambda v: build([0], [""], [(1, [v], [1])], [], [], 0).to_bytes(),
    "payload_video_count": lambda v: build([0], [""], [(1, [0], [v])], [], [], 0).to_bytes(),
    "fuzzy_match_max_dist": lambda v: INDEX.fuzzy_match("abcd", v),
    "fuzzy_match_video_max_dist": lambda v: INDEX.fuzzy_match_video("abcd", v, None, True, 0.0),
}
USIZE_ACCEPTING = {
    "video_top_n": lambda v: build(*THREE_VIDEOS, v).to_bytes(),
    "fuzzy_match_limit": lambda v: INDEX.fuzzy_match("", 9, v),
    "fuzzy_match_video_limit": lambda v: INDEX.fuzzy_match_video("a", 9, v, True, 0.0),
}


@pytest.mark.parametrize(
    "call, value, integer",
    [
        pytest.param(call, *row, id=f"{place}-{label(row[0])}")
        for places, rows in (
            (U32_ACCEPTING, hostile.U32_ACCEPTED),
            (USIZE_ACCEPTING, hostile.USIZE_ACCEPTED),
        )
        for place, call in places.items()
        for row in rows
    ],
)
def test_converters_take_what_stands_for_an_integer(call, value, integer):
    # An int subclass by its value (not its __index__), an object by its
    # __index__, a bool as 0 or 1.
    assert call(value) == call(integer)


def test_prefix_keeps_the_cause():
    class Caused:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError, match=r"^argument 'node_shifts': outer$") as info:
        build([Caused()], ["a"], [None], [], [], 0)
    assert isinstance(info.value.__cause__, KeyError)


def test_type_error_subclass_is_not_prefixed():
    class MyTypeError(TypeError):
        pass

    with pytest.raises(MyTypeError, match=r"^mine$"):
        build([hostile.Index(MyTypeError("mine"))], ["a"], [None], [], [], 0)


@pytest.mark.parametrize("shifts", [(0,), range(1), b"\x00", [0], collections.deque([0])])
def test_any_sequence_is_an_array(shifts):
    build(shifts, ["a"], [None], [], [], 0)


def test_array_items_read_by_iteration():
    class Seq(list):
        def __iter__(self):
            return iter([0, 0])

    # Iteration yields two shifts, so the length check sees 2 entries.
    with pytest.raises(ValueError, match=r"^node_shifts len 2 != child_labels len 1$"):
        build(Seq([0]), ["a"], [None], [], [], 0)


def test_huge_claimed_length_does_not_reserve():
    build(hostile.OddSequence([0], hostile.OddSequence.HUGE_LEN), ["a"], [None], [], [], 0)
