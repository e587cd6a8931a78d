"""The server's metrics, served at /metrics in Prometheus's text format.

With several workers, each worker process writes its figures to files in
the folder that `PROMETHEUS_MULTIPROC_DIR` names (prometheus_client's
multiprocess mode; `tessarin serve` makes the folder, hands it to the
workers and removes it when it stops), and whichever worker answers
/metrics adds up every worker's files. Without that variable (an
application made by `create_app` in a process of its own), the figures are
this process's. The variable must be set before prometheus_client is first
imported: `tessarin serve` sets it before any worker starts.

What is measured (every name begins with ``tessarin_``):

* ``requests_total{endpoint,status}`` and the latency histogram
  ``request_duration_seconds{endpoint}``, from the moment the application
  receives a request until its answer is sent; `endpoint` is the route
  (``/static`` for the page's files, ``other`` for any path not served);
* ``refused_total{cause}``: queries refused by the application
  (``bad_request``, ``out_of_bounds``, ``query_string_too_long``, ``busy``);
  ``connections_closed_total{cause}``: connections the worker's HTTP
  protocol closed (idle, slow_head, head_too_large, malformed, evicted,
  refused at the cap, ...), brought up to date when the worker answers a
  request (at most once a second, and on every /metrics);
* ``queries_pending``: queries running or waiting for a thread, summed over
  the workers (each worker's figure as of the last request it answered);
* ``index_generation``, ``index_terms``, ``index_videos``,
  ``index_memory_bytes``: the index each live worker serves (the most
  recent figure of any worker);
* ``index_load_seconds{kind}`` (kind: ``start`` or ``reload``; loading,
  checking and warming) and ``index_load_failures_total``.
"""

from __future__ import annotations

import contextlib
import math
import os
import time
from collections.abc import Callable
from typing import Any

from prometheus_client import (
    CONTENT_TYPE_LATEST,
    CollectorRegistry,
    Counter,
    Gauge,
    Histogram,
    generate_latest,
    multiprocess,
)
from starlette.requests import Request
from starlette.responses import Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from ..index import Index
from .errors import Refused
from .protocol import connection_counts

__all__ = [
    "MULTIPROC_ENV",
    "RequestMetrics",
    "index_served",
    "metrics_endpoint",
    "refused",
    "timed_loads",
    "worker_exit",
]

MULTIPROC_ENV = "PROMETHEUS_MULTIPROC_DIR"

#: In seconds: a query takes well under a millisecond to a few; a page's
#: file or a refusal, less.
LATENCY_BUCKETS = (0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5)
LOAD_BUCKETS = (0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120)

#: The endpoints named in the figures; any other path counts as "other",
#: so that a client cannot make a label per path it sends.
ENDPOINTS = frozenset(
    [
        "/",
        "/search",
        "/suggest",
        "/complete",
        "/info",
        "/health",
        "/ready",
        "/metrics",
        "/openapi.json",
    ]
)

REQUESTS = Counter(
    "tessarin_requests", "Requests answered, by endpoint and status", ["endpoint", "status"]
)
LATENCY = Histogram(
    "tessarin_request_duration_seconds",
    "Seconds from a request's arrival in the application to its answer, by endpoint",
    ["endpoint"],
    buckets=LATENCY_BUCKETS,
)
REFUSED = Counter("tessarin_refused", "Queries refused by the application, by cause", ["cause"])
CLOSED = Counter(
    "tessarin_connections_closed",
    "Connections closed by a worker's HTTP protocol, by cause",
    ["cause"],
)
PENDING = Gauge(
    "tessarin_queries_pending",
    "Queries running or waiting for a thread",
    multiprocess_mode="livesum",
)
GENERATION = Gauge(
    "tessarin_index_generation",
    "Indexes a worker has loaded since it started",
    multiprocess_mode="livemostrecent",
)
TERMS = Gauge(
    "tessarin_index_terms", "Terms of the index served", multiprocess_mode="livemostrecent"
)
VIDEOS = Gauge(
    "tessarin_index_videos", "Videos of the index served", multiprocess_mode="livemostrecent"
)
MEMORY = Gauge(
    "tessarin_index_memory_bytes",
    "Bytes of memory the index served takes, with what was derived for the search",
    multiprocess_mode="livemostrecent",
)
LOADS = Histogram(
    "tessarin_index_load_seconds",
    "Seconds to load, check and warm an index, at the start or on a reload",
    ["kind"],
    buckets=LOAD_BUCKETS,
)
LOAD_FAILURES = Counter("tessarin_index_load_failures", "Index files that failed to load")


