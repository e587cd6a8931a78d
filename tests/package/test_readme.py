"""README's Python examples run, and print what their comments say.

Blocks fenced as ```python run; blocks fenced as ```py are illustrations
that need the reader's data and are only compiled.
"""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```(python|py)\n(.*?)^```", README.read_text(), re.S | re.M)


def test_readme_has_examples():
    assert any(kind == "python" for kind, _ in BLOCKS)


@pytest.mark.parametrize("kind, code", BLOCKS)
def test_example_runs_and_prints_what_its_comments_say(kind, code):
    compiled = compile(code, "README.md", "exec")
    if kind == "py":
        return
    printed = []
    exec(compiled, {"print": lambda *args: printed.append(" ".join(map(str, args)))})
    expected = [line.split("  # ", 1)[1] for line in code.splitlines() if line.startswith("print(")]
    assert printed == expected
