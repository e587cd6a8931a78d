"""The requests the server refuses, one class per status.

Each is answered with its status and the JSON body
``{"error": "<why>", "status": <status>}``; the OpenAPI document describes
every status from these classes (`REFUSALS`).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import ClassVar

__all__ = ["REFUSALS", "BadRequest", "Busy", "OutOfBounds", "QueryStringTooLong", "Refused"]


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


class BadRequest(Refused):
    status = 400
    about = (
        "The query string cannot be read: not UTF-8, a malformed escape, "
        "an unknown or repeated parameter, a value of the wrong kind."
    )


class QueryStringTooLong(Refused):
    status = 414
    about = "The query string is too long."


class OutOfBounds(Refused):
    status = 422
    about = "A value lies outside the bounds this server allows."


class Busy(Refused):
    status = 503
    about = "Too many queries are waiting; retry after the Retry-After header."
    headers: ClassVar[Mapping[str, str] | None] = {"retry-after": "1"}


#: Every kind of refusal, by status.
REFUSALS: tuple[type[Refused], ...] = (BadRequest, QueryStringTooLong, OutOfBounds, Busy)
