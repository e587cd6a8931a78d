"""Typing stubs for tessarin._native, the package's own extension.

`tessarin.Index` is the public face; this module is its engine. Queries
release the interpreter lock while they walk the index; the `*_many`
methods spread a batch over `threads` threads inside the engine.

`transpositions=True` measures distances as optimal string alignment: a
swap of two neighbouring characters is one edit, like an insertion,
deletion or substitution (no substring is edited twice).
"""

import enum
from collections.abc import Callable, Iterable, Sequence
from typing import TypeVar, final, overload

from typing_extensions import Buffer

_Record = TypeVar("_Record", bound=tuple[object, ...])

__version__: str

#: The threshold of a search that gives none: videos scoring below it are
#: left out.
DEFAULT_MIN_SCORE: float

class ErrorKind(enum.Enum):
    """The kind of a core error. Every error the engine raises carries its
    kind as the attribute `kind`: VALUE as ValueError, the others as the
    corrupt-index error."""

    VALUE = 0
    DECODE = 1
    DAMAGED = 2
    ENCODE = 3
    INTERNAL = 4

def set_corrupt_index_error(cls: type[Exception]) -> None:
    """Sets the exception raised for a damaged index (at load, or when a query
    meets arrays that contradict each other); ValueError until it is set."""

@final
class NativeIndex:
    """An immutable index, shared by every thread that queries it."""

    @staticmethod
    def from_saved(data: Buffer) -> NativeIndex:
        """Decodes a saved form (any contiguous buffer, read in place, without
        the interpreter lock); raises the corrupt-index error if it does not
        decode (kind DECODE), has bytes after its end or does not hold
        together (kind DAMAGED): arrays of one entry per node, child entries
        that name nodes and form a tree below the root that reaches every
        node, siblings with distinct labels (0 aside), a payload wherever a
        term ends, payloads with as many counts as videos, no video twice and
        no count above the total, and a video table that names each video
        once (the other one empty). A loaded index therefore never fails a
        query, and its answers keep their bounds (scores at most 1, nothing
        twice)."""
    @staticmethod
    def from_mapped(
        data: Buffer, offset: int, length: int, keep: bool, verify: bool, trusted: bool = False
    ) -> NativeIndex:
        """The index in an index file's mapped form, bytes offset to offset +
        length of data: read in place, the buffer held for as long as the
        index lives, when keep (the caller vouches that nobody changes it),
        else copied. Checks the checksums (with verify) and the structure;
        raises the corrupt-index error (kind DAMAGED) if they fail. With
        trusted, checks nothing: only for bytes that passed those checks
        before and cannot have changed since."""
    def to_saved(self) -> bytes:
        """The saved form, byte for byte what PrefixSearch.to_bytes writes."""
    def to_mapped(self) -> bytes:
        """The mapped form, as an index file of version 2 holds it."""
    def populate_walked(self) -> tuple[int, str]:
        """Maps every page of the arrays a query reads (the node arrays,
        the stored search aids, the payloads and the video table) into
        this process's page tables, so that the first queries fault none:
        (bytes covered, "populate" or "read" for how, "none" for nothing to
        map). Reads only; the lock released meanwhile."""
    @property
    def stored_aids(self) -> bool:
        """Whether the search aids were read with the index, not derived."""
    @property
    def node_count(self) -> int: ...
    @property
    def term_count(self) -> int: ...
    @property
    def video_count(self) -> int: ...
    @property
    def id_mode(self) -> str:
        """ "uuid" or "int"."""
    @property
    def memory_bytes(self) -> int:
        """Bytes of memory that the index's arrays take (borrowed or owned),
        with what the search derived from them."""
    def suggest(
        self, term: str, max_dist: int, limit: int | None, transpositions: bool
    ) -> list[tuple[str, int, int]]:
        """(term, distance, count) of the indexed terms within max_dist,
        closest first, then most searched, then by term (code points); cut
        to limit. count is the term's own count: its node's total less its
        children's totals (at least 0), or the total itself when that is
        saturated at 4294967295."""
    def search(
        self,
        term: str,
        max_dist: int,
        limit: int | None,
        include_prefix_nodes: bool | None,
        min_score: float | None,
        transpositions: bool,
    ) -> list[tuple[str, float]]:
        """(video, score), best first: the scores of fuzzy_match_video."""
    @overload
    def match_nodes(
        self, term: str, max_dist: int, terminal_only: bool, transpositions: bool
    ) -> list[tuple[int, str, int, bool, int]]: ...
    @overload
    def match_nodes(
        self,
        term: str,
        max_dist: int,
        terminal_only: bool,
        transpositions: bool,
        record: type[_Record],
    ) -> list[_Record]:
        """(node, term, distance, is_terminal, total_count) of every node
        within max_dist, in trie preorder; each an instance of `record` (a
        NamedTuple class of those five fields) when given."""
    def search_pooled(
        self,
        term: str,
        max_dist: int,
        limit: int | None,
        include_prefix_nodes: bool | None,
        min_score: float | None,
        pooled_limit: int | None,
        transpositions: bool,
    ) -> tuple[list[tuple[str, float]], list[tuple[int, str, int, bool, int, float]]]:
        """(search(...), pooled_nodes(...)) for the same arguments, from
        one walk."""
    def pooled_nodes(
        self,
        term: str,
        max_dist: int,
        limit: int | None,
        include_prefix_nodes: bool | None,
        transpositions: bool,
    ) -> list[tuple[int, str, int, bool, int, float]]:
        """(node, term, distance, is_terminal, count, weight) of the nodes
        whose videos search pools for the same arguments (weight > 0), nearest
        first, then most searched, then by term; cut to limit. count is the
        term's own count when only terms are pooled, the node's total when
        prefix nodes are."""
    def node_videos(self, node: int) -> list[tuple[str, int]]:
        """A node's top videos with their counts, highest first (equal counts
        in stored order), named as search names them; positions outside the
        video table are left out. ValueError (kind VALUE) for a node out of
        range."""
    def complete(
        self,
        text: str,
        max_dist: int,
        limit: int | None,
        exact_prefix: int,
        transpositions: bool,
    ) -> list[tuple[str, int, int]]:
        """(term, distance, count) of the indexed terms that some prefix of
        lies within max_dist of text (the first exact_prefix characters
        typed exactly), closest first, then most searched (count is the
        term's own count, as suggest's), then by term; cut to limit."""
    def complete_stats(
        self,
        text: str,
        max_dist: int,
        limit: int | None,
        exact_prefix: int,
        transpositions: bool,
    ) -> dict[str, int | str]:
        """What one complete() call did: "nodes" (rows + children), "rows"
        the walks filled, "children" read while drawing terms, subtrees
        "expanded", "walks", and "path" ("fast" or "plain")."""
    def complete_many(
        self,
        texts: Sequence[str],
        max_dists: Sequence[int],
        limit: int | None,
        exact_prefix: int,
        transpositions: bool,
        threads: int,
    ) -> list[list[tuple[str, int, int]]]:
        """complete() for each text, texts[i] within max_dists[i]
        (ValueError unless there is one bound per text)."""
    def suggest_many(
        self,
        terms: Sequence[str],
        max_dist: int,
        limit: int | None,
        transpositions: bool,
        threads: int,
    ) -> list[list[tuple[str, int, int]]]: ...
    def search_many(
        self,
        terms: Sequence[str],
        max_dist: int,
        limit: int | None,
        include_prefix_nodes: bool | None,
        min_score: float | None,
        transpositions: bool,
        threads: int,
    ) -> list[list[tuple[str, float]]]: ...

