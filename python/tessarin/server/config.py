"""What a server serves and the bounds it puts on requests and clients.

The bounds on a request keep every query within a few milliseconds on an
index of a million terms (see bench/load.py): the walk's cost grows steeply
with the distance, and with the query's length only linearly. The bounds on
clients (connections, request heads, timeouts) keep slow, idle or hostile
clients from holding a worker's memory and connections (see
`tessarin.server.protocol` and bench/slow_clients.py).
"""

from __future__ import annotations

import dataclasses
import json
import math
import os

from .. import defaults

__all__ = ["CONFIG_ENV", "Limits", "ServeConfig"]

#: The environment variable that hands the configuration to worker processes.
CONFIG_ENV = "TESSARIN_SERVE_CONFIG"


@dataclasses.dataclass(frozen=True)
class Limits:
    """Bounds on what one request may ask and on what a client may hold;
    the connection bounds hold for each worker process."""

    #: Longest query, in characters.
    max_query: int = defaults.SERVER_MAX_QUERY
    #: Largest `max_dist` a request may give (at most the package's
    #: `defaults.MAX_DIST_CAP`).
    max_dist: int = defaults.SERVER_MAX_DIST
    #: Largest `limit` a request may give.
    max_limit: int = defaults.SERVER_MAX_LIMIT
    #: `limit` when a request gives none, for /search and /suggest.
    search_limit: int = defaults.SEARCH_LIMIT
    suggest_limit: int = defaults.SUGGEST_LIMIT
    #: Queries a worker process holds (running or waiting for a thread)
    #: before it answers 503 to more.
    max_pending: int = 256
    #: Connections a worker process keeps open. At the cap, a new connection
    #: closes the one that has waited longest for a request (idle, or slow
    #: to send its head), so that slow clients cannot lock out fast ones.
    max_connections: int = defaults.SERVER_MAX_CONNECTIONS
    #: Bytes of a request head (request line and header fields) and header
    #: fields in it; a larger one is refused with 431. Bytes sent after a
    #: head (a body: this API takes none) count towards the next head.
    max_header_bytes: int = defaults.SERVER_MAX_HEADER_BYTES
    max_headers: int = defaults.SERVER_MAX_HEADERS
    #: Seconds a connection may wait for the first byte of a request, when
    #: new or after a response; then it is closed.
    keep_alive: float = defaults.SERVER_KEEP_ALIVE
    #: Seconds a client has to send a whole request head, from the moment
    #: its connection starts waiting for one; then it is answered 408.
    head_timeout: float = defaults.SERVER_HEAD_TIMEOUT

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if field.type == "float":
                if (
                    isinstance(value, bool)
                    or not isinstance(value, (int, float))
                    or not 0 < value < math.inf
                ):
                    raise ValueError(
                        f"{field.name} must be a number of seconds above 0, not {value!r}"
                    )
            elif isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"{field.name} must be an integer of 0 or more, not {value!r}")
        for name in ("max_query", "max_limit", "max_pending", "max_connections", "max_headers"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be 1 or more")
        if self.max_header_bytes < 1024:
            raise ValueError("max_header_bytes must be 1024 or more")
        if self.max_dist > defaults.MAX_DIST_CAP:
            raise ValueError(f"max_dist must be at most {defaults.MAX_DIST_CAP}")
        if max(self.search_limit, self.suggest_limit) > self.max_limit:
            raise ValueError("the default limits must not exceed max_limit")


@dataclasses.dataclass(frozen=True)
class ServeConfig:
    """What one worker process serves."""

    #: The index file; None serves the sample index.
    index: str | None = None
    limits: Limits = dataclasses.field(default_factory=Limits)
    #: Threads that run queries in each worker process.
    threads: int = dataclasses.field(default_factory=lambda: os.cpu_count() or 1)
    #: Seconds between checks of the index file for a change; 0: never.
    reload_interval: float = 2.0
    #: The video catalogue file (`tessarin.Catalog.read`), checked for a
    #: change as the index is; None: none.
    catalog: str | None = None
    #: Origins the page may show images from; None: those of the
    #: catalogue's thumbnails.
    image_hosts: tuple[str, ...] | None = None
    #: Whether /info and the page show what only an operator should see:
    #: the index file's path, the worker's process id, memory and
    #: connections. Off for a server that the public can reach.
    admin: bool = False
    #: Queries within this many edits run on the event loop, not on a
    #: thread (see `tessarin.server.app.Service.inline`); -1: none does.
    inline_max_dist: int = 1

    def __post_init__(self) -> None:
        if self.threads < 1:
            raise ValueError("threads must be 1 or more")
        if self.inline_max_dist < -1:
            raise ValueError("inline_max_dist must be -1 or more")
        if not self.reload_interval >= 0:
            raise ValueError("reload_interval must be 0 or more")

    def to_json(self) -> str:
        return json.dumps(dataclasses.asdict(self))

    @classmethod
    def from_json(cls, text: str) -> ServeConfig:
        fields = json.loads(text)
        fields["limits"] = Limits(**fields["limits"])
        if fields.get("image_hosts") is not None:
            fields["image_hosts"] = tuple(fields["image_hosts"])
        return cls(**fields)
