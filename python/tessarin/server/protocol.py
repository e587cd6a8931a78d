"""The HTTP protocol of a worker process: uvicorn's httptools protocol with
bounds on what a client may hold.

uvicorn, as it comes, reads a request head with no bound on its size, its
fields or its duration, arms no timer on a connection before its first
request, and counts idle connections against `limit_concurrency`, so that a
crowd of slow clients makes it answer 503 to every real request.
`BoundedProtocol` keeps, for each worker (`Limits`):

* time: a connection waiting for a request (new, or after a response) is
  closed if no byte of one arrives within `keep_alive` seconds, and answered
  408 if the whole head has not arrived within `head_timeout` seconds of the
  start of the wait, however slowly its bytes trickle in. One timer per
  waiting connection; none while a request is served (the application bounds
  its own work).
* size: the parser is fed at most `max_header_bytes` bytes between the end
  of one head and the end of the next, so that what it holds stays bounded
  (httptools gathers each header field whole before handing it over, and the
  cost of gathering grows faster than the field). A head that does not fit
  is answered 431, as is one of more than `max_headers` fields; bytes that
  are not HTTP, 400; a body that does not fit (this API takes none) closes
  the connection once its request is answered. Where a head completes
  inside a chunk read, the rest of that chunk is not counted: a pipelined
  head may reach twice the cap, never more.
* connections: at `max_connections` open connections, a new one ends a
  lingering close (below) or else closes the connection that has waited
  longest for a request (an idle keep-alive one, or a slow head, answered
  503: clients that hold a connection without using it), so that a client
  that sends its request at once is served, `/health` included. If
  every connection is serving a request (rare: the application answers 503
  beyond `max_pending` queries), the new connection is closed at once.

Every refusal of a head is JSON (`tessarin.server.errors`), sent after the
responses to the requests read before it (pipelined), and followed by a
lingering close: the worker stops writing, drops what the client still
sends for a moment, then closes, so that the client reads the answer rather
than a reset. Nothing is logged per connection (a hostile client would flood the
log): closes are counted by cause (`connection_counts`), and a worker at its
connection cap says so at most once a minute.

Each response leaves in one write (`HeadWithBody`): uvicorn writes its head
and its body apart, two system calls and two packets on a connection that
disables Nagle's algorithm, and the client is woken for each (under load,
the head's write was a quarter of a worker's time).

Costs: a timer armed and cancelled per request; a comparison per chunk read,
and a copy of a chunk cut at the head cap; a response's head copied once.

This relies on uvicorn's `HttpToolsProtocol` (its parser callbacks, `cycle`,
`pipeline` and `timeout_keep_alive_task`) as of uvicorn 0.30 to 0.55.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import math
import time
import weakref
from typing import Any

import httptools
import uvicorn
from uvicorn.protocols.http.httptools_impl import (
    STATUS_LINE,
    HttpToolsProtocol,
    RequestResponseCycle,
)
from uvicorn.server import ServerState

from .config import Limits
from .errors import BadRequest, Busy, HeadTooLarge, Refused, RequestTimeout

__all__ = ["BoundedConfig", "BoundedProtocol", "connection_counts"]

log = logging.getLogger("tessarin.server")

#: Seconds a refused connection is read (and what it sends dropped) before
#: it is closed.
LINGER = 1.0
#: Seconds between two warnings of a worker at its connection cap.
CAP_WARNING_INTERVAL = 60.0


class BoundedConfig(uvicorn.Config):
    """uvicorn's configuration, served by `BoundedProtocol` under `limits`."""

    def __init__(self, app: Any, *, limits: Limits, **settings: Any) -> None:
        super().__init__(app, http=BoundedProtocol, **settings)
        self.limits = limits


class _Stop(Exception):
    """Raised in a parser callback to stop parsing and refuse the request."""

    def __init__(self, refusal: Refused, cause: str) -> None:
        super().__init__(refusal.message)
        self.refusal = refusal
        self.cause = cause


class Gate:
    """The connections of one server (a worker's `uvicorn.Server`): how many
    are open, which wait for a request (oldest wait first), and counts of
    the connections closed by cause."""

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self.open = 0
        #: Connections waiting for a request, in the order they began to;
        #: connections refused, in their lingering close.
        self.waiting: dict[BoundedProtocol, None] = {}
        self.lingering: dict[BoundedProtocol, None] = {}
        #: Connections closed by the worker, by cause.
        self.closed: collections.Counter[str] = collections.Counter()
        self._warned_at = -math.inf
        self._at_cap: collections.Counter[str] = collections.Counter()

    def admit(self) -> bool:
        """Makes room for one more connection; False if there is none."""
        if self.open >= self.limits.max_connections:
            if self.lingering:
                next(iter(self.lingering)).end_linger()
            elif self.waiting:
                next(iter(self.waiting)).evict()
                self._at_cap["evicted"] += 1
            else:
                self.closed["refused"] += 1
                self._at_cap["refused"] += 1
                self._warn()
                return False
            self._warn()
        self.open += 1
        return True

    def _warn(self) -> None:
        now = time.monotonic()
        if now - self._warned_at < CAP_WARNING_INTERVAL:
            return
        log.warning(
            "at the cap of %d open connections: %d closed that waited longest for a request, "
            "%d new ones refused (every connection serving a request) since the last warning",
            self.limits.max_connections,
            self._at_cap["evicted"],
            self._at_cap["refused"],
        )
        self._warned_at = now
        self._at_cap.clear()


