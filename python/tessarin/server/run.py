"""`tessarin serve`: uvicorn, one or several worker processes.

The socket is bound here, before any worker starts, so that port 0 works
and the address printed is the one served. Each worker process builds the
application from `CONFIG_ENV`.

With several workers, uvicorn's supervisor keeps them running, and the
index is shared (`tessarin.server.sharing`): the supervisor copies the file
once into a sealed memory file and checks it before any worker starts (a
bad file fails the command at once), every worker maps that copy, and the
supervisor watches the file from its loop (every `reload_interval`
seconds, and on SIGHUP), makes and checks a new copy once per change, in a
child process of its own (the loop goes on meanwhile: workers are kept
running, signals answered), and then sends SIGHUP to every worker, which
maps the new copy in place of the old (see `IndexHolder`). uvicorn's own
answer to SIGHUP, replacing the workers, would lose the old index when the
new file does not load. Where sealed memory files do not exist, SIGHUP is
passed on to every worker, which reloads the file itself. SIGHUP is held
blocked from the start of `tessarin serve` (`tessarin.server.hangups`), so
that one sent while a worker starts waits for it rather than kill it.

On Linux, the supervisor forks its workers itself, having imported what a
worker runs (`tessarin.server.preload`): they share those pages with it
rather than each import its own (about 25 MB of private memory a worker
with spawned workers), and no other process (a fork server, a resource
tracker) takes memory beside them. Forking is safe because the supervisor
runs no thread but its main one: the copies and their checks run in child
processes. A forked worker restores the signal handlers the supervisor
had before uvicorn's, and closes the supervisor's descriptors of copies of
the index. Elsewhere, workers are spawned.

Each worker serves HTTP with `BoundedProtocol` (`tessarin.server.protocol`),
which keeps the bounds on clients of `Limits`; `uvicorn_config` says what
each of uvicorn's settings does here.
"""

from __future__ import annotations

import atexit
import contextlib
import copy
import dataclasses
import gc
import logging
import logging.config
import os
import shutil
import signal
import sys
import tempfile
import time
from typing import Any

import uvicorn
from uvicorn.config import STARTUP_FAILURE
from uvicorn.supervisors import Multiprocess
from uvicorn.supervisors.multiprocess import SIGNALS, Process

from . import hangups
from .config import CONFIG_ENV, Limits, ServeConfig
from .protocol import BoundedConfig
from .sharing import SHARED_ENV, Publisher, supported

__all__ = ["serve"]

log = logging.getLogger("tessarin.server")


def logging_config(access_log: bool, log_format: str = "text") -> dict[str, Any]:
    """uvicorn's logging, plus the server's log (standard error) and the
    access log (standard output), each line naming its worker process;
    with `log_format` "json", every line of every log is a JSON object
    (`tessarin.server.jsonlog`)."""
    config = copy.deepcopy(uvicorn.config.LOGGING_CONFIG)
    config["formatters"]["tessarin"] = {
        "format": "%(asctime)s %(levelname)s [%(process)d] %(name)s: %(message)s",
    }
    if log_format == "json":
        for name in ("tessarin", "default", "access"):
            config["formatters"][name] = {"()": "tessarin.server.jsonlog.JsonFormatter"}
    config["handlers"]["tessarin"] = {
        "formatter": "tessarin",
        "class": "logging.StreamHandler",
        "stream": "ext://sys.stderr",
    }
    config["handlers"]["tessarin.access"] = {
        "formatter": "tessarin",
        "class": "logging.StreamHandler",
        "stream": "ext://sys.stdout",
    }
    config["loggers"]["tessarin"] = {
        "handlers": ["tessarin"],
        "level": "INFO",
        "propagate": False,
    }
    config["loggers"]["tessarin.access"] = {
        "handlers": ["tessarin.access"],
        "level": "INFO" if access_log else "WARNING",
        "propagate": False,
    }
    return config


#: Files a worker process opens beside its connections: the listening
#: socket, the index, logs, pipes to the supervisor, the event loop's own.
RESERVED_FILES = 64


