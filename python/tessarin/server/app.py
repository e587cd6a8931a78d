"""The web application: the JSON API, the search page, the access log.

Endpoints (described for machines at /openapi.json):

* ``GET /search?q=&max_dist=&limit=&prefix=&min_score=&transpositions=
  &offset=&filter=&explain=`` ranks the videos for what was typed (a page
  of them, filtered on the catalogue's columns: `tessarin.server.catalog`),
  each with its catalogue row, and says which indexed terms took part,
  where they differ from the typed text, and how long the index took;
* ``GET /suggest?q=&max_dist=&limit=&transpositions=`` lists the indexed
  terms within ``max_dist`` edits, closest first, then the most searched;
* ``GET /complete?q=&max_dist=&limit=&exact_prefix=&transpositions=`` lists
  the terms that complete what is being typed (`tessarin.server.lines`),
  closest first, then the most searched;
* ``GET /info`` describes the index being served, the bounds on requests
  and this worker process (its connections: open, waiting for a request,
  closed by cause); ``GET /health`` answers as cheaply as it can;
* ``GET /`` is the search page (``static/``).

Queries run on a pool of threads (`ServeConfig.threads`), never on the event
loop: the index releases the interpreter lock while it walks, so the threads
use every core while the loop goes on accepting requests. A worker holding
`Limits.max_pending` queries answers 503 to more rather than queue without
end, and the bounds on a request keep each query short.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import time
from collections.abc import AsyncIterator, Callable, Mapping
from pathlib import Path
from typing import Any, NamedTuple, TypeVar

import anyio.to_thread
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.types import Message, Receive, Scope, Send

from .._version import __version__
from ..index import Index
from . import hangups
from .align import segments
from .api import Api
from .catalog import CatalogHolder, check_filters, video_json
from .config import CONFIG_ENV, ServeConfig
from .errors import Busy, Refused
from .holder import IndexHolder
from .lines import complete_line
from .openapi import document
from .params import read_params
from .protocol import connection_counts

__all__ = ["app_from_env", "create_app"]

log = logging.getLogger("tessarin.server")
access_log = logging.getLogger("tessarin.access")

STATIC = Path(__file__).resolve().parent / "static"
#: Matched terms listed with a search (the best few of possibly thousands).
MATCHED_SHOWN = 5
SECURITY_HEADERS = [
    # With the Content-Security-Policy of the catalogue (`CatalogHolder`):
    # the page asks nothing of any other host but the thumbnails' hosts,
    # and nothing may frame it.
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
]

T = TypeVar("T")


class Service:
    """What the endpoints share: the index holder, the bounds and the
    threads that run queries."""

    def __init__(self, config: ServeConfig, holder: IndexHolder) -> None:
        self.config = config
        self.limits = config.limits
        self.holder = holder
        self.pending = 0
        # The limiter belongs to one event loop: made on the first query of
        # each (tests run several loops; uvicorn runs one).
        self._limiter: tuple[asyncio.AbstractEventLoop, anyio.CapacityLimiter] | None = None

    def _threads(self) -> anyio.CapacityLimiter:
        loop = asyncio.get_running_loop()
        if self._limiter is None or self._limiter[0] is not loop:
            self._limiter = (loop, anyio.CapacityLimiter(self.config.threads))
        return self._limiter[1]

    async def run(self, work: Callable[[], T]) -> T:
        if self.pending >= self.limits.max_pending:
            raise Busy("the server is busy: too many queries are waiting; try again")
        limiter = self._threads()
        self.pending += 1
        try:
            return await anyio.to_thread.run_sync(work, limiter=limiter)
        finally:
            self.pending -= 1


class Matched(NamedTuple):
    """An indexed term (or, not `complete`, a prefix) whose videos a
    search pooled."""

    term: str
    distance: int
    #: Searches of the term; for a prefix, of all the terms it begins.
    #: (Shadows tuple.count, as in tessarin.Suggestion.)
    count: int  # type: ignore[assignment]
    complete: bool


def matched_terms(
    index: Index, query: str, max_dist: int, prefix: bool | None, transpositions: bool = False
) -> list[Matched]:
    """The best few of the nodes that `Index.search` pools for these
    arguments, nearest first, then the most searched (the index's
    `pooled_nodes`: which nodes count is the ranking's rule, not ours)."""
    return [
        Matched(p.term, p.distance, p.count, p.is_terminal)
        for p in index.pooled_nodes(
            query, max_dist, MATCHED_SHOWN, prefix=prefix, transpositions=transpositions
        )
    ]


def _milliseconds(seconds: float) -> float:
    return round(seconds * 1000, 3)


def create_app(
    config: ServeConfig | None = None,
    holder: IndexHolder | None = None,
    catalogs: CatalogHolder | None = None,
) -> AccessLog:
    """The application serving `config.index` and `config.catalog` (loaded
    now, unless holders are given)."""
    config = config or ServeConfig()
    holder = holder or IndexHolder(config.index)
    catalogs = catalogs or CatalogHolder(config.catalog, config.image_hosts)
    service = Service(config, holder)
    limits = config.limits
    api = Api(limits)
    openapi = document(api, __version__)

    async def search(request: Request) -> Response:
        params = read_params(request.scope["query_string"], api.search)
        query = params[api.query]
        max_dist = params[api.max_dist]
        limit = params[api.search_limit]
        prefix = params[api.prefix]
        min_score = params[api.min_score]
        swaps = params[api.transpositions]
        offset = params[api.offset]
        filters = params[api.filter]
        explain = params[api.explain]
        index = holder.index
        catalog = catalogs.catalog
        check_filters(catalog, filters)

        def work() -> tuple[list[dict[str, Any]], list[dict[str, Any]], float]:
            started = time.perf_counter()
            videos = index.search(
                query,
                max_dist,
                limit,
                prefix=prefix,
                min_score=min_score,
                transpositions=swaps,
                offset=offset,
                filter=filters,
                catalog=catalog,
                explain=explain,
            )
            matched = matched_terms(index, query, max_dist, prefix, swaps)
            took = time.perf_counter() - started
            return (
                [video_json(v, catalog) for v in videos],
                [
                    {
                        **m._asdict(),
                        "segments": [s.to_json() for s in segments(query, m.term, m.distance)],
                    }
                    for m in matched
                ],
                took,
            )

        videos, matched, took = await service.run(work)
        return JSONResponse(
            {
                "query": query,
                "max_dist": max_dist,
                "limit": limit,
                "offset": offset,
                "filter": [{"column": f.column, "values": sorted(f.values)} for f in filters],
                "prefix": api.prefix.name_of(prefix),
                "transpositions": swaps,
                "videos": videos,
                "matched": matched,
                "took_ms": _milliseconds(took),
            }
        )

    async def suggest(request: Request) -> Response:
        params = read_params(request.scope["query_string"], api.suggest)
        query = params[api.query]
        max_dist = params[api.max_dist]
        limit = params[api.suggest_limit]
        swaps = params[api.transpositions]
        index = holder.index

        def work() -> tuple[list[dict[str, Any]], float]:
            started = time.perf_counter()
            found = index.suggest(query, max_dist, limit, transpositions=swaps)
            took = time.perf_counter() - started
            return [
                {
                    "term": s.term,
                    "distance": s.distance,
                    "count": s.count,
                    "segments": [g.to_json() for g in segments(query, s.term, s.distance)],
                }
                for s in found
            ], took

        found, took = await service.run(work)
        return JSONResponse(
            {
                "query": query,
                "max_dist": max_dist,
                "limit": limit,
                "transpositions": swaps,
                "suggestions": found,
                "took_ms": _milliseconds(took),
            }
        )

    async def complete(request: Request) -> Response:
        params = read_params(request.scope["query_string"], api.complete)
        query = params[api.query]
        max_dist = params[api.complete_max_dist]
        limit = params[api.complete_limit]
        exact_prefix = params[api.exact_prefix]
        swaps = params[api.transpositions]
        index = holder.index

        def work() -> tuple[str, list[dict[str, Any]], float]:
            started = time.perf_counter()
            completing, lines = complete_line(
                index,
                query,
                max_dist,
                limit,
                exact_prefix=exact_prefix,
                transpositions=swaps,
                cap=limits.max_dist,
            )
            took = time.perf_counter() - started
            return (
                completing,
                [
                    {
                        "text": line.text,
                        "term": line.term,
                        "distance": line.distance,
                        "count": line.count,
                        "segments": [g.to_json() for g in line.segments],
                    }
                    for line in lines
                ],
                took,
            )

        completing, found, took = await service.run(work)
        return JSONResponse(
            {
                "query": query,
                "max_dist": max_dist,
                "limit": limit,
                "exact_prefix": exact_prefix,
                "transpositions": swaps,
                "completing": completing,
                "completions": found,
                "took_ms": _milliseconds(took),
            }
        )

    async def info(request: Request) -> Response:
        read_params(request.scope["query_string"], api.none)
        index = holder.index
        meta = index.metadata
        return JSONResponse(
            {
                "index": {
                    "source": holder.source,
                    "terms": index.term_count,
                    "nodes": index.node_count,
                    "videos": index.video_count,
                    "id_mode": index.id_mode,
                    "video_top_n": index.video_top_n,
                    "built_by": meta.builder or None,
                    "created": meta.created or None,
                    "memory_bytes": index.memory_bytes,
                    "generation": holder.generation,
                    "loaded_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(holder.loaded_at)),
                },
                "catalog": None
                if catalogs.catalog is None
                else {
                    "videos": len(catalogs.catalog),
                    "columns": catalogs.catalog.columns,
                    "generation": catalogs.generation,
                },
                "limits": {
                    "max_query": limits.max_query,
                    "max_dist": limits.max_dist,
                    "max_limit": limits.max_limit,
                    "search_limit": limits.search_limit,
                    "suggest_limit": limits.suggest_limit,
                },
                "worker": {
                    "pid": os.getpid(),
                    "threads": config.threads,
                    "pending": service.pending,
                    "rss_bytes": _rss_bytes(),
                    "connections": connection_counts(),
                },
                "version": __version__,
            }
        )

    async def health(request: Request) -> Response:
        return JSONResponse(
            {"status": "ok", "terms": holder.index.term_count, "generation": holder.generation}
        )

    async def openapi_json(request: Request) -> Response:
        return JSONResponse(openapi)

    async def page(request: Request) -> Response:
        return FileResponse(STATIC / "index.html", media_type="text/html; charset=utf-8")

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        tasks: set[asyncio.Task[Any]] = set()
        if holder.path is not None and config.reload_interval > 0:
            tasks.add(asyncio.create_task(holder.watch(config.reload_interval)))
        if catalogs.path is not None and config.reload_interval > 0:
            tasks.add(asyncio.create_task(catalogs.watch(config.reload_interval)))
        hangups.catch()  # if no one did (another server running this app)
        hangup = asyncio.Event()
        loop = asyncio.get_running_loop()

        def heard() -> None:
            loop.call_soon_threadsafe(hangup.set)

        unlisten = hangups.listen(heard)
        tasks.add(
            asyncio.create_task(_reload_on_hangup(holder, catalogs, hangup, hangups.count() > 0))
        )
        index = holder.index
        log.info(
            "worker %d serving %s: %s terms, %s videos, %.1f MB in memory",
            os.getpid(),
            holder.source,
            f"{index.term_count:,}",
            f"{index.video_count:,}",
            index.memory_bytes / 1e6,
        )
        try:
            yield
        finally:
            unlisten()
            for task in tasks:
                task.cancel()

    routes = [
        Route("/", page),
        Route("/search", search),
        Route("/suggest", suggest),
        Route("/complete", complete),
        Route("/info", info),
        Route("/health", health),
        Route("/openapi.json", openapi_json),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    app = Starlette(
        routes=routes,
        lifespan=lifespan,
        exception_handlers={
            Refused: _refused,
            HTTPException: _http_error,
            Exception: _server_error,
        },
    )
    # Starlette redirects "/static" to "/static/", and "/search/" to
    # "/search", by an absolute URL built from the request's Host header;
    # nothing here needs those redirects, and no answer repeats a header.
    app.router.redirect_slashes = False
    app.state.service = service
    app.state.holder = holder
    app.state.catalogs = catalogs
    return AccessLog(app)


def app_from_env() -> AccessLog:
    """The application of a worker process, configured by `CONFIG_ENV`
    (what `tessarin serve` hands its workers). SIGHUP is caught before the
    index loads; one that arrives meanwhile is answered once it runs."""
    hangups.catch()
    text = os.environ.get(CONFIG_ENV)
    return create_app(ServeConfig.from_json(text) if text else ServeConfig())


async def _reload_on_hangup(
    holder: IndexHolder, catalogs: CatalogHolder, hangup: asyncio.Event, early: bool
) -> None:
    """Reloads the index and the catalogue on each SIGHUP; those that come
    during a reload make one more. A SIGHUP `early`, before the application
    ran, reloads only a file changed since it was loaded."""
    if early:
        await holder.reload("SIGHUP during the start", force=False)
        await catalogs.reload("SIGHUP during the start", force=False)
    while True:
        await hangup.wait()
        hangup.clear()
        try:
            await holder.reload("SIGHUP")
        except Exception:  # the next SIGHUP must still be answered
            log.exception("%s: reloading on SIGHUP failed", holder.source)
        try:
            await catalogs.reload("SIGHUP")
        except Exception:
            log.exception("%s: reloading the catalogue on SIGHUP failed", catalogs.path)


def _rss_bytes() -> int | None:
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


def _error(status: int, message: str, headers: Mapping[str, str] | None = None) -> JSONResponse:
    return JSONResponse({"error": message, "status": status}, status, headers=headers)


async def _refused(request: Request, error: Exception) -> Response:
    assert isinstance(error, Refused)
    return _error(error.status, error.message, error.headers)


async def _http_error(request: Request, error: Exception) -> Response:
    assert isinstance(error, HTTPException)
    if error.status_code in (204, 304):
        return Response(status_code=error.status_code, headers=error.headers)
    return _error(error.status_code, str(error.detail).lower(), error.headers)


async def _server_error(request: Request, error: Exception) -> Response:
    log.error(
        "%s %s failed: %s: %s",
        request.method,
        request.url.path,
        type(error).__name__,
        error,
        exc_info=error,
    )
    return _error(500, "internal error; the server's log says why")


class AccessLog:
    """Logs every request with its status and latency, and adds the
    security headers. Outermost, so its latency is the application's."""

    def __init__(self, app: Starlette) -> None:
        self.app = app
        self.state = app.state

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 500  # if the application fails before answering

        async def send_with_headers(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
                message["headers"] = [
                    *message.get("headers", []),
                    (b"content-security-policy", self.state.catalogs.policy),
                    *SECURITY_HEADERS,
                ]
            await send(message)

        try:
            await self.app(scope, receive, send_with_headers)
        finally:
            if access_log.isEnabledFor(logging.INFO):
                _log_access(scope, status, time.perf_counter() - started)


def _log_access(scope: Scope, status: int, seconds: float) -> None:
    target = scope.get("raw_path") or scope["path"].encode()
    if scope.get("query_string"):
        target += b"?" + scope["query_string"]
    shown = target[:200].decode("ascii", "backslashreplace") + ("..." if len(target) > 200 else "")
    client = scope.get("client")
    access_log.info(
        '%s "%s %s" %d %.2f ms',
        f"{client[0]}:{client[1]}" if client else "-",
        scope["method"],
        shown,
        status,
        seconds * 1000,
    )
