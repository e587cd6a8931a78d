"""The defaults and bounds of a query, each defined once.

`Index` takes its parameters' defaults from here and checks its arguments
against the bounds; the command line's options, the server's request
parameters and the server's OpenAPI document read the same names, so none of
them can say another number.
"""

from __future__ import annotations

from ._native import DEFAULT_MIN_SCORE

__all__ = [
    "COMPLETE_LIMIT",
    "MAX_DIST",
    "MAX_DIST_CAP",
    "MIN_SCORE",
    "SEARCH_LIMIT",
    "SERVER_HEAD_TIMEOUT",
    "SERVER_KEEP_ALIVE",
    "SERVER_MAX_CONNECTIONS",
    "SERVER_MAX_DIST",
    "SERVER_MAX_HEADERS",
    "SERVER_MAX_HEADER_BYTES",
    "SERVER_MAX_LIMIT",
    "SERVER_MAX_QUERY",
    "SUGGEST_LIMIT",
    "TERMS_LIMIT",
    "auto_max_dist",
]

#: Edits a query allows when it names no `max_dist`.
MAX_DIST = 1

#: The largest `max_dist` the package takes. The walk's cost grows steeply
#: with the distance: on a million terms the slowest query takes about 50 ms
#: at 4, twice that at 5 and 0.6 s at 8; and at 4 edits a short query is
#: already near every short term (a term of n characters lends nothing to a
#: search from n edits on).
MAX_DIST_CAP = 4

#: Videos scoring below this are left out unless a search says otherwise:
#: the engine's own threshold.
MIN_SCORE: float = DEFAULT_MIN_SCORE

#: Videos a search lists when it names no limit (command line, server).
SEARCH_LIMIT = 10
#: Terms the server's /suggest lists when a request names no limit (a
#: search box's list).
SUGGEST_LIMIT = 8
#: Terms `tessarin terms` lists when it is given no limit.
TERMS_LIMIT = 20
#: Completions a completion lists when it names no limit.
COMPLETE_LIMIT = 10


def auto_max_dist(text: str) -> int:
    """The edits that max_dist="auto" allows a completion of `text` (as it
    is matched, after the index's normalisation): none up to 2 characters,
    one up to 5, then two. The first characters typed are too few to say
    which of many terms a slip was meant for."""
    n = len(text)
    return 0 if n <= 2 else 1 if n <= 5 else 2


#: What a server allows a request by default (`tessarin.server.Limits`):
#: the longest query in characters, the largest max_dist and limit.
SERVER_MAX_QUERY = 64
SERVER_MAX_DIST = 2
SERVER_MAX_LIMIT = 100

#: What a server allows a client by default (`tessarin.server.Limits`):
#: open connections per worker process, bytes and fields of a request head,
#: seconds to wait for a request and to receive its whole head.
SERVER_MAX_CONNECTIONS = 1000
SERVER_MAX_HEADER_BYTES = 32768
SERVER_MAX_HEADERS = 100
SERVER_KEEP_ALIVE = 5.0
SERVER_HEAD_TIMEOUT = 10.0
