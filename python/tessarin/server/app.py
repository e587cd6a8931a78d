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
* ``GET /info`` describes the index being served and the bounds on
  requests; with `ServeConfig.admin` (``--admin``), also the index file's
  path and memory, and this worker process (its id, memory, connections:
  open, waiting for a request, closed by cause), which a public endpoint
  does not give away; ``GET /health`` answers as cheaply as it can, while the
  worker is alive; ``GET /ready`` answers 200 once the worker serves an
  index loaded and warm (`tessarin.server.warm`), 503 before and while it
  shuts down; ``GET /metrics`` gives the server's metrics, every worker's
  (`tessarin.server.metrics`);
* ``GET /`` is the search page (``static/``).

A query known to be cheap (`Service.inline`: at most
`ServeConfig.inline_max_dist` edits, on an index that has answered that kind
of query before) runs on the event loop: it takes less than handing it to a
thread and back would. The others run on a pool of threads
(`ServeConfig.threads`): the index releases the interpreter lock while it
walks, so the threads use every core while the loop goes on accepting
requests. A worker holding `Limits.max_pending` queries answers 503 to more
rather than queue without end, and the bounds on a request keep each query
short. Answers are encoded by orjson (`Json`).
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import os
import time
import weakref
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping
from pathlib import Path
from typing import Any, NamedTuple, TypeVar

import anyio.to_thread
import orjson
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.types import Message, Receive, Scope, Send

from .. import defaults
from .._version import __version__
from ..index import Index
from . import hangups
from .align import marks
from .api import Api
from .catalog import CatalogHolder, check_filters, video_json
from .config import CONFIG_ENV, ServeConfig
from .errors import Busy, Refused
from .holder import IndexHolder
from .lines import complete_line
from .metrics import RequestMetrics, index_served, metrics_endpoint, refused, worker_exit
from .openapi import document
from .params import read_params
from .protocol import connection_counts
from .typed import typed_text
from .warm import is_warm, warm

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


class Json(Response):
    """A JSON answer, compact and in UTF-8 (as Starlette's `JSONResponse`),
    encoded by orjson: several times faster than the standard library's."""

    media_type = "application/json"

    def render(self, content: Any) -> bytes:
        return _encode(content)


def _encode(content: Any) -> bytes:
    try:
        return orjson.dumps(content)
    except orjson.JSONEncodeError:  # an integer beyond 64 bits (a catalogue's)
        return json.dumps(content, ensure_ascii=False, separators=(",", ":")).encode()


