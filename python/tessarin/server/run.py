"""`tessarin serve`: uvicorn, one or several worker processes.

The socket is bound here, before any worker starts, so that port 0 works
and the address printed is the one served. Each worker process builds the
application from `CONFIG_ENV` and loads the index itself, once; the index
is checked here first, so that a bad file fails the command at once rather
than every worker.

With several workers, uvicorn's supervisor keeps them running. SIGHUP to the
supervisor is passed on to every worker, which reloads the index in place
(see `IndexHolder`); uvicorn's own answer, replacing the workers, would lose
the old index when the new file does not load.
"""

from __future__ import annotations

import contextlib
import copy
import logging
import os
import signal
import sys
from typing import Any

import uvicorn
from uvicorn.supervisors import Multiprocess

from .config import CONFIG_ENV, ServeConfig

__all__ = ["serve"]

log = logging.getLogger("tessarin.server")


def logging_config(access_log: bool) -> dict[str, Any]:
    """uvicorn's logging, plus the server's log (standard error) and the
    access log (standard output), each line naming its worker process."""
    config = copy.deepcopy(uvicorn.config.LOGGING_CONFIG)
    config["formatters"]["tessarin"] = {
        "format": "%(asctime)s %(levelname)s [%(process)d] %(name)s: %(message)s",
    }
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


class _Supervisor(Multiprocess):
    def handle_hup(self) -> None:
        logging.getLogger("uvicorn.error").info("Received SIGHUP, reloading the index.")
        for process in self.processes:
            if process.pid is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(process.pid, signal.SIGHUP)


def serve(
    config: ServeConfig,
    host: str = "127.0.0.1",
    port: int = 8000,
    workers: int = 1,
    access_log: bool = True,
    log_level: str = "info",
) -> None:
    """Serves until interrupted (SIGINT or SIGTERM)."""
    os.environ[CONFIG_ENV] = config.to_json()
    uv = uvicorn.Config(
        "tessarin.server.app:app_from_env",
        factory=True,
        host=host,
        port=port,
        workers=workers,
        access_log=False,  # the application logs each request with its latency
        log_config=logging_config(access_log),
        log_level=log_level,
        server_header=False,
        proxy_headers=False,
        timeout_graceful_shutdown=10,
        # Connections and tasks beyond this get 503 from uvicorn itself.
        limit_concurrency=max(1000, 4 * config.limits.max_pending),
    )
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
        _Supervisor(uv, sockets=[sock]).run()
    else:
        uvicorn.Server(uv).run(sockets=[sock])
