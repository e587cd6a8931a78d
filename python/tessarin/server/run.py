"""`tessarin serve`: uvicorn, one or several worker processes.

The socket is bound here, before any worker starts, so that port 0 works
and the address printed is the one served. Each worker process builds the
application from `CONFIG_ENV`.

With several workers, uvicorn's supervisor keeps them running, and the
index is shared (`tessarin.server.sharing`): the supervisor copies the file
once into a sealed memory file and checks it before any worker starts (a
bad file fails the command at once), every worker maps that copy, and the
supervisor watches the file (every `reload_interval` seconds, and on
SIGHUP), makes and checks a new copy once per change, and then sends SIGHUP
to every worker, which maps the new copy in place of the old (see
`IndexHolder`). uvicorn's own answer to SIGHUP, replacing the workers, would
lose the old index when the new file does not load. Where sealed memory
files do not exist, SIGHUP is passed on to every worker, which reloads the
file itself. SIGHUP is held blocked from the start of `tessarin serve`
(`tessarin.server.hangups`), so that one sent while a worker starts waits
for it rather than kill it.

Workers are forked by multiprocessing's fork server (a process of its
own, started once, with no thread but its own), which has imported what a
worker runs (`tessarin.server.preload`): they share those pages with it
rather than each import its own (about 25 MB of private memory a worker
with spawned workers, about 10 with forked ones). The supervisor itself
never forks: its watcher thread may be copying or checking a file at any
time. Where there is no fork server, workers are spawned.

Each worker serves HTTP with `BoundedProtocol` (`tessarin.server.protocol`),
which keeps the bounds on clients of `Limits`; `uvicorn_config` says what
each of uvicorn's settings does here.
"""

from __future__ import annotations

import atexit
import contextlib
import copy
import dataclasses
import logging
import logging.config
import os
import shutil
import signal
import sys
import tempfile
import threading
from typing import Any

import uvicorn
from uvicorn.config import STARTUP_FAILURE
from uvicorn.supervisors import Multiprocess
from uvicorn.supervisors.multiprocess import Process

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


#: The modules the fork server imports before it forks any worker.
PRELOAD = "tessarin.server.preload"


def _fork_server() -> Any:
    """multiprocessing's fork server, with the serving modules imported
    (`PRELOAD`); None where there is none. One serves a process: one
    started for an earlier `serve` in this process (with another
    environment) is stopped first."""
    import multiprocessing
    import multiprocessing.forkserver as forkserver

    if "forkserver" not in multiprocessing.get_all_start_methods():
        return None
    server = forkserver._forkserver
    if getattr(server, "_forkserver_pid", None) is not None and hasattr(server, "_stop"):
        server._stop()
    _without_tracker()
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([PRELOAD])
    return context


def _without_tracker() -> None:
    """Keeps the fork server from starting multiprocessing's resource
    tracker: an interpreter of its own (about 9 MB) that would remove the
    named semaphores and shared memory its processes leave behind. The
    workers make none (their pipes to the supervisor are socket pairs, and
    nothing in them uses multiprocessing's locks, queues or shared memory),
    so the tracker is told to be running already, its messages going to the
    null device. Where multiprocessing's tracker is not as expected, it is
    left to start."""
    from multiprocessing import resource_tracker

    tracker = getattr(resource_tracker, "_resource_tracker", None)
    if tracker is not None and getattr(tracker, "_fd", 0) is None:
        tracker._fd = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)


class _Worker(Process):
    """uvicorn's worker process, forked by `forks` (a multiprocessing
    context) rather than spawned, when there is one."""

    def __init__(self, config: uvicorn.Config, sockets: list[Any], forks: Any) -> None:
        super().__init__(config, sockets)
        if forks is not None:
            # uvicorn's process, made, never started: its target and
            # arguments, handed to a process of `forks`.
            spawned: Any = self.process
            self.process = forks.Process(target=spawned._target, kwargs=spawned._kwargs)


class _Supervisor(Multiprocess):
    """uvicorn's supervisor, passing SIGHUP on; with a `publisher`, the
    keeper of the shared copy of the index, in a thread of its own (a copy
    and its check take a while, and the workers must be kept meanwhile)."""

    def __init__(
        self,
        config: uvicorn.Config,
        sockets: list[Any],
        publisher: Publisher | None,
        interval: float,
    ) -> None:
        super().__init__(config, sockets)
        self.publisher = publisher
        self.interval = interval
        self._hangup = threading.Event()
        self._watcher: threading.Thread | None = None
        self._forks: Any = None

    def run(self) -> None:
        self._forks = _fork_server()
        if self.publisher is not None:
            self._watcher = threading.Thread(target=self._watch, name="index-watcher", daemon=True)
            self._watcher.start()
        try:
            super().run()
        finally:
            self._hangup.set()  # wakes the watcher, which sees should_exit
            if self._watcher is not None:
                self._watcher.join()

    def init_processes(self) -> None:
        for _ in range(self.processes_num):
            process = _Worker(self.config, self.sockets, self._forks)
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
            process = _Worker(self.config, self.sockets, self._forks)
            process.start()
            self.processes[k] = process

    def _watch(self) -> None:
        assert self.publisher is not None
        failing = False
        while not self.should_exit.is_set():
            asked = self._hangup.wait(self.interval or None)
            self._hangup.clear()
            if self.should_exit.is_set():
                return
            try:
                if asked:
                    published = self.publisher.publish("SIGHUP")
                elif self.publisher.changed():
                    published = self.publisher.publish("the file changed")
                else:
                    continue
            except Exception:  # the watcher outlives any surprise, and says so once
                if not failing:
                    log.exception("%s: checking the index file failed", self.publisher.source)
                failing = True
                continue
            failing = False
            if published:
                self._signal_workers()

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

    def handle_hup(self) -> None:
        logging.getLogger("uvicorn.error").info("Received SIGHUP, reloading the index.")
        if self.publisher is not None:
            self._hangup.set()
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
