"""The core's C++ tests (tests/core, no Python involved), one pytest item per
TEST case. The binary is built once per session, when this file is collected,
and names its cases (`core_tests --list`); each item runs its case in a
process of its own (`core_tests --run NAME`), so that a crash ends that case
only and a failure shows its own CHECK output. If the build fails, a single
item, `build`, fails with the compiler's output."""

import functools
import os
import pathlib
import shutil
import signal
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# One build directory per compiler: a CMake cache never changes compilers.
BUILD = ROOT / "build" / ("core-tests-" + pathlib.Path(os.environ.get("CXX", "c++")).name)
BINARY = BUILD / "tests" / "core" / "core_tests"


@functools.cache
def built():
    """The test cases' names, or the reason there are none (a str)."""
    cmake = shutil.which("cmake")
    if cmake is None:
        return "cmake is needed to build the core tests (pip install '.[test]')"
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
        done = subprocess.run(configure, capture_output=True, text=True)
        if done.returncode != 0:
            return "the core tests did not configure:\n" + done.stdout + done.stderr
    done = subprocess.run([cmake, "--build", str(BUILD)], capture_output=True, text=True)
    if done.returncode != 0:
        return "the core tests did not build:\n" + done.stdout + done.stderr
    done = subprocess.run([str(BINARY), "--list"], capture_output=True, text=True)
    if done.returncode != 0 or not done.stdout.split():
        return "core_tests --list failed:\n" + done.stdout + done.stderr
    return done.stdout.split()


def pytest_generate_tests(metafunc):
    cases = built()
    if isinstance(cases, str):
        metafunc.parametrize("case", [pytest.param(cases, id="build")])
    else:
        metafunc.parametrize("case", cases)


def test_core_case(case):
    if isinstance(built(), str):
        pytest.fail(case, pytrace=False)
    done = subprocess.run([str(BINARY), "--run", case], capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        how = (
            f"killed by {signal.Signals(-done.returncode).name}"
            if done.returncode < 0
            else f"exited with {done.returncode}"
        )
        pytest.fail(f"core_tests --run {case} {how}\n{done.stderr}{done.stdout}", pytrace=False)
