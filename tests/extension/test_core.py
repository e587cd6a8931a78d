"""Builds the core's C++ tests (no Python involved) and runs them."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# One build directory per compiler: a CMake cache never changes compilers.
BUILD = ROOT / "build" / ("core-tests-" + pathlib.Path(os.environ.get("CXX", "c++")).name)


def test_core_suite_passes():
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the core tests (pip install '.[test]')")
    configure = [
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(BUILD),
        "-DTESSARIN_PYTHON=OFF",
        "-DTESSARIN_CORE_TESTS=ON",
        "-DCMAKE_BUILD_TYPE=Debug",
    ]
    if os.environ.get("TESSARIN_WERROR"):
        configure.append("-DTESSARIN_WERROR=ON")
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    if subprocess.run(configure, capture_output=True).returncode != 0:
        # A stale cache (its generator or tools gone since): start afresh.
        shutil.rmtree(BUILD, ignore_errors=True)
        subprocess.run(configure, check=True, capture_output=True, text=True)
    build = subprocess.run([cmake, "--build", str(BUILD)], capture_output=True, text=True)
    assert build.returncode == 0, build.stdout + build.stderr
    run = subprocess.run(
        [str(BUILD / "tests" / "core" / "core_tests")], capture_output=True, text=True
    )
    assert run.returncode == 0, run.stdout + run.stderr