_GATES: weakref.WeakKeyDictionary[ServerState, Gate] = weakref.WeakKeyDictionary()


def connection_counts() -> dict[str, int]:
    """This process's connections: open, waiting for a request, reading one
    (its head begun, not complete), and closed by the worker by cause
    (idle, slow_head, head_too_large, too_many_headers, body_too_large,
    malformed, evicted, refused)."""
    counts: collections.Counter[str] = collections.Counter()
    for gate in list(_GATES.values()):
        counts["open"] += gate.open
        counts["waiting"] += len(gate.waiting)
        counts["reading"] += sum(1 for protocol in gate.waiting if protocol.reading)
        counts.update({f"closed_{cause}": n for cause, n in gate.closed.items()})
    return dict(counts)


#: What uvicorn writes when a client expects "100 Continue", before the head.
CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"


class HeadWithBody:
    """The transport as one request's `RequestResponseCycle` writes to it:
    the response's head (its first write but "100 Continue") is held until
    the next write, its body, and both leave in one; a close sends a head
    still held first."""

    __slots__ = ("_held", "_started", "_transport")

    def __init__(self, transport: asyncio.Transport) -> None:
        self._transport = transport
        self._held = b""
        self._started = False

    def write(self, data: bytes) -> None:
        if not self._started and data != CONTINUE:
            self._started = True
            self._held = data
            return
        if self._held:
            data, self._held = self._held + data, b""
        self._transport.write(data)

    def close(self) -> None:
        if self._held:
            self._transport.write(self._held)
            self._held = b""
        self._transport.close()

    def is_closing(self) -> bool:
        return self._transport.is_closing()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._transport, name)


