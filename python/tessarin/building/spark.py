"""Building an index from a Spark DataFrame (`pip install 'tessarin[spark]'`).

The cluster does the heavy part: it normalises the terms (with the same
Python functions as every other path, `tessarin.normalization`) and
aggregates the search events into one row per (term, video) with its
count. The driver then streams those rows in Arrow batches, one at a time,
into the native builder (`IndexBuilder.add_arrow`) and writes the index
file. The driver holds one entry per distinct term and per (term, video)
pair, never the events: a few tens of bytes per term plus 12 per pair
while it reads, and the index as it is built.

    from pyspark.sql import SparkSession  # type: ignore[import-not-found,unused-ignore]
    from tessarin.spark import build_index

    spark = SparkSession.builder.getOrCreate()
    events = spark.read.parquet("s3://logs/searches/")      # columns query, video_id
    build_index(events, "videos.idx", term="query", video="video_id",
                normalization="nfkc+casefold+spaces")

`chunks` splits the aggregated rows by a hash of the term and collects one
part after another, so that the driver's JVM buffers at most one part's
batches (Spark collects partitions out of order).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any

from ..index import Index
from ..normalization import normalizer, steps_of
from .index_builder import IndexBuilder
from .records import DEFAULT_VIDEO_TOP_N

__all__ = ["aggregate", "build_index", "index_from_dataframe"]


def _normalize_column(frame: Any, column: str, name: str) -> Any:
    """The frame with `column` normalised on the executors, by a Python UDF
    running `tessarin.normalization` (no pandas needed, and no tessarin on
    the executors: the module travels with the UDF)."""
    from pyspark import cloudpickle  # type: ignore[import-not-found,unused-ignore]
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]

    from .. import normalization

    # Shipped by value: the executors need Python, not tessarin.
    cloudpickle.register_pickle_by_value(normalization)  # type: ignore[no-untyped-call,unused-ignore]
    normalize = normalizer(name)
    udf = F.udf(lambda t: None if t is None else normalize(t), "string", useArrow=False)
    return frame.withColumn(column, udf(F.col(column)))


def aggregate(
    frame: Any,
    *,
    term: str = "term",
    video: str = "video",
    count: str | None = None,
    normalization: str | None = None,
) -> Any:
    """A DataFrame of (term, video, count) rows, one per pair: the events of
    `frame` (each row one search, or `count` searches) normalised and
    summed on the cluster."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]

    columns = [F.col(term).alias("term"), F.col(video).alias("video")]
    if count is not None:
        columns.append(F.col(count).cast("long").alias("count"))
    frame = frame.select(*columns)
    if normalization is not None:
        frame = _normalize_column(frame, "term", "+".join(steps_of(normalization)))
    total = F.count(F.lit(1)) if count is None else F.sum("count")
    return frame.groupBy("term", "video").agg(total.cast("long").alias("count"))


def _arrow_batches(frame: Any) -> Iterator[Any]:
    """The rows of `frame` as Arrow batches, streamed from the JVM one at a
    time (in whatever order the partitions finish)."""
    from pyspark.serializers import UTF8Deserializer, read_int  # type: ignore[import-not-found,unused-ignore]
    from pyspark.sql.pandas.serializers import ArrowStreamSerializer  # type: ignore[import-not-found,unused-ignore]
    from pyspark.util import _load_from_socket  # type: ignore[import-not-found,unused-ignore]

    class _Streaming(ArrowStreamSerializer):  # type: ignore[misc,unused-ignore]
        """The batches as they arrive, then the JVM's trailer: the order of
        the batches (not needed: the builder is order-free) or an error."""

        def load_stream(self, stream: Any) -> Iterator[Any]:
            yield from super().load_stream(stream)
            n = read_int(stream)  # type: ignore[no-untyped-call,unused-ignore]
            if n == -1:
                message = UTF8Deserializer().loads(stream)  # type: ignore[no-untyped-call,unused-ignore]
                raise RuntimeError(f"Spark failed: {message}")
            for _ in range(n):
                read_int(stream)  # type: ignore[no-untyped-call,unused-ignore]

    port, secret, server = frame._jdf.collectAsArrowToPython()
    try:
        with _load_from_socket((port, secret), _Streaming()) as stream:
            yield from stream
    finally:
        server.getResult()  # raises what the JVM's serving thread raised


def index_from_dataframe(
    frame: Any,
    *,
    term: str = "term",
    video: str = "video",
    count: str | None = None,
    normalization: str | None = None,
    video_top_n: int = DEFAULT_VIDEO_TOP_N,
    chunks: int = 1,
    on_batch: Callable[[int], None] | None = None,
) -> Index:
    """The index of a DataFrame of search events (see `aggregate`), built
    on the driver from the aggregated rows, streamed in Arrow batches."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]

    if chunks < 1:
        raise ValueError(f"chunks must be 1 or more, not {chunks}")
    name = None if normalization is None else "+".join(steps_of(normalization))
    pairs = aggregate(frame, term=term, video=video, count=count, normalization=name)
    builder = IndexBuilder()
    rows = 0
    if chunks > 1:
        pairs = pairs.withColumn("_part", F.pmod(F.hash("term"), F.lit(chunks))).persist()
    try:
        for part in range(chunks):
            selected = pairs if chunks == 1 else pairs.where(F.col("_part") == part).drop("_part")
            for batch in _arrow_batches(selected):
                builder.add_arrow(batch)
                rows += batch.num_rows
                if on_batch is not None:
                    on_batch(rows)
    finally:
        if chunks > 1:
            pairs.unpersist()
    # The terms were normalised on the cluster: the index records it, and
    # applies it to queries, without normalising them a second time here.
    index = builder.index(video_top_n=video_top_n, release=True)
    if name is not None:
        index = Index._from_native(index._native, video_top_n=video_top_n, normalization=name)
    return index


def build_index(
    frame: Any,
    out: str | os.PathLike[str],
    *,
    term: str = "term",
    video: str = "video",
    count: str | None = None,
    normalization: str | None = None,
    video_top_n: int = DEFAULT_VIDEO_TOP_N,
    chunks: int = 1,
) -> Index:
    """Builds the index of a DataFrame of search events and saves it to
    `out` (whole or not at all); returns it."""
    index = index_from_dataframe(
        frame,
        term=term,
        video=video,
        count=count,
        normalization=normalization,
        video_top_n=video_top_n,
        chunks=chunks,
    )
    index.save(out)
    return index
