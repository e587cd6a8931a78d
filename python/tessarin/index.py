"""`Index`: the package's own face of an index, for services and pipelines.

An `Index` answers the same questions as `PrefixSearch` (the same distances,
the same video scores) but behaves as a Python library is expected to:

* queries release the interpreter lock while they walk, so threads (and
  `asyncio.to_thread`) run them on all cores; `suggest_many` and
  `search_many` spread a batch over a thread pool inside the engine;
* suggestions come closest first, then most searched, then by term, and the
  limit cuts after that order, so an exact match is never left out;
* `complete` offers the terms that what is being typed begins, typos
  allowed, in the same order, without reading whole subtrees;
* results are small named tuples;
* a damaged index raises `CorruptIndexError`, an ordinary `Exception`;
* arguments are checked before any work, in plain words: TypeError for a
  value of the wrong type (a str where a list of queries is expected, a
  bool or str for a number), ValueError for one out of range (`max_dist`
  above `tessarin.defaults.MAX_DIST_CAP`, a `min_score` outside 0 to 1);
* index files carry a header with a checksum and metadata (see
  `tessarin.storage.container`), checked when they are loaded; an index file
  of version 2 (what `save` writes) is used in place, not decoded;
* an `Index` pickles (by its saved form), copies and takes weak references.
"""

from __future__ import annotations

import contextlib
import dataclasses
import mmap
import os
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, NoReturn, Union, overload

from ._native import ErrorKind, NativeIndex, set_corrupt_index_error
from ._version import __version__
from .arguments import exact_prefix as _exact_prefix
from .arguments import flag as _flag
from .arguments import fraction as _fraction
from .arguments import integer as _integer
from .arguments import limit as _limit
from .arguments import max_dist as _max_dist
from .arguments import max_dist_or_auto as _max_dist_or_auto
from .arguments import prefix as _prefix
from .arguments import text as _text
from .arguments import texts as _texts
from .arguments import threads as _threads
from .arguments import video_top_n as _video_top_n
from .building.records import DEFAULT_VIDEO_TOP_N, RecordBuilder
from .catalog import Catalog, FilterSpec, filter_of
from .defaults import COMPLETE_LIMIT, COMPLETE_MAX_DIST, MAX_DIST, MAX_DIST_CAP, auto_max_dist
from .errors import CorruptIndexError, IndexFormatError, NotAnIndexError, TessarinError
from .explain import ExplainedMatch
from .explain import explain as _explain
from .normalization import KNOWN_NORMALIZATIONS, normalizer
from .storage import container
from .storage.container import Metadata
from .storage.files import is_sealed, map_file, open_regular, read_descriptor, write_file

if TYPE_CHECKING:
    from _tessarin import PrefixSearch

__all__ = [
    "Completion",
    "Index",
    "NodeMatch",
    "PooledNode",
    "Suggestion",
    "UncheckedIndexWarning",
    "VideoMatch",
]

set_corrupt_index_error(CorruptIndexError)

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, mmap.mmap]


class UncheckedIndexWarning(UserWarning):
    """An index was loaded from a bare saved form, which has no checksum:
    damage to it may go unnoticed. Save it again with `Index.save`."""


class Suggestion(NamedTuple):
    """An indexed term close to the query."""

    term: str
    #: Edits between the query and the term.
    distance: int
    #: How often the term itself was searched. (Shadows tuple.count, which
    #: a suggestion has no use for.)
    count: int  # type: ignore[assignment]


class Completion(NamedTuple):
    """An indexed term that the text typed is the beginning of, typos
    allowed (`Index.complete`)."""

    term: str
    #: Edits between the text and the closest prefix of the term.
    distance: int
    #: How often the term itself was searched. (Shadows tuple.count.)
    count: int  # type: ignore[assignment]


class VideoMatch(NamedTuple):
    """A video and its score for the query, 0 < score <= 1."""

    video: str
    score: float


