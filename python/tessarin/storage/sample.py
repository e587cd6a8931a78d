"""The small sample index shipped with the package.

About 4,000 frequent English words, each leading to a few of 600 made-up
videos with UUID identifiers; made by scripts/make_sample_index.py. It lets
`tessarin search` and `tessarin terms` answer on a fresh install, and serves
examples and tests.
"""

from __future__ import annotations

from importlib import resources

from _tessarin import PrefixSearch

from ..index import Index

__all__ = ["load_sample", "load_sample_index", "sample_bytes", "sample_catalog_path"]

SAMPLE_NAME = "sample.idx"
#: Titles, links, thumbnails and columns to filter on for most of the
#: sample's videos (made by scripts/make_sample_catalog.py).
SAMPLE_CATALOG = "sample_catalog.jsonl"


def sample_bytes() -> bytes:
    """The saved form of the sample index."""
    return (resources.files("tessarin.storage") / "data" / SAMPLE_NAME).read_bytes()


def sample_catalog_path() -> str:
    """The path of the sample catalogue (a JSON lines file), for
    `tessarin.Catalog.read` or `tessarin serve --catalog`."""
    return str(resources.files("tessarin.storage") / "data" / SAMPLE_CATALOG)


def load_sample() -> PrefixSearch:
    """The sample index, loaded."""
    return PrefixSearch.from_bytes(sample_bytes())


def load_sample_index() -> Index:
    """The sample index as a `tessarin.Index`."""
    return Index._from_saved(sample_bytes())
