"""`tessarin serve`: the HTTP server (`tessarin.server`) from the command line."""

from __future__ import annotations

import argparse
import os
import re
from typing import TYPE_CHECKING, Any

from .. import defaults
from ..errors import TessarinError
from ..storage.files import file_signature
from .arguments import distance, number, port, positive
from .common import CommandError, load_index, os_message
from .parser import SUMMARIES

if TYPE_CHECKING:
    from ..server.sharing import Publisher

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    serve = commands.add_parser(
        "serve",
        help=SUMMARIES["serve"],
        description="Serve INDEX over HTTP: /search, /suggest, /complete, /info, /health, "
        "/ready, /openapi.json and a search page at /. A changed INDEX file (or SIGHUP) is "
        "loaded and swapped in without downtime. There is no --preload: INDEX is checked "
        "before any worker starts, and each worker loads it and derives what queries need "
        "(warms it) before it takes a connection; /health answers while a worker is alive, "
        "/ready once its index is loaded and warm (503 before). A reload swaps in only a warm "
        "index. Needs the serve extra: pip install 'tessarin[serve]'.",
    )
    serve.add_argument(
        "index", metavar="INDEX", nargs="?", help="saved index file (default: the sample)"
    )
    serve.add_argument(
        "--catalog",
        metavar="FILE",
        help="video catalogue (Parquet, CSV with a header, JSON lines): one row per video, "
        "its identifier in a column video, video_id or id; title, url and thumbnail are shown "
        "on the page, every column may be filtered on; reloaded when it changes. With no INDEX, "
        "'sample' is the sample's catalogue",
    )
    serve.add_argument(
        "--image-hosts",
        metavar="HOSTS",
        help="comma-separated origins the page may show images from (e.g. "
        "https://img.example.com); default: those of the catalogue's thumbnails",
    )
    serve.add_argument("--host", default="127.0.0.1", help="address (default 127.0.0.1)")
    serve.add_argument(
        "--port", type=port, default=8000, help="port, 0 for any free one (default 8000)"
    )
    serve.add_argument(
        "--workers", type=positive, default=1, metavar="N", help="worker processes (default 1)"
    )
    serve.add_argument(
        "--threads",
        type=positive,
        default=None,
        metavar="N",
        help="query threads in each worker (default: one per core)",
    )
    serve.add_argument(
        "--reload-interval",
        type=number,
        default=2.0,
        metavar="S",
        help="seconds between checks of INDEX for a change, 0 for never (default 2)",
    )
    serve.add_argument(
        "--max-query",
        type=positive,
        default=defaults.SERVER_MAX_QUERY,
        metavar="N",
        help="longest query a request may send, in characters "
        f"(default {defaults.SERVER_MAX_QUERY})",
    )
    serve.add_argument(
        "--max-dist",
        type=distance,
        default=defaults.SERVER_MAX_DIST,
        metavar="D",
        help=f"largest max_dist a request may ask, at most {defaults.MAX_DIST_CAP} "
        f"(default {defaults.SERVER_MAX_DIST})",
    )
    serve.add_argument(
        "--max-limit",
        type=positive,
        default=defaults.SERVER_MAX_LIMIT,
        metavar="N",
        help=f"largest limit a request may ask (default {defaults.SERVER_MAX_LIMIT})",
    )
    serve.add_argument(
        "--max-connections",
        type=positive,
        default=defaults.SERVER_MAX_CONNECTIONS,
        metavar="N",
        help="connections each worker keeps open; at the cap, a new one closes the one "
        f"that waited longest for a request (default {defaults.SERVER_MAX_CONNECTIONS})",
    )
    serve.add_argument(
        "--max-header-bytes",
        type=positive,
        default=defaults.SERVER_MAX_HEADER_BYTES,
        metavar="N",
        help="largest request head (request line and header fields), in bytes; "
        f"larger ones get 431 (default {defaults.SERVER_MAX_HEADER_BYTES})",
    )
    serve.add_argument(
        "--keep-alive",
        type=number,
        default=defaults.SERVER_KEEP_ALIVE,
        metavar="S",
        help="seconds a connection may wait for a request before it is closed "
        f"(default {defaults.SERVER_KEEP_ALIVE:g})",
    )
    serve.add_argument(
        "--head-timeout",
        type=number,
        default=defaults.SERVER_HEAD_TIMEOUT,
        metavar="S",
        help="seconds a client has to send a whole request head; then 408 "
        f"(default {defaults.SERVER_HEAD_TIMEOUT:g})",
    )
    serve.add_argument(
        "--admin",
        action="store_true",
        help="show internals on /info and the page: the index file's path, each worker's "
        "process id, memory and connections (off by default: for a server the public cannot "
        "reach)",
    )
    serve.add_argument(
        "--log-format",
        choices=("text", "json"),
        default="text",
        help="text lines, or one JSON object a line with the access log's fields as keys "
        "(default text)",
    )
    serve.add_argument(
        "--access-log",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="log every request with its latency on standard output (default: on)",
    )