#: The kinds of fault of a refused record, by the numbers the builder reports.
FAULTS: tuple[str, ...]

def parse_integer(text: str) -> int | None:
    """An integer as the builder reads counts and video identifiers written
    as text: optional ASCII whitespace (space, \\t, \\n, \\v, \\f, \\r), an
    optional sign, ASCII digits; -1 for one outside 0..4294967295, None for
    text that is no integer."""

@final
class NativeBuilder:
    """Collects records and builds an index from them (src/build/): each
    distinct term and video once, the sum of each (term, video) pair in 12
    bytes. Used by one thread at a time (RuntimeError otherwise)."""

    def __init__(
        self,
        steps: Sequence[str] = ...,
        normalize: Callable[[str], str] | None = None,
        min_compaction: int = ...,
        exclude_terms: Sequence[str] = ...,
        exclude_patterns: Sequence[str] = ...,
        min_count: int = 0,
    ) -> None:
        """`steps`: the normalisation ("nfkc", "casefold", "spaces"), applied
        to ASCII terms natively and to the others through `normalize`.
        `min_compaction`: entries of the pair log before its first
        compaction (small values for tests). `exclude_terms` and
        `exclude_patterns` (glob patterns, src/build/term_filter.h): terms
        (normalised already) whose records are counted as excluded, not
        added. `min_count`: terms whose summed count is below it are left
        out of the index, with their pairs and lone videos."""
    def add_records(
        self,
        records: Iterable[object],
        plain: Callable[[int, object], tuple[str, bytes | int, int]],
    ) -> tuple[int, object, int, str, str] | None:
        """Adds (term, video, count) tuples; one of types the builder does
        not take as they are (a str subclass, bytes-like, an int by
        __index__, ...) goes to plain(number, record) first, which returns
        it as (str, int or bytes, int) or raises. Stops at the first record
        the builder refuses and returns (number, record, fault, value,
        message); None when every record was added."""
    def add_arrow(
        self,
        data: object,
        term: str = "term",
        video: str = "video",
        count: str | None = "count",
        skip: bool = False,
        null_count_is_one: bool = False,
        on_batch: Callable[[int], object] | None = None,
        problem: str | None = None,
        weight: str | None = None,
    ) -> tuple[int, int, int, int, list[int], list[tuple[int, int, str, str]], str | None]:
        """Adds the rows of Arrow data (PyCapsule interface), without the
        interpreter lock; stops at the first refused row unless `skip`, and
        when on_batch raises (which propagates). A row whose `problem`
        column (text) is not null is refused as "unreadable", that text its
        message. The integer `weight` column multiplies each row's count
        (a null one, or one outside 0..4294967295, refuses the row as
        "time"). Returns (rows, added, excluded, refused, refused by fault,
        up to 5 examples as (row from 0, fault, value, message), the
        stream's error if it failed, else None)."""
    def arrays(
        self, video_top_n: int
    ) -> tuple[
        list[int], list[str], list[tuple[int, list[int], list[int]] | None], list[int], list[bytes]
    ]:
        """The arrays of the index before propagation, as Python lists."""
    def build(
        self,
        video_top_n: int,
        progress: Callable[[str, int, int], object] | None = None,
        release: bool = False,
    ) -> NativeIndex:
        """The index of the records so far, without the interpreter lock;
        `release` empties the builder first."""
    @property
    def records(self) -> int: ...
    @property
    def pairs(self) -> int:
        """Distinct (term, video) pairs at the last build (kept after a release)."""
    @property
    def excluded_records(self) -> int:
        """Records taken but not added: their terms are excluded."""
    @property
    def excluded_terms(self) -> int:
        """Distinct terms (normalised) excluded so far."""
    @property
    def dropped_terms(self) -> int:
        """Terms the last build left out below `min_count`."""
    @property
    def terms(self) -> int: ...
    @property
    def videos(self) -> int: ...
    @property
    def id_mode(self) -> str | None: ...
    @property
    def memory_bytes(self) -> int: ...