class BoundedProtocol(HttpToolsProtocol):
    """One connection, within the bounds of its worker's `Gate`."""

    def __init__(
        self,
        config: uvicorn.Config,
        server_state: ServerState,
        app_state: dict[str, Any],
        _loop: asyncio.AbstractEventLoop | None = None,
    ) -> None:
        super().__init__(config, server_state, app_state, _loop)
        gate = _GATES.get(server_state)
        if gate is None:
            limits = config.limits if isinstance(config, BoundedConfig) else Limits()
            gate = _GATES[server_state] = Gate(limits)
        self.gate = gate
        self.limits = gate.limits
        self._admitted = False
        #: The wait for a request's head, or the lingering close.
        self._timer: asyncio.TimerHandle | None = None
        #: When the connection began to wait for a request.
        self._since = 0.0
        #: Whether a request has begun since the last head was complete.
        self._begun = False
        #: Bytes fed to the parser since the last head was complete, and
        #: heads complete on this connection.
        self._fed = 0
        self._heads = 0
        #: Whether the parser is past a head, in its body.
        self._in_body = False
        self._fields = 0
        #: Whether what the client sends is dropped unread.
        self._deaf = False
        #: What to do once the responses due are sent: answer this refusal
        #: (None: nothing) and close.
        self._then_refuse: tuple[Refused | None, str] | None = None

    # The connection.

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        if not self.gate.admit():
            self._deaf = True
            transport.close()
            return
        self._admitted = True
        self._wait()

    def connection_lost(self, exc: Exception | None) -> None:
        self._release()
        super().connection_lost(exc)

    def on_response_complete(self) -> None:
        pipelined = bool(self.pipeline)
        super().on_response_complete()
        if self.transport.is_closing() or pipelined:
            return
        if self._then_refuse is not None:
            self._refuse(*self._then_refuse)
            return
        # The wait below closes an idle connection as uvicorn's timer would.
        if self.timeout_keep_alive_task is not None:
            self.timeout_keep_alive_task.cancel()
            self.timeout_keep_alive_task = None
        self._wait()

    def _wait(self) -> None:
        """Waits for the next request's head."""
        self._since = self.loop.time()
        self.gate.waiting[self] = None
        self._arm(min(self.limits.keep_alive, self.limits.head_timeout))

    def _arm(self, seconds: float) -> None:
        self._timer = self.loop.call_later(seconds, self._waited)

    def _waited(self) -> None:
        self._timer = None
        if not self._begun:
            self._refuse(None, "idle")
            return
        left = self._since + self.limits.head_timeout - self.loop.time()
        if left > 0:
            self._arm(left)
            return
        self._refuse(
            RequestTimeout(
                f"the request head did not arrive within {self.limits.head_timeout:g} seconds"
            ),
            "slow_head",
        )

    def _stop_waiting(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        self.gate.waiting.pop(self, None)

    def _release(self) -> None:
        self._stop_waiting()
        self.gate.lingering.pop(self, None)
        if self._admitted:
            self._admitted = False
            self.gate.open -= 1

    @property
    def reading(self) -> bool:
        """Whether a request's head has begun and is not complete."""
        return self._begun

    def evict(self) -> None:
        """Closes the connection to make room for a new one, at once."""
        refusal = Busy("the server is at its connection limit; try again") if self._begun else None
        self._refuse(refusal, "evicted", linger=False)

    def _refuse(self, refusal: Refused | None, cause: str, linger: bool = True) -> None:
        """Answers `refusal` (None: nothing) to the head being read, after
        the responses due to requests read before it; then closes, after a
        lingering close if `linger`."""
        self._deaf = True
        if self._due():
            self._then_refuse = (None if self._in_body else refusal, cause)
            self.flow.pause_reading()
            return
        self.gate.closed[cause] += 1
        transport = self.transport
        if refusal is None or self._in_body or transport.is_closing():
            self._release()
            transport.close()
            return
        transport.write(self._answer(refusal))
        if not (linger and transport.can_write_eof()):
            self._release()
            transport.close()
            return
        self._stop_waiting()
        transport.write_eof()
        self.gate.lingering[self] = None
        self._timer = self.loop.call_later(LINGER, self.end_linger)

    def _due(self) -> bool:
        """Whether a response to a request read is still due."""
        cycle: RequestResponseCycle | None = self.cycle  # None before the first request
        return bool(self.pipeline) or (cycle is not None and not cycle.response_complete)

    def end_linger(self) -> None:
        """Closes a refused connection."""
        self._release()
        self.transport.close()

    def _answer(self, refusal: Refused) -> bytes:
        body = refusal.body()
        head = [
            STATUS_LINE[refusal.status],
            *(name + b": " + value + b"\r\n" for name, value in self.server_state.default_headers),
            b"content-type: application/json\r\n",
            b"content-length: %d\r\n" % len(body),
            b"x-content-type-options: nosniff\r\n",
            *(
                f"{name}: {value}\r\n".encode("latin-1")
                for name, value in (refusal.headers or {}).items()
            ),
            b"connection: close\r\n\r\n",
        ]
        return b"".join(head) + body

    # Reading.

    def data_received(self, data: bytes) -> None:
        cap = self.limits.max_header_bytes
        while data and not self._deaf:
            room = cap - self._fed
            if room <= 0:
                if self._in_body:
                    self._refuse(None, "body_too_large")
                else:
                    self._refuse(
                        HeadTooLarge(f"the request head is larger than {cap} bytes"),
                        "head_too_large",
                    )
                return
            piece, data = (data, b"") if len(data) <= room else (data[:room], data[room:])
            heads = self._heads
            try:
                self.parser.feed_data(piece)
            except httptools.HttpParserUpgrade:
                self._no_upgrade()
                return
            except httptools.HttpParserError as error:
                stop = error.__context__
                if isinstance(stop, _Stop):
                    self._refuse(stop.refusal, stop.cause)
                else:
                    self._refuse(BadRequest(f"invalid HTTP request: {error}"), "malformed")
                return
            if self._heads == heads:
                self._fed += len(piece)

    def _no_upgrade(self) -> None:
        """The parser stopped after a head asking for another protocol: its
        request is served as a plain one, then the connection closed."""
        self._deaf = True
        cycle: RequestResponseCycle | None = self.cycle
        if cycle is not None and not cycle.response_complete:
            cycle.keep_alive = False
            cycle.more_body = False
            cycle.message_event.set()
        else:
            self.transport.close()

    # Parser callbacks.

    def on_message_begin(self) -> None:
        super().on_message_begin()
        self._begun = True
        self._fields = 0

    def on_header(self, name: bytes, value: bytes) -> None:
        self._fields += 1
        if self._fields > self.limits.max_headers:
            raise _Stop(
                HeadTooLarge(
                    f"the request head has more than {self.limits.max_headers} header fields"
                ),
                "too_many_headers",
            )
        super().on_header(name, value)

    def on_headers_complete(self) -> None:
        self._stop_waiting()
        self._begun = False
        self._in_body = True
        self._fed = 0
        self._heads += 1
        before = self.cycle
        super().on_headers_complete()
        # A new request (not one asking to upgrade); the answer to HEAD has
        # no body to wait for.
        if self.cycle is not before and self.scope["method"] != "HEAD":
            self.cycle.transport = HeadWithBody(self.transport)  # type: ignore[assignment]

    def on_message_complete(self) -> None:
        self._in_body = False
        super().on_message_complete()