def uvicorn_config(
    config: ServeConfig,
    host: str = "127.0.0.1",
    port: int = 8000,
    workers: int = 1,
    access_log: bool = True,
    log_level: str = "info",
    log_format: str = "text",
) -> BoundedConfig:
    """uvicorn's configuration for serving `config` (each worker reads
    `config` itself from `CONFIG_ENV`)."""
    limits = config.limits
    return BoundedConfig(
        "tessarin.server.app:app_from_env",
        limits=limits,
        factory=True,
        host=host,
        port=port,
        workers=workers,
        access_log=False,  # the application logs each request with its latency
        log_config=logging_config(access_log, log_format),
        log_level=log_level,
        # No header of a response names the server or repeats the client's
        # (Forwarded, X-Forwarded-For: a proxy in front sets its own).
        server_header=False,
        proxy_headers=False,
        # Requests in progress at shutdown get this long to finish.
        timeout_graceful_shutdown=10,
        # uvicorn closes a connection idle this long after a response; the
        # protocol does the same with `limits.keep_alive`, for new
        # connections too, and bounds the time to send a whole head.
        timeout_keep_alive=max(1, round(limits.keep_alive)),
        # uvicorn's cap counts idle and slow connections with busy ones and
        # then answers 503 to every request (1,100 sockets sending a byte a
        # second locked everyone out); the protocol's `max_connections`
        # replaces it, closing the connections that waited longest for a
        # request. Requests in progress are bounded by it (one at a time on
        # a connection) and queries by `limits.max_pending`.
        limit_concurrency=None,
        # No WebSocket here: a request asking to upgrade is served as a
        # plain one, then its connection closed.
        ws="none",
        # The kernel's queue of connections not yet accepted (the default):
        # a worker accepts as fast as its event loop turns; beyond it,
        # clients retry their connection.
        backlog=2048,
    )


def worker_limits(limits: Limits) -> Limits:
    """`limits`, with no more connections per worker than the files a
    process may open allow. Raises the process's soft limit on open files
    (inherited by the workers) as far as its hard limit when it needs to;
    each connection takes one, and `RESERVED_FILES` go to the rest."""
    try:
        import resource
    except ImportError:  # not POSIX: nothing to check
        return limits
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = limits.max_connections + RESERVED_FILES
    if soft != resource.RLIM_INFINITY and soft < need:
        raised = need if hard == resource.RLIM_INFINITY else min(need, hard)
        with contextlib.suppress(ValueError, OSError):
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
    if soft == resource.RLIM_INFINITY or soft >= need:
        return limits
    fits = max(1, soft - RESERVED_FILES)
    log.warning(
        "a process may open %d files (ulimit -n); each worker keeps at most %d connections, "
        "not %d: raise the limit to %d to keep %d",
        soft,
        fits,
        limits.max_connections,
        need,
        limits.max_connections,
    )
    return dataclasses.replace(limits, max_connections=fits)


def metrics_folder() -> None:
    """Hands the workers a folder of their own for their metrics
    (`tessarin.server.metrics`), removed when this process exits. (One
    worker, serving in this process, keeps its metrics in memory: uvicorn
    ends it by the signal it caught, with no exit handler run.)"""
    folder = tempfile.mkdtemp(prefix="tessarin-metrics-")
    atexit.register(shutil.rmtree, folder, ignore_errors=True)
    os.environ["PROMETHEUS_MULTIPROC_DIR"] = folder


def _forks() -> Any:
    """multiprocessing's fork context, with the serving modules imported
    (`tessarin.server.preload`), where workers are forked (Linux); None
    elsewhere (they are spawned)."""
    import multiprocessing

    if (
        not sys.platform.startswith("linux")
        or "fork" not in multiprocessing.get_all_start_methods()
    ):
        return None
    from . import preload

    preload.load()
    return multiprocessing.get_context("fork")