def check_catalog(path: str, id_mode: str) -> None:
    """Refuses a catalogue that cannot be read or that names videos of the
    other kind than the index's."""
    from ..catalog import Catalog, CatalogError

    try:
        catalog = Catalog.read(path)
    except (CatalogError, OSError) as error:
        raise CommandError(f"the catalogue cannot be used: {error}") from None
    if catalog.id_kind is not None and catalog.id_kind != id_mode:
        kinds = {"int": "integer", "uuid": "UUID"}
        raise CommandError(
            f"{path}: the catalogue names videos by {kinds[catalog.id_kind]}s, but the index by "
            f"{kinds.get(id_mode, id_mode)}s: none of its rows would be found"
        )


def image_hosts(text: str) -> tuple[str, ...]:
    from ..server.catalog import image_origin

    try:
        return tuple(image_origin(host) for host in text.split(",") if host.strip())
    except ValueError as error:
        raise CommandError(f"--image-hosts: {error}") from None


def run(args: argparse.Namespace) -> int:
    from ..server import hangups

    hangups.hold()  # from now on, SIGHUP waits until a worker can answer it
    try:
        from ..server import Limits, ServeConfig, serve
    except ImportError as error:
        raise CommandError(
            f"serving needs the serve extra ({error}): pip install 'tessarin[serve]'"
        ) from None
    catalog = None if args.catalog is None else os.path.abspath(args.catalog)
    if args.index is None and args.catalog == "sample" and not os.path.exists("sample"):
        from ..storage.sample import sample_catalog_path

        catalog = sample_catalog_path()  # the sample's, with titles and thumbnails
    hosts = None if args.image_hosts is None else image_hosts(args.image_hosts)
    try:
        limits = Limits(
            max_query=args.max_query,
            max_dist=args.max_dist,
            max_limit=args.max_limit,
            search_limit=min(defaults.SEARCH_LIMIT, args.max_limit),
            suggest_limit=min(defaults.SUGGEST_LIMIT, args.max_limit),
            max_connections=args.max_connections,
            max_header_bytes=args.max_header_bytes,
            keep_alive=args.keep_alive,
            head_timeout=args.head_timeout,
        )
        config = ServeConfig(
            index=None if args.index is None else os.path.abspath(args.index),
            limits=limits,
            threads=args.threads or os.cpu_count() or 1,
            reload_interval=args.reload_interval,
            admin=args.admin,
            catalog=catalog,
            image_hosts=hosts,
        )
    except ValueError as error:
        raise CommandError(str(error)) from None
    # The file is loaded once here, before any worker starts (a bad file
    # fails the command at once): as the shared copy of several workers, or
    # as the index of the one worker serving in this process.
    publisher = publish(config.index, args) if config.index and args.workers > 1 else None
    try:
        if publisher is not None:
            id_mode = publisher.id_mode
        elif args.index is not None or catalog is not None:
            signature = None if config.index is None else file_signature(config.index)
            index = load_index(args.index)
            id_mode = index.id_mode
            if config.index is not None and args.workers == 1:
                from ..server.holder import preload

                preload(config.index, index, signature)
            del index
        if catalog is not None:
            check_catalog(catalog, id_mode)
    except BaseException:
        if publisher is not None:
            publisher.close()
        raise
    try:
        serve(
            config,
            args.host,
            args.port,
            args.workers,
            access_log=args.access_log,
            log_format=args.log_format,
            publisher=publisher,
        )
    except OSError as error:
        raise CommandError(f"cannot serve on {args.host}:{args.port}: {error}") from None
    except KeyboardInterrupt:
        pass  # Ctrl-C: the server has shut down cleanly
    return 0


def publish(path: str, args: argparse.Namespace) -> Publisher | None:
    """The sealed copy of `path` shared by the workers, made, checked and
    announced (None where sealed memory files do not exist)."""
    from ..server.run import start_publisher

    try:
        return start_publisher(path, args.access_log, args.log_format)
    except OSError as error:
        raise CommandError(os_message(error)) from None
    except TessarinError as error:
        # The copy's load names the copy (/proc/self/fd/N): name the file.
        raise CommandError(
            f"{path}: {re.sub(r'^/proc/self/fd/[0-9]+: ', '', str(error))}"
        ) from None
