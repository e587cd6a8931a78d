"""Builds the core's C++ tests (no Python involved) and runs them."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "core-tests"


def test_core_suite_passes():
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the core tests (pip install '.[test]')")
    configure = [cmake, "-S", str(ROOT), "-B", str(BUILD), "-DTESSARIN_PYTHON=OFF",
                 "-DTESSARIN_CORE_TESTS=ON", "-DCMAKE_BUILD_TYPE=Debug"]
    if os.environ.get("TESSARIN_WERROR"):
        configure.append("-DTESSARIN_WERROR=ON")
    if shutil.which("ninja") and not (BUILD / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True, text=True)
    build = subprocess.run([cmake, "--build", str(BUILD)], capture_output=True, text=True)
    assert build.returncode == 0, build.stdout + build.stderr
    run = subprocess.run([str(BUILD / "tests" / "core" / "core_tests")], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stdout + run.stderr