def _in_worker(
    target: Any, kwargs: dict[str, Any], handlers: dict[int, Any], descriptors: list[int]
) -> None:
    """A forked worker's start: the signal handlers the supervisor had
    before it took the signals, and none of its descriptors of copies of the
    index held open (one would keep an old copy's memory)."""
    for number, handler in handlers.items():
        signal.signal(number, handler)
    for fd in descriptors:
        with contextlib.suppress(OSError):
            os.close(fd)
    from . import preload

    preload.started()
    target(**kwargs)


class _Worker(Process):
    """uvicorn's worker process, forked by `forks` (a multiprocessing
    context) rather than spawned, when there is one."""

    def __init__(
        self,
        config: uvicorn.Config,
        sockets: list[Any],
        forks: Any,
        handlers: dict[int, Any],
        descriptors: list[int],
    ) -> None:
        super().__init__(config, sockets)
        if forks is not None:
            # uvicorn's process, made, never started: its target and
            # arguments, run by a process of `forks`.
            spawned: Any = self.process
            self.process = forks.Process(
                target=_in_worker,
                args=(spawned._target, spawned._kwargs, handlers, descriptors),
            )
            self.forked = True
        else:
            self.forked = False

    def start(self) -> None:
        if self.forked:
            # What the supervisor made so far is kept out of the collector's
            # passes: a collection in the worker would write to, and so
            # copy, the pages that hold it.
            gc.freeze()
        super().start()


#: Seconds between two checks that every worker is alive (uvicorn's).
_KEEP_EVERY = 0.5


class _Supervisor(Multiprocess):
    """uvicorn's supervisor, passing SIGHUP on; with a `publisher`, the
    keeper of the shared copy of the index, watched from its loop (every
    half second), each new copy made and checked in a child process (a copy
    and its check take a while, and the workers must be kept meanwhile)."""

    def __init__(
        self,
        config: uvicorn.Config,
        sockets: list[Any],
        publisher: Publisher | None,
        interval: float,
    ) -> None:
        # The handlers a worker restores, before uvicorn takes the signals.
        self._handlers = {
            number: handler
            for number in SIGNALS
            if (handler := signal.getsignal(number)) is not None
        }
        super().__init__(config, sockets)
        self.publisher = publisher
        self.interval = interval
        self._asked = False
        self._due = time.monotonic() + interval
        self._failing = False
        self._forks: Any = None

    def run(self) -> None:
        self._forks = _forks()
        if self.publisher is None:
            super().run()
            return
        # uvicorn's loop, with the watch of the index file at its own pace:
        # every `interval` seconds (at most half a second), and briskly
        # while a copy is checked or asked for; the workers are checked on
        # every half second, as uvicorn does.
        log_uvicorn = logging.getLogger("uvicorn.error")
        log_uvicorn.info(f"Started parent process [{os.getpid()}]")
        self.init_processes()
        kept = time.monotonic()
        while not self.should_exit.wait(self._pause()):
            self.handle_signals()
            if time.monotonic() - kept >= _KEEP_EVERY:
                kept = time.monotonic()
                self.keep_subprocess_alive()
        self.terminate_all()
        self.join_all()
        log_uvicorn.info(f"Stopping parent process [{os.getpid()}]")

    def _pause(self) -> float:
        assert self.publisher is not None
        if self.publisher.checking or self._asked:
            return 0.02
        return min(_KEEP_EVERY, self.interval or _KEEP_EVERY)

    def _worker(self) -> _Worker:
        held = [] if self.publisher is None else self.publisher.descriptors()
        return _Worker(self.config, self.sockets, self._forks, self._handlers, held)

    def init_processes(self) -> None:
        for _ in range(self.processes_num):
            process = self._worker()
            process.start()
            self.processes.append(process)

    def keep_subprocess_alive(self) -> None:
        # uvicorn's, with its workers forked as `init_processes` forks them.
        if self.should_exit.is_set():
            return
        for k, process in enumerate(self.processes):
            if process.is_alive(timeout=self.config.timeout_worker_healthcheck):
                continue
            process.kill()  # hung: killed
            process.join()
            if process.exitcode == STARTUP_FAILURE:
                # It failed before it served: every new one would fail alike.
                logging.getLogger("uvicorn.error").error(
                    f"Child process [{process.pid}] failed to start, stopping the parent process."
                )
                self.should_exit.set()
                return
            if self.should_exit.is_set():
                return
            logging.getLogger("uvicorn.error").info(f"Child process [{process.pid}] died")
            process = self._worker()
            process.start()
            self.processes[k] = process

    def _watch(self) -> None:
        """One turn of the watch of the index file: a copy whose check
        ended announced (and the workers told), a new one started on
        SIGHUP or when the file changed."""
        publisher = self.publisher
        assert publisher is not None
        try:
            if publisher.settle():
                self._signal_workers()
            if publisher.checking or self.should_exit.is_set():
                return
            if self._asked:
                self._asked = False
                publisher.start("SIGHUP")
            elif self.interval and time.monotonic() >= self._due:
                self._due = time.monotonic() + self.interval
                if publisher.changed():
                    publisher.start("the file changed")
        except Exception:  # the watch outlives any surprise, and says so once
            if not self._failing:
                log.exception("%s: checking the index file failed", publisher.source)
            self._failing = True
        else:
            self._failing = False

    def _signal_workers(self) -> None:
        # A worker still starting holds the signal blocked until it catches it.
        for process in list(self.processes):
            if process.pid is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(process.pid, signal.SIGHUP)

    def handle_signals(self) -> None:
        if hangups.take():
            self.handle_hup()
        super().handle_signals()
        if self.publisher is not None:
            self._watch()

    def handle_hup(self) -> None:
        logging.getLogger("uvicorn.error").info("Received SIGHUP, reloading the index.")
        if self.publisher is not None:
            self._asked = True
        else:
            self._signal_workers()


