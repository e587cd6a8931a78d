"""Log lines as JSON objects, one a line (`tessarin serve --log-format json`).

Each line holds the time (ISO 8601, UTC, milliseconds), the level, the
logger, the worker's process id, the message, and the traceback of an
error if there is one; the access log adds its fields (client, method,
target, status, ms) as keys of their own, so that a log pipeline need not
parse the message.
"""

from __future__ import annotations

import json
import logging
import time

__all__ = ["ACCESS_FIELDS", "JsonFormatter"]

#: The fields of an access log line, passed as the record's extras.
ACCESS_FIELDS = ("client", "method", "target", "status", "ms")


class JsonFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        line = {
            "time": time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(record.created))
            + f".{int(record.msecs):03d}Z",
            "level": record.levelname,
            "logger": record.name,
            "process": record.process,
            "message": record.getMessage(),
        }
        for field in ACCESS_FIELDS:
            if field in record.__dict__:
                line[field] = record.__dict__[field]
        if record.exc_info:
            line["error"] = self.formatException(record.exc_info)
        return json.dumps(line, ensure_ascii=False, default=str)
