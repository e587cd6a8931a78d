"""The typing stubs of _tessarin against the built module."""

import ast
import inspect
from pathlib import Path

import pytest

import _tessarin

pytest.importorskip("mypy")

STUB = Path(__file__).resolve().parents[2] / "python" / "_tessarin.pyi"

# Two methods publish text signatures without "$self" (their docstrings are
# "fuzzy_match(term, ...)"), so introspection shows `term` where stubtest
# expects `self`. stubtest skips them; test_unchecked_signatures compares
# them with the stub instead.
UNCHECKED = ["fuzzy_match", "fuzzy_match_video"]


def test_stubtest(tmp_path, mypy):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"_tessarin.PrefixSearch.{name}\n" for name in UNCHECKED))
    (tmp_path / "mypy.ini").write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")
    done = mypy(
        "mypy.stubtest",
        "_tessarin",
        "--allowlist",
        str(allowlist),
        "--mypy-config-file",
        str(tmp_path / "mypy.ini"),
    )
    assert done.returncode == 0, done.stdout + done.stderr


def stub_parameters(method):
    tree = ast.parse(STUB.read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef) and node.name == method:
            args = node.args
            names = [a.arg for a in args.args]
            defaults = [None] * (len(names) - len(args.defaults)) + [
                ast.literal_eval(d) for d in args.defaults
            ]
            return list(zip(names, defaults, strict=True))
    raise AssertionError(f"{method} missing from the stub")


@pytest.mark.parametrize("method", UNCHECKED)
def test_unchecked_signatures(method):
    runtime = inspect.signature(getattr(_tessarin.PrefixSearch, method))
    expected = [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in runtime.parameters.values()
    ]
    assert stub_parameters(method) == [("self", None), *expected]


def test_stubs_are_installed_as_a_stub_package():
    module_dir = Path(_tessarin.__file__).parent
    if module_dir.name != "site-packages":
        pytest.skip("the extension is not installed (a build tree): no stub package beside it")
    assert (module_dir / "_tessarin-stubs" / "__init__.pyi").read_text() == STUB.read_text()