class PooledNode(NamedTuple):
    """A term or prefix whose videos a search pools (`Index.pooled_nodes`)."""

    node: int
    #: The node's term: the characters from the root down to it.
    term: str
    distance: int
    #: Whether a searched term ends at this node (else it is a prefix).
    is_terminal: bool
    #: Searches of the term itself when only terms are pooled; when prefix
    #: nodes are, of every term the node begins. (Shadows tuple.count.)
    count: int  # type: ignore[assignment]
    #: The node's weight in the scores: 1 for an exact term, less with each
    #: edit, less again for a prefix.
    weight: float


class NodeMatch(NamedTuple):
    """A trie node within the distance bound, for callers that score
    videos themselves (`Index.node_videos` gives its videos)."""

    node: int
    #: The node's term: the characters from the root down to it.
    term: str
    distance: int
    #: Whether a searched term ends at this node (else it is a prefix).
    is_terminal: bool
    #: Searches of the node's term and of every longer term below it.
    total_count: int


def _size(count: int) -> str:
    for unit in ("bytes", "kB", "MB"):
        if count < 1000:
            return f"{count:,.0f} {unit}" if unit == "bytes" else f"{count:,.1f} {unit}"
        count /= 1000  # type: ignore[assignment]
    return f"{count:,.1f} GB"


def _restore(data: bytes) -> Index:
    return Index.load(data)


