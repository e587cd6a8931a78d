"""Serving an index over HTTP: `tessarin serve` (the `serve` extra).

A Starlette application on uvicorn answers a search box on every keystroke:
a JSON API (`/search`, `/suggest`, `/complete`, `/info`, `/health`,
`/openapi.json`) and a search page at `/`, plain HTML, CSS and JavaScript in
`static/`. Several worker processes share the port, each with the index
loaded once; a changed index file (or SIGHUP) is loaded and swapped in
without a pause, and one that fails to load leaves the old index serving.

`create_app` makes the application for tests or another ASGI server;
`serve` runs it as the command line does. Each is imported on first use,
so that `tessarin serve` can hold SIGHUP (`hangups`) before it imports
Starlette and uvicorn.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .app import create_app
    from .config import Limits, ServeConfig
    from .holder import IndexHolder
    from .run import serve

__all__ = ["IndexHolder", "Limits", "ServeConfig", "create_app", "serve"]

_MODULES = {
    "IndexHolder": "holder",
    "Limits": "config",
    "ServeConfig": "config",
    "create_app": "app",
    "serve": "run",
}


def __getattr__(name: str) -> Any:
    if name not in _MODULES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f".{_MODULES[name]}", __name__), name)
