"""The module and class as Python sees them, and the shared argument rules."""

import collections
import gc
import subprocess
import sys

import pytest

import _tessarin
from _tessarin import PrefixSearch

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
        "import _tessarin, _testcapi; "
        "assert _testcapi.run_in_subinterp('import _tessarin') == -1"
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

        class Sub(PrefixSearch):  # noqa: F841
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
        ((), {}, NAME + r" missing 6 required positional arguments: 'node_shifts', "
         r"'child_labels', 'payloads', 'child_transitions', 'video_index', and 'video_top_n'"),
        (([], [], [], [], []), {}, NAME + r" missing 1 required positional argument: 'video_top_n'"),
        (([], [], [], []), {}, NAME + r" missing 2 required positional arguments: "
         r"'video_index' and 'video_top_n'"),
        (EMPTY + (1,), {}, NAME + r" takes 6 positional arguments but 7 were given"),
        (EMPTY, {"node_shifts": []}, NAME + r" got multiple values for argument 'node_shifts'"),
        (EMPTY, {"nodes": []}, NAME + r" got an unexpected keyword argument 'nodes'"),
    ],
)
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError, match="^" + message + "$"):
        build(*args, **kwargs)


def test_keywords_in_any_order():
    names = ["video_top_n", "video_index", "child_transitions", "payloads", "child_labels",
             "node_shifts"]
    values = dict(zip(names, [0, [], [], [], [], []]))
    assert isinstance(build(**values), PrefixSearch)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise TypeError("no index today")


@pytest.mark.parametrize("value", [0, 7, True, False, 2**32 - 1, Index(3)])
def test_u32_accepts_integers(value):
    build([0], ["a"], [(value, [value], [value])], [], [], 1)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (-1, OverflowError, r"^out of range integral type conversion attempted$"),
        (2**32, OverflowError, r"^out of range integral type conversion attempted$"),
        (2**63, OverflowError, r"too large to convert to C long"),
        (Index(-5), OverflowError, r"^out of range integral type conversion attempted$"),
        (1.0, TypeError, r"^argument 'node_shifts': 'float' object cannot be interpreted as an integer$"),
        (None, TypeError, r"^argument 'node_shifts': 'NoneType' object cannot be interpreted"),
        ("1", TypeError, r"^argument 'node_shifts': 'str' object cannot be interpreted"),
        (BadIndex(), TypeError, r"^argument 'node_shifts': no index today$"),
    ],
)
def test_u32_refusals(value, error, message):
    with pytest.raises(error, match=message) as info:
        build([value], ["a"], [None], [], [], 0)
    assert type(info.value) is error


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

    class Raises:
        def __index__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError, match=r"^mine$"):
        build([Raises()], ["a"], [None], [], [], 0)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (-1, OverflowError, r"^can't convert negative int to unsigned$"),
        (2**64, OverflowError, r"int too big to convert"),
        (Index(-1), OverflowError, r"negative"),
        (1.5, TypeError, r"^argument 'video_top_n': 'float' object cannot be interpreted"),
        (None, TypeError, r"^argument 'video_top_n': "),
    ],
)
def test_usize_refusals(value, error, message):
    with pytest.raises(error, match=message) as info:
        build([], [], [], [], [], value)
    assert type(info.value) is error


@pytest.mark.parametrize("value", [0, 2**64 - 1, True, Index(4)])
def test_usize_accepts(value):
    build([], [], [], [], [], value)


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", r"^argument 'node_shifts': Can't extract `str` to `Vec`$"),
        (type("S", (str,), {})("x"), r"^argument 'node_shifts': Can't extract `str` to `Vec`$"),
        ({1}, r"^argument 'node_shifts': 'set' object cannot be converted to 'Sequence'$"),
        ({0: 1}, r"^argument 'node_shifts': 'dict' object cannot be converted to 'Sequence'$"),
        ((x for x in []), r"^argument 'node_shifts': 'generator' object cannot be converted"),
        (5, r"^argument 'node_shifts': 'int' object cannot be converted to 'Sequence'$"),
    ],
)
def test_array_refusals(value, message):
    with pytest.raises(TypeError, match=message):
        build(value, [], [], [], [], 0)


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
    class Liar:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i >= 1:
                raise IndexError
            return 0

    build(Liar(), ["a"], [None], [], [], 0)


@pytest.mark.parametrize(
    "label, error, message",
    [
        (5, TypeError, r"^argument 'child_labels': 'int' object cannot be converted to 'PyString'$"),
        (b"a", TypeError, r"^argument 'child_labels': 'bytes' object cannot be converted"),
        ("a\ud800", UnicodeEncodeError, r"surrogates not allowed"),
    ],
)
def test_label_refusals(label, error, message):
    with pytest.raises(error, match=message):
        build([0], [label], [None], [], [], 0)