def start_publisher(
    path: str, access_log: bool = True, log_format: str = "text"
) -> Publisher | None:
    """The shared copy of the index file at `path`, made, checked (the
    one load of the file in this process) and announced, with the server's
    logging set up to tell it; None where sealed memory files do not exist.
    Raises what a failed load raises."""
    if not supported():
        return None
    logging.config.dictConfig(logging_config(access_log, log_format))
    publisher = Publisher(path)
    try:
        publisher.publish("starting")
    except BaseException:
        publisher.close()
        raise
    return publisher


def serve(
    config: ServeConfig,
    host: str = "127.0.0.1",
    port: int = 8000,
    workers: int = 1,
    access_log: bool = True,
    log_level: str = "info",
    log_format: str = "text",
    publisher: Publisher | None = None,
) -> None:
    """Serves until interrupted (SIGINT or SIGTERM); SIGHUP reloads the
    index. Call `hangups.hold()` as early as the process can, before
    loading anything: this function does, if nothing did before.

    `publisher`: the shared copy of `config.index` for several workers,
    made and published already (`start_publisher`; this function then
    closes it), else made here when it applies."""
    hangups.hold()
    if workers > 1:
        metrics_folder()
    config = dataclasses.replace(config, limits=worker_limits(config.limits))
    os.environ[CONFIG_ENV] = config.to_json()
    uv = uvicorn_config(config, host, port, workers, access_log, log_level, log_format)
    os.environ.pop(SHARED_ENV, None)
    if publisher is None and workers > 1 and config.index is not None:
        publisher = start_publisher(config.index, access_log, log_format)
    if publisher is not None:
        os.environ[SHARED_ENV] = publisher.announcement
    try:
        sock = uv.bind_socket()
        bound_host, bound_port = sock.getsockname()[:2]
        shown = f"[{bound_host}]" if ":" in bound_host else bound_host
        print(
            f"tessarin: serving {config.index or 'the sample index'} at "
            f"http://{shown}:{bound_port}/ with {workers} worker process"
            f"{'es' if workers > 1 else ''} of {config.threads} query thread"
            f"{'s' if config.threads > 1 else ''} (Ctrl-C to stop)",
            file=sys.stderr,
            flush=True,
        )
        if workers > 1:
            _Supervisor(uv, [sock], publisher, config.reload_interval).run()
        else:
            uvicorn.Server(uv).run(sockets=[sock])
    finally:
        if publisher is not None:
            publisher.close()
