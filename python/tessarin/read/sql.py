"""SQL text for DuckDB: quoted literals and identifiers."""

from __future__ import annotations

__all__ = ["identifier", "literal"]


def literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def identifier(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'
