"""The package's typing: strict mypy over it, and its py.typed marker."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tessarin

pytest.importorskip("mypy")


def test_package_type_checks_strictly(tmp_path, mypy):
    done = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "-p", "tessarin")
    assert done.returncode == 0, done.stdout + done.stderr


def test_py_typed_is_installed():
    assert (Path(tessarin.__file__).parent / "py.typed").is_file()


NATIVE_STUB = Path(tessarin.__file__).resolve().parent / "_native.pyi"
# nanobind's functions carry no inspectable signature and its types have their
# own metaclass: stubtest checks every name of the stub against the module,
# and test_native_parameters_match_the_stub checks the parameters from
# nanobind's own signatures instead.
NANOBIND_ALLOWED = [
    "tessarin._native.ErrorKind.__nb_enum__",
    "tessarin._native.NativeBuilder",
    "tessarin._native.NativeIndex",
    "tessarin._native.NativeIndex.__init__",
    "tessarin._native.NativeIndex.from_mapped",
    "tessarin._native.NativeIndex.from_saved",
    "tessarin._native.parse_integer",
    "tessarin._native.set_corrupt_index_error",
]


def test_stubtest_of_the_native_module(tmp_path, mypy):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(NANOBIND_ALLOWED) + "\n")
    (tmp_path / "mypy.ini").write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")
    done = mypy(
        "mypy.stubtest",
        "tessarin._native",
        "--allowlist",
        str(allowlist),
        "--mypy-config-file",
        str(tmp_path / "mypy.ini"),
    )
    assert done.returncode == 0, done.stdout + done.stderr


def stub_functions(path):
    return {
        node.name: [a.arg for a in node.args.args if a.arg != "self"]
        for node in ast.walk(ast.parse(path.read_text()))
        if isinstance(node, ast.FunctionDef)
    }


def test_native_parameters_match_the_stub():
    from tessarin import _native

    stubs = stub_functions(NATIVE_STUB)
    runtime = {"set_corrupt_index_error": _native.set_corrupt_index_error}
    runtime.update(
        (name, getattr(_native.NativeIndex, name))
        for name in stubs
        if hasattr(getattr(_native.NativeIndex, name, None), "__nb_signature__")
    )
    assert len(runtime) >= 8
    for name, function in runtime.items():
        signature = function.__nb_signature__[0][0]
        parameters = re.findall(r"(\w+):", signature.split("(", 1)[1].rsplit(")", 1)[0])
        assert parameters == stubs[name], name


WRONG_CALLS = """
from _tessarin import PrefixSearch
from tessarin import Index

def check(p: PrefixSearch, i: Index) -> None:
    p.fuzzy_match(5)
    i.suggest(5)
    i.search("x", limit="ten")
"""


def test_strict_mypy_finds_both_stubs_and_rejects_wrong_calls(tmp_path):
    if "site-packages" not in Path(tessarin.__file__).parts:
        pytest.skip("the package is not installed: its stubs are found only once installed")
    (tmp_path / "wrong.py").write_text(WRONG_CALLS)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "wrong.py"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=600,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [6, 7, 8], done.stdout
    assert "Cannot find implementation or library stub" not in done.stdout
