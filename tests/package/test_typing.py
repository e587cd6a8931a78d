"""The package's typing: strict mypy over it, and its py.typed marker."""

from pathlib import Path

import pytest

import tessarin

pytest.importorskip("mypy")


def test_package_type_checks_strictly(tmp_path, mypy):
    done = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "-p", "tessarin")
    assert done.returncode == 0, done.stdout + done.stderr


def test_py_typed_is_installed():
    assert (Path(tessarin.__file__).parent / "py.typed").is_file()