class Service:
    """What the endpoints share: the index holder, the bounds and the
    threads that run queries."""

    def __init__(self, config: ServeConfig, holder: IndexHolder) -> None:
        self.config = config
        self.limits = config.limits
        self.holder = holder
        self.pending = 0
        #: Whether the worker takes queries: from the end of its start (the
        #: index warm) to the start of its shutdown.
        self.started = False
        #: Of each endpoint, the last index that answered it on a thread.
        self._warm: dict[str, weakref.ref[Any]] = {}
        # The limiter belongs to one event loop: made on the first query of
        # each (tests run several loops; uvicorn runs one).
        self._limiter: tuple[asyncio.AbstractEventLoop, anyio.CapacityLimiter] | None = None

    def _threads(self) -> anyio.CapacityLimiter:
        loop = asyncio.get_running_loop()
        if self._limiter is None or self._limiter[0] is not loop:
            self._limiter = (loop, anyio.CapacityLimiter(self.config.threads))
        return self._limiter[1]

    def inline(
        self, endpoint: str, index: Index, query: str, max_dist: int | str, plain: bool
    ) -> bool:
        """Whether a query is cheap enough to run on the event loop: `plain`
        (no filter, which pools more candidates, nor explanation), within
        `inline_max_dist` edits (at most 1 by default, where a query on a
        million terms takes well under a tenth of a millisecond, while
        further ones can take milliseconds), the other bounds on a request
        (its length, its limit) holding, and on an index that has answered
        the endpoint before (the first query of an index derives what
        queries need: up to a second on a large one)."""
        edits = defaults.auto_max_dist(query) if max_dist == defaults.AUTO else max_dist
        assert isinstance(edits, int)
        warm = self._warm.get(endpoint)
        return (
            plain and edits <= self.config.inline_max_dist and warm is not None and warm() is index
        )

    async def run(
        self,
        endpoint: str,
        index: Index,
        query: str,
        max_dist: int | str,
        work: Callable[[], T],
        plain: bool = True,
    ) -> T:
        """`work`, a query of `endpoint` to `index`: inline if cheap, else
        on a thread (503 when `Limits.max_pending` queries wait already)."""
        if self.inline(endpoint, index, query, max_dist, plain):
            return work()
        if self.pending >= self.limits.max_pending:
            raise Busy("the server is busy: too many queries are waiting; try again")
        limiter = self._threads()
        self.pending += 1
        try:
            done = await anyio.to_thread.run_sync(work, limiter=limiter)
        finally:
            self.pending -= 1
        self._warm[endpoint] = weakref.ref(index)
        return done


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

    async def search(scope: Scope) -> dict[str, Any]:
        params = read_params(scope["query_string"], api.search)
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
            if filters or explain:
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
                matched: list[tuple[str, int, int, bool]] = list(
                    matched_terms(index, query, max_dist, prefix, swaps)
                )
            else:  # the videos and the matched terms from one walk
                found, pooled = index.search_pooled(
                    query,
                    max_dist,
                    offset + limit,
                    prefix=prefix,
                    min_score=min_score,
                    transpositions=swaps,
                    pooled_limit=MATCHED_SHOWN,
                )
                videos = found[offset:]
                matched = [(p.term, p.distance, p.count, p.is_terminal) for p in pooled]
            took = time.perf_counter() - started
            typed = typed_text(query, index.metadata.normalization)
            return (
                [video_json(v, catalog) for v in videos],
                [
                    {
                        "term": term,
                        "distance": distance,
                        "count": count,
                        "complete": complete,
                        "segments": marks(typed, term, distance),
                    }
                    for term, distance, count, complete in matched
                ],
                took,
            )

        videos, matched, took = await service.run(
            "search", index, query, max_dist, work, plain=not filters and not explain
        )
        return {
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

    async def suggest(scope: Scope) -> dict[str, Any]:
        params = read_params(scope["query_string"], api.suggest)
        query = params[api.query]
        max_dist = params[api.max_dist]
        limit = params[api.suggest_limit]
        swaps = params[api.transpositions]
        index = holder.index

        def work() -> tuple[list[dict[str, Any]], float]:
            started = time.perf_counter()
            found = index.suggest(query, max_dist, limit, transpositions=swaps)
            took = time.perf_counter() - started
            typed = typed_text(query, index.metadata.normalization)
            return [
                {
                    "term": s.term,
                    "distance": s.distance,
                    "count": s.count,
                    "segments": marks(typed, s.term, s.distance),
                }
                for s in found
            ], took

        found, took = await service.run("suggest", index, query, max_dist, work)
        return {
            "query": query,
            "max_dist": max_dist,
            "limit": limit,
            "transpositions": swaps,
            "suggestions": found,
            "took_ms": _milliseconds(took),
        }

    async def complete(scope: Scope) -> dict[str, Any]:
        params = read_params(scope["query_string"], api.complete)
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

        completing, found, took = await service.run("complete", index, query, max_dist, work)
        return {
            "query": query,
            "max_dist": max_dist,
            "limit": limit,
            "exact_prefix": exact_prefix,
            "transpositions": swaps,
            "completing": completing,
            "completions": found,
            "took_ms": _milliseconds(took),
        }

    async def info(request: Request) -> Response:
        read_params(request.scope["query_string"], api.none)
        index = holder.index
        meta = index.metadata
        about: dict[str, Any] = {
            "index": {
                "source": "sample" if holder.path is None else "file",
                "terms": index.term_count,
                "nodes": index.node_count,
                "videos": index.video_count,
                "id_mode": index.id_mode,
                "video_top_n": index.video_top_n,
                "built_by": meta.builder or None,
                "created": meta.created or None,
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
            "version": __version__,
        }
        if config.admin:  # what only an operator should see
            about["index"] |= {"path": holder.path, "memory_bytes": index.memory_bytes}
            about["worker"] = {
                "pid": os.getpid(),
                "threads": config.threads,
                "pending": service.pending,
                "rss_bytes": _rss_bytes(),
                "connections": connection_counts(),
            }
        return Json(about)

    async def health(request: Request) -> Response:
        return Json(
            {"status": "ok", "terms": holder.index.term_count, "generation": holder.generation}
        )

    async def ready(request: Request) -> Response:
        if not (service.started and is_warm(holder.index)):
            return _error(
                503, "not ready: the index is loading or warming up", {"retry-after": "1"}
            )
        return Json({"status": "ready", "generation": holder.generation})

    async def openapi_json(request: Request) -> Response:
        return Json(openapi)

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
        await anyio.to_thread.run_sync(warm, index)  # if no loader did (the sample)
        index_served(index, holder.generation)
        log.info(
            "worker %d serving %s: %s terms, %s videos, %.1f MB in memory",
            os.getpid(),
            holder.source,
            f"{index.term_count:,}",
            f"{index.video_count:,}",
            index.memory_bytes / 1e6,
        )
        service.started = True
        try:
            yield
        finally:
            service.started = False
            worker_exit()
            unlisten()
            for task in tasks:
                task.cancel()

    # The query endpoints are answered by `AccessLog` itself, ahead of the
    # Starlette application, for a GET (the routes below answer HEAD, and
    # any other method with 405).
    answers = {"/search": search, "/suggest": suggest, "/complete": complete}
    routes = [
        Route("/", page),
        *(Route(path, _json_endpoint(answer)) for path, answer in answers.items()),
        Route("/info", info),
        Route("/health", health),
        Route("/ready", ready),
        Route("/metrics", metrics_endpoint),
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
    app.add_middleware(RequestMetrics, pending=lambda: service.pending)
    app.state.service = service
    app.state.holder = holder
    app.state.catalogs = catalogs
    return AccessLog(app, answers, RequestMetrics(app, pending=lambda: service.pending))


#: An endpoint's answer to a request (its scope): the content of a 200 JSON
#: answer, or a `Refused` raised.
Answer = Callable[[Scope], Awaitable[Any]]


def _json_endpoint(answer: Answer) -> Callable[[Request], Awaitable[Response]]:
    async def endpoint(request: Request) -> Response:
        return Json(await answer(request.scope))

    return endpoint


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


def _error(status: int, message: str, headers: Mapping[str, str] | None = None) -> Json:
    return Json({"error": message, "status": status}, status, headers=headers)


async def _refused(request: Request, error: Exception) -> Response:
    assert isinstance(error, Refused)
    refused(error)
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
    security headers. Outermost, so its latency is the application's.

    A GET of a query endpoint (`answers`: path to `Answer`) is answered
    here, ahead of Starlette's middleware and router, with the same answer,
    headers and figures (`metrics`) they would give, at a fraction of their
    cost per request: the endpoint's content encoded, a refusal answered as
    `_refused` does, any other failure as `_server_error` does, then raised
    (as Starlette raises it for the server to log)."""

    def __init__(
        self,
        app: Starlette,
        answers: Mapping[str, Answer] | None = None,
        metrics: RequestMetrics | None = None,
    ) -> None:
        self.app = app
        self.state = app.state
        self.answers = dict(answers or {}) if metrics is not None else {}
        self.metrics = metrics

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 500  # if the application fails before answering
        answer = self.answers.get(scope["path"])
        if answer is not None and scope["method"] == "GET" and not scope.get("root_path"):
            try:
                status = await self._answer(answer, scope, send, started)
            finally:
                if access_log.isEnabledFor(logging.INFO):
                    _log_access(scope, status, time.perf_counter() - started)
            return

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

    async def _answer(self, answer: Answer, scope: Scope, send: Send, started: float) -> int:
        """Answers a request by `answer`; returns the status sent."""
        assert self.metrics is not None
        status = 500
        body: bytes | memoryview
        try:
            try:
                body = _encode(await answer(scope))
            except Refused as error:
                response = await _refused(Request(scope), error)
                status, headers, body = response.status_code, response.raw_headers, response.body
            except Exception as error:
                response = await _server_error(Request(scope), error)
                await self._send(send, status, response.raw_headers, response.body)
                raise
            else:
                status = 200
                headers = [
                    (b"content-length", b"%d" % len(body)),
                    (b"content-type", b"application/json"),
                ]
            await self._send(send, status, headers, body)
            return status
        finally:
            self.metrics.count(scope["path"], status, started)

    async def _send(
        self, send: Send, status: int, headers: list[tuple[bytes, bytes]], body: bytes | memoryview
    ) -> None:
        headers.append((b"content-security-policy", self.state.catalogs.policy))
        headers.extend(SECURITY_HEADERS)
        await send({"type": "http.response.start", "status": status, "headers": headers})
        await send({"type": "http.response.body", "body": body})


def _log_access(scope: Scope, status: int, seconds: float) -> None:
    target = scope.get("raw_path") or scope["path"].encode()
    if scope.get("query_string"):
        target += b"?" + scope["query_string"]
    shown = target[:200].decode("ascii", "backslashreplace") + ("..." if len(target) > 200 else "")
    client = scope.get("client")
    peer = f"{client[0]}:{client[1]}" if client else "-"
    ms = round(seconds * 1000, 3)
    fields = {
        "client": peer,
        "method": scope["method"],
        "target": shown,
        "status": status,
        "ms": ms,
    }
    access_log.info('%s "%s %s" %d %.2f ms', peer, scope["method"], shown, status, ms, extra=fields)
