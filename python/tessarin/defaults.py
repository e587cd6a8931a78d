"""The defaults and bounds of a query, each defined once.

`Index` takes its parameters' defaults from here and checks its arguments
against the bounds; the command line's options, the server's request
parameters and the server's OpenAPI document read the same names, so none of
them can say another number.
"""

from __future__ import annotations

from ._native import DEFAULT_MIN_SCORE

__all__ = [
    "AUTO",
    "AUTO_MAX_DIST_STEPS",
    "COMPLETE_LIMIT",
    "COMPLETE_MAX_DIST",
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

#: The `max_dist` of a completion that grows with the text typed.
AUTO = "auto"

#: What `max_dist="auto"` allows, by the length of the text as it is matched
#: (after the index's normalisation): (longest length, edits) in order; a
#: longer text gets one more edit than the last step. Short texts match
#: too much with an edit to be worth it: "ab" is 1 edit from every term
#: that begins with a or b.
AUTO_MAX_DIST_STEPS: tuple[tuple[int, int], ...] = ((2, 0), (5, 1))

#: Edits a completion allows when it names no `max_dist`, and terms it
#: lists when it names no limit. (The server and the page complete with
#: AUTO.)
COMPLETE_MAX_DIST = MAX_DIST
COMPLETE_LIMIT = 10


def auto_max_dist(text: str) -> int:
    """The edits `max_dist="auto"` allows for a text as it is matched (after
    the index's normalisation): 0 up to 2 characters, 1 up to 5, then 2."""
    for longest, edits in AUTO_MAX_DIST_STEPS:
        if len(text) <= longest:
            return edits
    return AUTO_MAX_DIST_STEPS[-1][1] + 1


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
