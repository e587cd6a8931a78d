"""The video catalogue a server serves beside its index: its reloading,
the `filter` parameter of /search, the fields a result carries, and the
Content-Security-Policy that lets the page show the thumbnails.

A `CatalogHolder` keeps one `tessarin.Catalog` (or none) and replaces it as
the index's holder replaces the index: when its file changes (polled) or on
SIGHUP, loaded on a thread, a file that fails to load leaving the old
catalogue serving, with one line in the log per version of the file.

The page may load images only from its own origin and from the origins of
the catalogue's thumbnails (scheme, host and port), or from the list the
operator gives (`--image-hosts`), never from anywhere else; the policy is
made once per catalogue and follows it when it is reloaded.
"""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Iterable, Sequence
from typing import Any

import anyio.to_thread

from ..catalog import Catalog, CatalogError, Filter, parse_filters
from ..explain import ExplainedMatch
from ..index import VideoMatch
from ..storage.files import Signature, file_signature
from .errors import BadRequest, OutOfBounds
from .params import Parameter

__all__ = [
    "CatalogHolder",
    "Filters",
    "content_security_policy",
    "image_origin",
    "video_json",
]

log = logging.getLogger("tessarin.server")

#: Conditions one request may give (each a `filter` parameter).
MAX_FILTERS = 16
#: Contributions listed with an explained video; the rest are summed in one.
EXPLAIN_SHOWN = 8


def image_origin(text: str) -> str:
    """An origin the page may load images from, as an operator writes it:
    ``https://img.example.com`` or a bare host (https is meant)."""
    from urllib.parse import urlsplit

    written = text.strip()
    parts = urlsplit(written if "://" in written else f"https://{written}")
    try:
        parts.port  # noqa: B018 - raises on a port that is no number
    except ValueError:
        raise ValueError(f"{text!r} has a port that is no number") from None
    if (
        parts.scheme.lower() not in ("http", "https")
        or not parts.hostname
        or parts.path not in ("", "/")
        or parts.query
        or parts.fragment
        or parts.username is not None
        or any(c in written for c in " ;,'\"\\")
    ):
        raise ValueError(f"{text!r} is not an image host (https://host[:port] or host)")
    return f"{parts.scheme.lower()}://{parts.netloc.lower()}"


def content_security_policy(image_origins: Iterable[str]) -> bytes:
    """The page's policy: nothing but its own origin, and images from
    `image_origins` too."""
    images = " ".join(["'self'", *sorted(image_origins)])
    return (
        "default-src 'self'; "
        f"img-src {images}; "
        "base-uri 'none'; form-action 'self'; frame-ancestors 'none'"
    ).encode()


class Filters(Parameter[tuple[Filter, ...]]):
    """`filter`, repeatable: ``column:value[,value...]`` each."""

    repeated = True

    def __init__(self) -> None:
        super().__init__(
            "filter",
            "Keep the videos whose catalogue row has one of the values in the column: "
            "column:value, or column:value1,value2 for any of several. Give it again for "
            "another condition (all must hold). A backslash makes the next character plain "
            "(\\, is a comma within a value). Values are compared as text; a column holding a "
            "list matches when any item does. Videos missing from the catalogue never pass. "
            "The filter strikes videos out of the ranked list without changing their scores; "
            "it can only find videos that the matched terms keep (each term of the index "
            "keeps its top videos, so a narrow filter may find few).",
        )

    def read_many(self, texts: list[str]) -> tuple[Filter, ...]:
        if len(texts) > MAX_FILTERS:
            raise OutOfBounds(f"at most {MAX_FILTERS} filters may be given")
        try:
            return parse_filters(texts)
        except ValueError as error:
            raise BadRequest(str(error)) from None

    def schema(self) -> dict[str, Any]:
        return {
            "type": "array",
            "items": {"type": "string", "pattern": "^[^:]+:.+$"},
            "maxItems": MAX_FILTERS,
        }

    def openapi(self) -> dict[str, Any]:
        return {**super().openapi(), "style": "form", "explode": True}


