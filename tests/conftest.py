"""Fixtures shared by the extension's tests (tests/extension) and the
package's (tests/package)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO_PYTHON = Path(__file__).resolve().parent.parent / "python"


@pytest.fixture
def mypy(tmp_path):
    """run(module, *args): runs a mypy entry point (mypy, mypy.stubtest) in a
    fresh directory, with the repository's python/ on MYPYPATH."""

    def run(module, *args):
        env = dict(os.environ, MYPYPATH=str(REPO_PYTHON))
        env.pop("MYPY_CACHE_DIR", None)
        # It runs elsewhere: a relative PYTHONPATH (a build in place) would
        # no longer find the modules.
        if "PYTHONPATH" in env:
            env["PYTHONPATH"] = os.pathsep.join(
                os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p
            )
        return subprocess.run(
            [sys.executable, "-m", module, *args],
            capture_output=True,
            text=True,
            env=env,
            cwd=tmp_path,
            timeout=600,
        )

    return run
