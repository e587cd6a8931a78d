"""The requests the server refuses, one class per status.

Each is answered with its status and the JSON body
``{"error": "<why>", "status": <status>}``, by the application or, for a
request it never sees (a head too large or too slow, bytes that are not
HTTP), by the worker's HTTP protocol (`tessarin.server.protocol`); the
OpenAPI document describes every status from these classes (`REFUSALS`).
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import ClassVar

__all__ = [
    "REFUSALS",
    "BadRequest",
    "Busy",
    "HeadTooLarge",
    "OutOfBounds",
    "QueryStringTooLong",
    "Refused",
    "RequestTimeout",
]


class Refused(Exception):
    """A request the server refuses: `status` and why (`message`)."""

    status: ClassVar[int]
    #: What the status means, for the OpenAPI document.
    about: ClassVar[str]
    #: Headers of the answer.
    headers: ClassVar[Mapping[str, str] | None] = None

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def body(self) -> bytes:
        """The JSON body of the answer."""
        return json.dumps(
            {"error": self.message, "status": self.status},
            ensure_ascii=False,
            separators=(",", ":"),
        ).encode()


class BadRequest(Refused):
    status = 400
    about = (
        "The query string cannot be read: not UTF-8, a malformed escape, "
        "an unknown or repeated parameter, a value of the wrong kind; "
        "or the request itself is not HTTP/1.1 the server can read."
    )


class RequestTimeout(Refused):
    status = 408
    about = "The request head did not arrive in time; the connection is closed."


class QueryStringTooLong(Refused):
    status = 414
    about = "The query string is too long."


class HeadTooLarge(Refused):
    status = 431
    about = (
        "The request head (request line and header fields) is too large or has "
        "too many fields; the connection is closed."
    )


class OutOfBounds(Refused):
    status = 422
    about = "A value lies outside the bounds this server allows."


class Busy(Refused):
    status = 503
    about = (
        "Too many queries are waiting, or too many connections are open; "
        "retry after the Retry-After header."
    )
    headers: ClassVar[Mapping[str, str] | None] = {"retry-after": "1"}


#: Every kind of refusal, by status.
REFUSALS: tuple[type[Refused], ...] = (
    BadRequest,
    RequestTimeout,
    QueryStringTooLong,
    OutOfBounds,
    HeadTooLarge,
    Busy,
)