#: This process's connections closed by cause, as counted so far.
_closed_seen: dict[str, int] = {}


def _registry() -> CollectorRegistry:
    from prometheus_client import REGISTRY

    if not os.environ.get(MULTIPROC_ENV):
        return REGISTRY
    registry = CollectorRegistry()
    multiprocess.MultiProcessCollector(registry)  # type: ignore[no-untyped-call]
    return registry


def _cause(name: str) -> str:
    """BadRequest -> bad_request."""
    return "".join(f"_{c.lower()}" if c.isupper() else c for c in name).lstrip("_")


def refused(error: Refused) -> None:
    REFUSED.labels(_cause(type(error).__name__)).inc()


def index_served(index: Index, generation: int) -> None:
    GENERATION.set(generation)
    TERMS.set(index.term_count)
    VIDEOS.set(index.video_count)
    MEMORY.set(index.memory_bytes)


def timed_loads(load: Callable[[str], Index]) -> Callable[[str], Index]:
    """`load`, with its duration and failures counted (the first load is
    the start's, the others reloads)."""
    loads = 0

    def timed(path: str) -> Index:
        nonlocal loads
        started = time.perf_counter()
        try:
            index = load(path)
        except BaseException:
            LOAD_FAILURES.inc()
            raise
        LOADS.labels("reload" if loads else "start").observe(time.perf_counter() - started)
        loads += 1
        index_served(index, loads)
        return index

    return timed


async def metrics_endpoint(request: Request) -> Response:
    return Response(generate_latest(_registry()), media_type=CONTENT_TYPE_LATEST)


def worker_exit() -> None:
    """Drops this process's live figures (its gauges) from the sums."""
    if os.environ.get(MULTIPROC_ENV):
        with contextlib.suppress(OSError):
            multiprocess.mark_process_dead(os.getpid())  # type: ignore[no-untyped-call]


class RequestMetrics:
    """Counts every request by endpoint and status, with its latency, and
    brings the per-process figures up to date at its end (queries pending;
    connections closed, at most once a second). About 10 us a request: the
    labelled figures are looked up once per endpoint and status."""

    def __init__(self, app: ASGIApp, pending: Callable[[], int]) -> None:
        self.app = app
        self.pending = pending
        self._latency: dict[str, Any] = {}
        self._requests: dict[tuple[str, int], Any] = {}
        self._synced = -math.inf

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        endpoint = endpoint_of(scope["path"])
        status = 500  # if the application fails before answering

        async def sending(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        started = time.perf_counter()
        try:
            await self.app(scope, receive, sending)
        finally:
            self.count(endpoint, status, started)

    def count(self, endpoint: str, status: int, started: float) -> None:
        """Counts a request to `endpoint` (`endpoint_of`) answered `status`,
        received at `started` (`time.perf_counter`)."""
        now = time.perf_counter()
        latency = self._latency.get(endpoint)
        if latency is None:
            latency = self._latency[endpoint] = LATENCY.labels(endpoint)
        latency.observe(now - started)
        requests = self._requests.get((endpoint, status))
        if requests is None:
            requests = self._requests[endpoint, status] = REQUESTS.labels(endpoint, str(status))
        requests.inc()
        PENDING.set(self.pending())
        if now - self._synced >= 1 or endpoint == "/metrics":
            self._synced = now
            _sync_closed()


def endpoint_of(path: str) -> str:
    """The endpoint a request's path counts under."""
    return path if path in ENDPOINTS else "/static" if path.startswith("/static/") else "other"


def _sync_closed() -> None:
    counts: dict[str, Any] = connection_counts()
    for key, total in counts.items():
        if key.startswith("closed_"):
            cause = key[len("closed_") :]
            seen = _closed_seen.get(cause, 0)
            if total > seen:
                CLOSED.labels(cause).inc(total - seen)
                _closed_seen[cause] = total