def check_filters(catalog: Catalog | None, filters: Sequence[Filter]) -> None:
    """Refuses (422) filters the catalogue cannot answer."""
    if not filters:
        return
    if catalog is None:
        raise OutOfBounds("this server has no catalogue to filter by (tessarin serve --catalog)")
    try:
        catalog.check_filters(filters)
    except CatalogError as error:
        raise OutOfBounds(str(error)) from None


def video_json(match: VideoMatch | ExplainedMatch, catalog: Catalog | None) -> dict[str, Any]:
    """A video of /search's answer: identifier, score, its catalogue row
    (null when the catalogue lacks it) and, explained, what made its score."""
    found: dict[str, Any] = {
        "video": match.video,
        "score": match.score,
        "catalog": None if catalog is None else catalog.get(match.video),
    }
    if isinstance(match, ExplainedMatch):
        shown = match.contributions[:EXPLAIN_SHOWN]
        found["explain"] = {
            "contributions": [
                {
                    "term": c.term,
                    "distance": c.distance,
                    "complete": c.is_terminal,
                    "weight": c.weight,
                    "count": c.count,
                    "share": c.share,
                }
                for c in shown
            ],
            "others": {
                "terms": len(match.contributions) - len(shown),
                "share": sum(c.share for c in match.contributions[EXPLAIN_SHOWN:]),
            },
        }
    return found


class CatalogHolder:
    """The catalogue being served (`catalog`, None without one) and the
    page's security policy (`policy`) that goes with it."""

    def __init__(self, path: str | None, image_hosts: Sequence[str] | None = None) -> None:
        self.path = path
        self._hosts = None if image_hosts is None else frozenset(image_hosts)
        self._lock = asyncio.Lock()
        self._failed: Signature | None = None
        self._signature = None if path is None else file_signature(path)
        self.generation = 0
        self.catalog: Catalog | None = None
        self.policy = content_security_policy(self._hosts or ())
        if path is not None:
            self._use(Catalog.read(path), self._signature)

    def _use(self, catalog: Catalog, signature: Signature | None) -> None:
        origins = catalog.picture_hosts() if self._hosts is None else self._hosts
        self.policy = content_security_policy(origins)
        self.catalog = catalog
        self._signature = signature
        self._failed = None
        self.generation += 1
        self.loaded_at = time.time()

    def changed(self) -> bool:
        if self.path is None:
            return False
        now = file_signature(self.path)
        return now is not None and now != self._signature and now != self._failed

    async def reload(self, reason: str, *, force: bool = True) -> bool:
        """Reads the file again (unless, without `force`, it is the one
        read); True if a new catalogue now serves."""
        if self.path is None:
            return False
        path = self.path
        async with self._lock:
            signature = file_signature(path)
            if not force and signature == self._signature:
                return False
            try:
                catalog = await anyio.to_thread.run_sync(Catalog.read, path)
            except Exception as error:
                self._failed = signature
                log.error(
                    "%s: %s, but the catalogue could not be read; still serving the one read "
                    "before: %s: %s",
                    path,
                    reason,
                    type(error).__name__,
                    error,
                    exc_info=None if isinstance(error, (CatalogError, OSError)) else error,
                )
                return False
            self._use(catalog, signature)
            log.info(
                "%s: %s; now serving a catalogue of %s videos", path, reason, f"{len(catalog):,}"
            )
            return True

    async def watch(self, interval: float) -> None:
        """Reads the file again whenever it changes, checked every
        `interval` seconds, until cancelled."""
        while True:
            await asyncio.sleep(interval)
            try:
                if self.changed():
                    await self.reload("the catalogue changed", force=False)
            except Exception:  # the watcher outlives any surprise
                log.exception("%s: checking the catalogue failed", self.path)
