"""The package's shape: its modules import one another without a circle."""

import ast
import graphlib
from pathlib import Path

import tessarin

PACKAGE = Path(tessarin.__file__).resolve().parent


def module_names():
    """Every module of the package by dotted name (stubs of native modules
    too), with its source file (None for a stub)."""
    found = {}
    for path in sorted(PACKAGE.rglob("*.py*")):
        if path.suffix not in (".py", ".pyi"):
            continue
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        found.setdefault(".".join(parts), path if path.suffix == ".py" else None)
    return found


def imported(name, path, known):
    """The package's modules that importing `name` runs: what it imports,
    anywhere in it (a deferred import closes a circle too), and the
    packages above those that are not above `name` itself."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([node.module] if node.module else []))
            targets = [
                f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base
                for alias in node.names
            ]
        else:
            continue
        for target in targets:
            parts = target.split(".")
            prefixes = [".".join(parts[:k]) for k in range(1, len(parts))]
            above = [p for p in prefixes if not (name == p or name.startswith(p + "."))]
            yield from (m for m in [*above, target] if m in known and m != name)


def test_the_package_imports_without_a_circle():
    known = module_names()
    graph = {
        name: set(imported(name, path, known)) if path is not None else set()
        for name, path in known.items()
    }
    assert {"tessarin.index", "tessarin.building.records", "tessarin.cli.info"} <= graph.keys()
    assert "tessarin.building.records" in graph["tessarin.index"]
    try:
        tuple(graphlib.TopologicalSorter(graph).static_order())
    except graphlib.CycleError as error:
        raise AssertionError(f"import circle: {' -> '.join(error.args[1])}") from None