class Index:
    """A typo-tolerant index of search terms and the videos they lead to.

    Make one with `Index.load` (an index file, or bytes), `Index.build`
    (records) or `Index.from_prefix_search`; save it with `save`. An index
    never changes once made, so any number of threads may query it at once.
    """

    __slots__ = ("__weakref__", "_metadata", "_native", "_normalize")

    _native: NativeIndex
    _metadata: Metadata
    # The index's normalisation, applied to every query (None: none).
    _normalize: Callable[[str], str] | None

    def __init__(self) -> None:
        raise TypeError("make an Index with Index.load, Index.build or Index.from_prefix_search")

    @classmethod
    def _make(cls, native: NativeIndex, metadata: Metadata) -> Index:
        if (
            metadata.normalization is not None
            and metadata.normalization not in KNOWN_NORMALIZATIONS
        ):
            raise IndexFormatError(
                f"the index was built with the term normalisation {metadata.normalization!r}, "
                "which this release does not know; queries would not be normalised the same way"
            )
        index = object.__new__(cls)
        object.__setattr__(index, "_native", native)
        object.__setattr__(index, "_metadata", metadata)
        normalize = None if metadata.normalization is None else normalizer(metadata.normalization)
        object.__setattr__(index, "_normalize", normalize)
        return index

    def _query(self, value: object) -> str:
        """A query as the index's terms are: checked, then normalised."""
        term = _text(value)
        return term if self._normalize is None else self._normalize(term)

    # Making and saving.

    @classmethod
    def load(cls, source: Source, *, verify: bool = True, in_place: bool = False) -> Index:
        """Loads an index from a path or from bytes (`bytes`, `bytearray`,
        `memoryview`, `mmap`).

        An index file of version 2 (what `save` writes) is used where it
        lies, in the layout the engine walks: loading checks it (its
        structure always, its checksums unless `verify=False`) and decodes
        nothing. A path names a regular file (a FIFO or a device is refused
        at once, never read). By default the file is read once, in one
        sequential pass, into memory of the index's own, which nothing done
        to the file afterwards can change: a file rewritten, truncated or
        replaced meanwhile gives an error or the other index, never a crash.
        With `in_place=True` it is mapped instead, read-only: nothing is
        read until a query needs it, and the pages are the page cache's,
        shared by every process that maps the file, but the file must then
        never change while it is mapped: replace it by rename (as `save`,
        `tessarin build` and `tessarin convert` do), never rewrite it in
        place (`cp new.idx live.idx` would make queries read the new bytes
        unchecked, or die of SIGBUS if the file shrinks). A file that
        cannot change (a memory file sealed against writes and shrinking,
        `tessarin.storage.files.sealed_copy`, named /proc/PID/fd/N) is
        mapped either way. A version 1 file (and `in_place` makes no
        difference to it) is read into memory and decoded.

        Buffers: `bytes`, which nobody can change, are used in place and
        kept alive for as long as the index (or a copy of it) lives;
        `bytearray`, `memoryview` and `mmap`, which their owner may change,
        are read, not kept: the caller may close or change them once this
        returns. A buffer must not change while this runs.

        `verify` (default True) checks the index's checksums, at several
        GB/s; `verify=False` skips those of the arrays, not the structural
        checks, which run in time linear in the index either way. A bare
        saved form, as `PrefixSearch.to_bytes` writes it, loads too but
        cannot be checked: that gives an `UncheckedIndexWarning`.

        Raises `NotAnIndexError`, `CorruptIndexError` or `IndexFormatError`
        (all `TessarinError`), or `OSError` for a file that cannot be read
        (`NotARegularFileError` for one that is not a regular file).
        """
        verify = _flag(verify, "verify")
        in_place = _flag(in_place, "in_place")
        if isinstance(source, (str, os.PathLike)):
            return cls._load_path(os.fspath(source), verify, in_place)
        if not isinstance(source, (bytes, bytearray, memoryview, mmap.mmap)):
            raise TypeError(
                "Index.load takes a path, bytes, bytearray, memoryview or mmap, "
                f"not {type(source).__name__}"
            )
        return cls._load_buffer(source, verify, keep=type(source) is bytes)

    @classmethod
    def _load_path(cls, path: str, verify: bool, in_place: bool, trusted: bool = False) -> Index:
        # `trusted` (never from `load`): a sealed file whose bytes passed
        # every check of `load` before, in a process that vouches for them
        # (a server's supervisor, `tessarin.server.sharing`): its mapped form
        # is checked no further.
        fd = open_regular(path)
        try:
            # A version 2 file's form is used in place: it keeps `data`.
            kept = (
                container.version_of(os.pread(fd, container.HEADER_SIZE, 0))
                == container.MAPPED_VERSION
            )
            if kept and (in_place or is_sealed(fd)):
                data: mmap.mmap | bytes = map_file(fd, populate=verify)
            else:
                data = read_descriptor(fd)
        finally:
            os.close(fd)
        used = False
        try:
            if not data:
                raise NotAnIndexError("an empty file is not a tessarin index")
            trusted = trusted and isinstance(data, mmap.mmap)
            index = cls._load_buffer(data, verify, keep=True, stacklevel=4, trusted=trusted)
            used = kept
            return index
        except TessarinError as error:
            failure = type(error)(f"{path}: {error}")
            if hasattr(error, "kind"):
                failure.kind = error.kind  # type: ignore[attr-defined]
            raise failure from None
        finally:
            if isinstance(data, mmap.mmap) and not used:
                # A failed load, or an index decoded from it, leaves no view
                # of it; were one left, the memory would go with it, never an
                # error here.
                with contextlib.suppress(BufferError):
                    data.close()

    @classmethod
    def _load_buffer(
        cls,
        data: bytes | bytearray | memoryview | mmap.mmap,
        verify: bool,
        *,
        keep: bool,
        stacklevel: int = 3,
        trusted: bool = False,
    ) -> Index:
        # Every view of `data` made here is released on the way out, error or
        # not, so that the caller can close or resize its buffer whatever
        # happened; a mapped form read in place holds an export of `data`
        # itself, for as long as its index lives.
        with memoryview(data) as view, view.cast("B") as flat:
            if container.is_container(flat):
                contents = container.parse_file(flat, verify=verify)
                with contents.form as form:
                    if contents.version == container.SAVED_VERSION:
                        native = NativeIndex.from_saved(form)
                    else:
                        native = NativeIndex.from_mapped(
                            data if keep else flat,
                            contents.offset,
                            len(form),
                            keep,
                            verify,
                            trusted and keep,
                        )
                metadata = contents.metadata
                found = (native.node_count, native.term_count, native.video_count, native.id_mode)
                said = (metadata.nodes, metadata.terms, metadata.videos, metadata.id_mode)
                if found != said:
                    raise CorruptIndexError(
                        "the index file's metadata does not describe the index it holds"
                    )
                return cls._make(native, metadata)
            try:
                native = NativeIndex.from_saved(flat)
            except CorruptIndexError as error:
                if getattr(error, "kind", None) is not ErrorKind.DECODE:
                    raise  # a saved form, but a damaged one
                raise NotAnIndexError(
                    f"not a tessarin index file, nor a saved index ({error})"
                ) from None
        warnings.warn(
            "loaded a bare saved index, which has no checksum: damage to it may go "
            "unnoticed (Index.save writes a checked index file)",
            UncheckedIndexWarning,
            stacklevel=stacklevel,
        )
        metadata = dataclasses.replace(cls._metadata_of(native, None), builder="", created="")
        return cls._make(native, metadata)

    @staticmethod
    def _metadata_of(
        native: NativeIndex,
        video_top_n: int | None,
        normalization: str | None = None,
        build_options: dict[str, str | int] | None = None,
    ) -> Metadata:
        return Metadata(
            build_options=build_options,
            nodes=native.node_count,
            terms=native.term_count,
            videos=native.video_count,
            id_mode=native.id_mode,
            video_top_n=video_top_n,
            normalization=normalization,
            builder=f"tessarin {__version__}",
            created=container.now(),
        )

    @classmethod
    def _from_native(
        cls,
        native: NativeIndex,
        *,
        video_top_n: int | None,
        normalization: str | None,
        build_options: dict[str, str | int] | None = None,
    ) -> Index:
        """From an index the package's builder made: no copy, no warning."""
        return cls._make(
            native, cls._metadata_of(native, video_top_n, normalization, build_options)
        )

    @classmethod
    def from_prefix_search(cls, index: PrefixSearch, *, video_top_n: int | None = None) -> Index:
        """The same index as a `PrefixSearch` (`video_top_n`, if known, is
        recorded in the metadata). Arrays that `PrefixSearch` tolerates but
        that contradict themselves (counts above totals, equal sibling
        labels, a video twice, ...) raise `CorruptIndexError`, as
        `Index.load` would refuse them: an `Index` always saves and loads."""
        if video_top_n is not None:
            video_top_n = _video_top_n(video_top_n)
        return cls._from_saved(index.to_bytes(), video_top_n=video_top_n)

    @classmethod
    def _from_saved(cls, saved: bytes, video_top_n: int | None = None) -> Index:
        """From a saved form the package itself made: no warning."""
        native = NativeIndex.from_saved(saved)
        return cls._make(native, cls._metadata_of(native, video_top_n))

    @classmethod
    def build(
        cls,
        records: Iterable[tuple[Any, ...]],
        *,
        video_top_n: int = DEFAULT_VIDEO_TOP_N,
        normalization: str | None = None,
        half_life: object = None,
        as_of: object = None,
        exclude: Iterable[str] | None = None,
        min_count: int | None = None,
    ) -> Index:
        """An index of (term, video, count) records (see `IndexBuilder`);
        `normalization` (e.g. "casefold") is applied to the terms and, from
        then on, to every query. `half_life` and `as_of` weigh (term,
        video, count, time) records by their age; `exclude` keeps terms
        out, `min_count` drops rare ones (see `IndexBuilder`)."""
        video_top_n = _video_top_n(video_top_n)
        builder = RecordBuilder(
            normalization=normalization,
            half_life=half_life,
            as_of=as_of,
            exclude=exclude,
            min_count=min_count,
        )
        builder.add_many(records)
        return cls._from_native(
            builder.native_index(video_top_n, release=True),
            video_top_n=video_top_n,
            normalization=builder.normalization,
            build_options=builder.build_options(),
        )

    def to_bytes(self, *, version: int = container.SAVED_VERSION) -> bytes:
        """The index file's bytes: header, metadata and saved form (format
        version 1, what every release reads), or with `version=2` the
        mapped form, what `save` writes."""
        return b"".join(self._file_chunks(version))

    def _file_chunks(self, version: int = container.FORMAT_VERSION) -> list[bytes]:
        """The index file's bytes in two parts: header, then form."""
        if version == container.SAVED_VERSION:
            payload = self._native.to_saved()
            return [container.container_header(self._metadata, payload), payload]
        if version != container.MAPPED_VERSION:
            raise ValueError(
                f"version must be {container.SAVED_VERSION} or {container.MAPPED_VERSION}, "
                f"not {version!r}"
            )
        form = self._native.to_mapped()
        return [container.mapped_header(self._metadata, len(form)), form]

    def save(
        self, path: str | os.PathLike[str], *, version: int = container.FORMAT_VERSION
    ) -> None:
        """Writes the index file, whole or not at all: through a temporary
        file in the same folder, which a process killed midway does not
        leave behind, put in place by rename (never written over in place,
        so that a process that maps the old file keeps reading it whole). A
        symbolic link is followed, not replaced. A path that names something
        other than a regular file (a FIFO, a device) is refused, never
        replaced, unless it names one of the process's open descriptors
        (/dev/stdout, /dev/fd/N), written in place.

        `version` 2 (the default) writes the mapped form, which `load` uses
        in place; 1 the saved form, which every earlier release reads.

        Raises OSError (`NotARegularFileError`, `IsADirectoryError`, ...)."""
        write_file(os.fspath(path), self._file_chunks(version))

    def to_prefix_search(self) -> PrefixSearch:
        """The same index as the extension's `PrefixSearch`."""
        from _tessarin import PrefixSearch

        return PrefixSearch.from_bytes(self._native.to_saved())

    # Queries. Every argument is checked for its type and range (TypeError,
    # ValueError) before the engine sees it.

    def suggest(
        self,
        term: str,
        max_dist: int = MAX_DIST,
        limit: int | None = None,
        *,
        transpositions: bool = False,
    ) -> list[Suggestion]:
        """Indexed terms within `max_dist` edits of `term`: closest first,
        then the most searched, then by term; at most `limit`.

        An edit inserts, deletes or substitutes one character; with
        `transpositions`, swapping two neighbours is one edit too (optimal
        string alignment). Matching is exact on characters, after the
        index's normalisation (if it was built with one) is applied to `term`.
        `max_dist` is at most `tessarin.defaults.MAX_DIST_CAP` (4).
        """
        found = self._native.suggest(
            self._query(term), _max_dist(max_dist), _limit(limit), _flag(transpositions)
        )
        return [Suggestion._make(entry) for entry in found]

    @overload
    def search(
        self,
        term: str,
        max_dist: int = ...,
        limit: int | None = ...,
        *,
        prefix: bool | None = ...,
        min_score: float | None = ...,
        transpositions: bool = ...,
        offset: int = ...,
        filter: FilterSpec = ...,
        catalog: Catalog | None = ...,
        explain: Literal[False] = ...,
    ) -> list[VideoMatch]: ...

    @overload
    def search(
        self,
        term: str,
        max_dist: int = ...,
        limit: int | None = ...,
        *,
        prefix: bool | None = ...,
        min_score: float | None = ...,
        transpositions: bool = ...,
        offset: int = ...,
        filter: FilterSpec = ...,
        catalog: Catalog | None = ...,
        explain: Literal[True],
    ) -> list[ExplainedMatch]: ...

    @overload
    def search(
        self,
        term: str,
        max_dist: int = ...,
        limit: int | None = ...,
        *,
        prefix: bool | None = ...,
        min_score: float | None = ...,
        transpositions: bool = ...,
        offset: int = ...,
        filter: FilterSpec = ...,
        catalog: Catalog | None = ...,
        explain: bool = ...,
    ) -> list[VideoMatch] | list[ExplainedMatch]: ...

    def search(
        self,
        term: str,
        max_dist: int = MAX_DIST,
        limit: int | None = None,
        *,
        prefix: bool | None = None,
        min_score: float | None = None,
        transpositions: bool = False,
        offset: int = 0,
        filter: FilterSpec = None,
        catalog: Catalog | None = None,
        explain: bool = False,
    ) -> list[VideoMatch] | list[ExplainedMatch]:
        """The videos for what was typed, best first, with the scores of
        `PrefixSearch.fuzzy_match_video`.

        `prefix`: None pools partial words only when no complete term
        matches, True always, False never. Videos scoring below `min_score`
        (a number from 0 to 1; default `tessarin.defaults.MIN_SCORE`) are
        left out. `pooled_nodes` tells which nodes were pooled.

        Paging: the videos from position `offset` (from 0) of the ranked
        list, at most `limit` of them.

        `filter` keeps the videos whose row in `catalog` (a
        `tessarin.Catalog`) meets every condition: a mapping of column to a
        value or a list of values, any of which matches, compared as text
        (``{"language": ["en", "fr"], "country": "BR"}``). Videos the
        catalogue lacks never pass a filter. The filter applies to the
        ranked list, whose scores it does not change: the page is the one
        the unfiltered list would give with the other videos struck out.
        Every video a search can rank is asked for when a filter is given
        (not only the first `offset + limit`), but that is still only the
        videos the pooled nodes keep: each node of the index keeps its top
        `video_top_n` videos (by count, `IndexBuilder`), so a video that is
        in no matched node's top N is not found, however well it meets the
        filter. A narrow filter (a language few of the popular videos have)
        can thus find few or none for a short or common query; an index
        built with a larger `video_top_n` finds more.

        `explain=True` gives `ExplainedMatch`es instead: each video with
        the contribution of every pooled term or prefix to its score (they
        add up to it; see `tessarin.explain`), at the cost of two more walks.
        """
        query = self._query(term)
        bound = _max_dist(max_dist)
        pooling = _prefix(prefix)
        swaps = _flag(transpositions)
        count = _limit(limit)
        start = _integer("offset", offset)
        if catalog is not None and not isinstance(catalog, Catalog):
            raise TypeError(f"catalog must be a tessarin.Catalog, not {type(catalog).__name__}")
        filters = filter_of(filter)
        if filters:
            if catalog is None:
                raise ValueError("a filter needs a catalog to filter by")
            catalog.check_filters(filters)
        asked = None if filters or count is None else min(start + count, 2**64 - 1)
        found = self._native.search(
            query, bound, asked, pooling, _fraction("min_score", min_score), swaps
        )
        if filters:
            assert catalog is not None
            found = [entry for entry in found if catalog.matches(entry[0], filters)]
        page = found[start:] if count is None else found[start : start + count]
        if _flag(explain, "explain"):
            return _explain(self._native, query, bound, pooling, swaps, page)
        return [VideoMatch._make(entry) for entry in page]

    def pooled_nodes(
        self,
        term: str,
        max_dist: int = MAX_DIST,
        limit: int | None = None,
        *,
        prefix: bool | None = None,
        transpositions: bool = False,
    ) -> list[PooledNode]:
        """The terms and prefixes whose videos `search` pools for the same
        arguments, with their weights in the scores: nearest first, then the
        most searched, then by term; at most `limit`."""
        found = self._native.pooled_nodes(
            self._query(term),
            _max_dist(max_dist),
            _limit(limit),
            _prefix(prefix),
            _flag(transpositions),
        )
        return [PooledNode._make(entry) for entry in found]

    def search_pooled(
        self,
        term: str,
        max_dist: int = MAX_DIST,
        limit: int | None = None,
        *,
        prefix: bool | None = None,
        min_score: float | None = None,
        transpositions: bool = False,
        pooled_limit: int | None = None,
    ) -> tuple[list[VideoMatch], list[PooledNode]]:
        """`search` and `pooled_nodes` (cut to `pooled_limit`) for the same
        arguments, from one walk of the index rather than two."""
        videos, pooled = self._native.search_pooled(
            self._query(term),
            _max_dist(max_dist),
            _limit(limit),
            _prefix(prefix),
            _fraction("min_score", min_score),
            None if pooled_limit is None else _limit(_integer("pooled_limit", pooled_limit)),
            _flag(transpositions),
        )
        return [VideoMatch._make(v) for v in videos], [PooledNode._make(p) for p in pooled]

    def match_nodes(
        self,
        term: str,
        max_dist: int = MAX_DIST,
        *,
        terminal_only: bool = False,
        transpositions: bool = False,
    ) -> list[NodeMatch]:
        """Every trie node within `max_dist` of `term`, in trie order, for
        scoring of one's own."""
        # A str for an index that normalises nothing, and an int in range,
        # pass without a call; anything else is checked.
        query = term if type(term) is str and self._normalize is None else self._query(term)
        if type(max_dist) is not int or not 0 <= max_dist <= MAX_DIST_CAP:
            max_dist = _max_dist(max_dist)
        return self._native.match_nodes(
            query,
            max_dist,
            _flag(terminal_only, "terminal_only"),
            _flag(transpositions),
            NodeMatch,
        )

    def complete(
        self,
        text: str,
        max_dist: int | str = COMPLETE_MAX_DIST,
        limit: int | None = COMPLETE_LIMIT,
        *,
        exact_prefix: int = 0,
        transpositions: bool = False,
    ) -> list[Completion]:
        """The indexed terms that `text` is the beginning of, within
        `max_dist` edits: what a search box offers while it is typed.

        A term completes the text when some beginning of it (the empty one
        and the whole term included) lies within `max_dist` edits of the
        text; its distance is the least such. Completions come closest
        first, then the most searched (the term's own count), then by term;
        at most `limit` (None: all), so an exact completion is never left
        out for a fuzzy one.

        `max_dist` is an integer up to `tessarin.defaults.MAX_DIST_CAP` or
        "auto": 0 edits for a text of up to 2 characters, 1 up to 5, then 2
        (`tessarin.defaults.auto_max_dist`), counted on the text after the
        index's normalisation. `exact_prefix=n`: the first n characters must
        be typed right (all of a shorter text). `transpositions`: swapping
        two neighbours is one edit (optimal string alignment).
        """
        query = self._query(text)
        bound = _max_dist_or_auto(max_dist)
        found = self._native.complete(
            query,
            auto_max_dist(query) if bound is None else bound,
            _limit(limit, 1),
            _exact_prefix(exact_prefix),
            _flag(transpositions),
        )
        return [Completion._make(entry) for entry in found]

    def complete_many(
        self,
        texts: Sequence[str],
        max_dist: int | str = COMPLETE_MAX_DIST,
        limit: int | None = COMPLETE_LIMIT,
        *,
        exact_prefix: int = 0,
        transpositions: bool = False,
        threads: int | None = None,
    ) -> list[list[Completion]]:
        """`complete` for each of `texts` (a list of str: a single str is
        refused), on `threads` threads (default: one per core); results in
        the order of `texts`. With "auto", each text gets its own bound."""
        queries = [self._query(t) for t in _texts(texts, "texts")]
        bound = _max_dist_or_auto(max_dist)
        bounds = [auto_max_dist(q) if bound is None else bound for q in queries]
        found = self._native.complete_many(
            queries,
            bounds,
            _limit(limit, 1),
            _exact_prefix(exact_prefix),
            _flag(transpositions),
            _threads(threads),
        )
        return [[Completion._make(entry) for entry in one] for one in found]

    def complete_stats(
        self,
        text: str,
        max_dist: int | str = COMPLETE_MAX_DIST,
        limit: int | None = COMPLETE_LIMIT,
        *,
        exact_prefix: int = 0,
        transpositions: bool = False,
    ) -> dict[str, int | str]:
        """What `complete` does for these arguments, for benchmarks:
        "nodes" touched (rows the walks filled, "rows", and children read
        while drawing terms, "children"), subtrees "expanded", "walks", and
        the "path" taken ("fast", or "plain" on an index that is no tree)."""
        query = self._query(text)
        bound = _max_dist_or_auto(max_dist)
        return self._native.complete_stats(
            query,
            auto_max_dist(query) if bound is None else bound,
            _limit(limit, 1),
            _exact_prefix(exact_prefix),
            _flag(transpositions),
        )

    def node_videos(self, node: int) -> list[tuple[str, int]]:
        """The top videos of a node's subtree with their counts, highest
        first."""
        # The engine refuses a node out of range; any past its 64-bit
        # positions is out of range too.
        return self._native.node_videos(min(_integer("node", node), 2**64 - 1))

    def suggest_many(
        self,
        terms: Sequence[str],
        max_dist: int = MAX_DIST,
        limit: int | None = None,
        *,
        transpositions: bool = False,
        threads: int | None = None,
    ) -> list[list[Suggestion]]:
        """`suggest` for each of `terms` (a list of str: a single str is
        refused), on `threads` threads (default: one per core); results in
        the order of `terms`."""
        queries = [self._query(t) for t in _texts(terms)]
        found = self._native.suggest_many(
            queries, _max_dist(max_dist), _limit(limit), _flag(transpositions), _threads(threads)
        )
        return [[Suggestion._make(entry) for entry in one] for one in found]

    def search_many(
        self,
        terms: Sequence[str],
        max_dist: int = MAX_DIST,
        limit: int | None = None,
        *,
        prefix: bool | None = None,
        min_score: float | None = None,
        transpositions: bool = False,
        threads: int | None = None,
    ) -> list[list[VideoMatch]]:
        """`search` for each of `terms` (a list of str: a single str is
        refused), on `threads` threads (default: one per core); results in
        the order of `terms`."""
        queries = [self._query(t) for t in _texts(terms)]
        found = self._native.search_many(
            queries,
            _max_dist(max_dist),
            _limit(limit),
            _prefix(prefix),
            _fraction("min_score", min_score),
            _flag(transpositions),
            _threads(threads),
        )
        return [[VideoMatch._make(entry) for entry in one] for one in found]

    # What the index is.

    @property
    def metadata(self) -> Metadata:
        """What the index file says about the index."""
        return self._metadata

    @property
    def node_count(self) -> int:
        """Nodes of the trie, the root included."""
        return self._native.node_count

    @property
    def term_count(self) -> int:
        """Distinct indexed terms."""
        return self._native.term_count

    @property
    def video_count(self) -> int:
        """Entries of the video table."""
        return self._native.video_count

    @property
    def id_mode(self) -> str:
        """ "uuid" or "int": the kind of video identifier."""
        return self._native.id_mode

    @property
    def video_top_n(self) -> int | None:
        """How many videos each node keeps, if the index file says."""
        return self._metadata.video_top_n

    @property
    def memory_bytes(self) -> int:
        """Bytes of memory the loaded index takes (for an index used in
        place, the bytes of its form, whether private or shared), with what
        has been derived from it for the search."""
        return self._native.memory_bytes

    def __len__(self) -> int:
        return self._native.term_count

    def __repr__(self) -> str:
        return (
            f"<tessarin.Index: {self.term_count:,} terms, {self.node_count:,} nodes, "
            f"{self.video_count:,} videos ({self.id_mode}), {_size(self.memory_bytes)} in memory>"
        )

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (_restore, (self.to_bytes(),))

    def __copy__(self) -> Index:
        return self  # immutable

    def __deepcopy__(self, memo: dict[int, Any]) -> Index:
        return self

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError("an Index cannot be changed")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError("an Index cannot be changed")
