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

Recency (`half_life`, `as_of`, `time`): each search weighs 2^(-age /
half_life) in thousandths, by the rule of `tessarin.building.recency`,
computed on the cluster (Java's `pow`, which agrees with C's but for the
last bit). `as_of` defaults to the latest time of the frame. Times are
timestamps, dates, integer Unix times (seconds, or milliseconds from
10^11) or text that `to_timestamp` reads (without an offset: in the
session's time zone; set spark.sql.session.timeZone to UTC to agree with
the command line). Rows without a time are left out.

The daily pipeline on a cluster: `write_aggregate(events, path)` writes a
day's (term, video, count, day) rows as Parquet, as `tessarin aggregate`
does; `tessarin build` (or `read_records`) reads a folder of them.
"""

from __future__ import annotations

import datetime
import os
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from ..index import Index
from ..normalization import normalizer, steps_of
from .exclusions import Exclusions
from .index_builder import IndexBuilder
from .recency import MILLISECONDS_FROM, Recency
from .records import DEFAULT_VIDEO_TOP_N, U32_MAX

__all__ = [
    "aggregate",
    "build_index",
    "daily_aggregate",
    "index_from_dataframe",
    "write_aggregate",
]


_EPOCH_TEXT = "1970-01-01T00:00:00Z"


def instant_of_micros(micros: int) -> datetime.datetime:
    return datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(
        microseconds=micros
    )


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


def _micros(frame: Any, column: str) -> Any:
    """The column of `frame` as microseconds since the Unix epoch (see the
    module), null where there is no time."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]
    from pyspark.sql import types as T  # type: ignore[import-not-found,unused-ignore]

    kind = frame.schema[column].dataType
    value = F.col(column)

    def unix(number: Any) -> Any:
        number = number.cast("long")
        return (
            F.when((number < 0) | (number >= 10**16), F.lit(None))
            .when(number >= MILLISECONDS_FROM, number * 1000)
            .otherwise(number * 1_000_000)
        )

    if isinstance(kind, T.TimestampType):
        return F.unix_micros(value)
    if isinstance(kind, T.DateType):
        return F.unix_date(value).cast("long") * 86_400_000_000
    if isinstance(kind, T.IntegralType):
        return unix(value)
    if isinstance(kind, T.StringType):
        text = F.trim(value)
        return F.when(text.rlike("^[0-9]{1,16}$"), unix(text)).otherwise(
            F.unix_micros(F.to_timestamp(value))
        )
    raise TypeError(f"the time column {column!r} holds {kind.simpleString()}: expected times")


def _units(micros: Any, recency: Recency) -> Any:
    """`Recency.units` as a Spark column."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]

    assert recency.as_of is not None
    age = F.when(micros > recency.as_of, F.lit(0)).otherwise(F.lit(recency.as_of) - micros)
    weight = F.pow(F.lit(2.0), -(age.cast("double") / F.lit(float(recency.half_life))))
    return F.floor(weight * recency.scale + 0.5).cast("long")


def aggregate(
    frame: Any,
    *,
    term: str = "term",
    video: str = "video",
    count: str | None = None,
    normalization: str | None = None,
    recency: Recency | None = None,
    time: str = "time",
) -> Any:
    """A DataFrame of (term, video, count) rows, one per pair: the events of
    `frame` (each row one search, or `count` searches) normalised and
    summed on the cluster; with `recency`, each search weighed by its
    `time` in units (sums stop at 4294967295, as an index's counts do)."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]

    columns = [F.col(term).alias("term"), F.col(video).alias("video")]
    searches = F.lit(1).cast("long") if count is None else F.col(count).cast("long")
    if recency is not None:
        searches = searches * _units(_micros(frame, time), recency)
        frame = frame.where(_micros(frame, time).isNotNull())
    frame = frame.select(*columns, searches.alias("count"))
    if normalization is not None:
        frame = _normalize_column(frame, "term", "+".join(steps_of(normalization)))
    total = F.least(F.sum("count"), F.lit(U32_MAX))
    return frame.groupBy("term", "video").agg(total.cast("long").alias("count"))


def daily_aggregate(
    frame: Any, *, term: str = "term", video: str = "video", time: str = "time", bucket: str = "day"
) -> Any:
    """The (term, video, count, day) rows that `tessarin aggregate` writes
    for the events of `frame` (`bucket` "hour": an hour column instead):
    terms and videos as the events hold them; rows without a time left out."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]

    micros = _micros(frame, time)
    if bucket == "day":
        start = F.date_from_unix_date(F.floor(micros / 86_400_000_000).cast("int"))
    elif bucket == "hour":
        start = F.timestamp_micros(micros - micros % 3_600_000_000)
    else:
        raise ValueError(f"unknown bucket {bucket!r}: use day or hour")
    rows = frame.where(micros.isNotNull()).select(
        F.col(term).alias("term"), F.col(video).alias("video"), start.alias(bucket)
    )
    total = F.least(F.count(F.lit(1)), F.lit(U32_MAX)).cast("long")
    return rows.groupBy("term", "video", bucket).agg(total.alias("count"))


def write_aggregate(frame: Any, path: str, **options: Any) -> None:
    """Writes `daily_aggregate(frame, **options)` as Parquet to `path` (a
    folder of part files, which `tessarin build` reads as one source)."""
    daily_aggregate(frame, **options).write.mode("overwrite").parquet(path)


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
    time: str = "time",
    half_life: object = None,
    as_of: object = None,
    exclude: Exclusions | Iterable[str] | None = None,
    min_count: int | None = None,
) -> Index:
    """The index of a DataFrame of search events (see `aggregate`), built
    on the driver from the aggregated rows, streamed in Arrow batches.
    `half_life` weighs searches by their age from `as_of` (default: the
    latest `time`); `exclude` and `min_count` keep terms out, as
    `IndexBuilder` does."""
    from pyspark.sql import functions as F  # type: ignore[import-not-found,unused-ignore]

    if chunks < 1:
        raise ValueError(f"chunks must be 1 or more, not {chunks}")
    name = None if normalization is None else "+".join(steps_of(normalization))
    if half_life is not None and as_of is None:
        latest = frame.select(F.max(_micros(frame, time))).first()[0]
        as_of = _EPOCH_TEXT if latest is None else instant_of_micros(int(latest))
    if exclude is not None and name is not None:  # the terms come normalised
        listed = exclude if isinstance(exclude, Exclusions) else Exclusions.of(exclude)
        normalize = normalizer(name)
        exclude = Exclusions(tuple(normalize(e) for e in listed.entries), listed.sha256)
    builder = IndexBuilder(half_life=half_life, as_of=as_of, exclude=exclude, min_count=min_count)
    if half_life is not None:
        builder.note_time_column(time)
    pairs = aggregate(
        frame,
        term=term,
        video=video,
        count=count,
        normalization=name,
        recency=builder.recency,
        time=time,
    )
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
        index = Index._from_native(
            index._native,
            video_top_n=video_top_n,
            normalization=name,
            build_options=index.metadata.build_options,
        )
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
    **options: Any,
) -> Index:
    """Builds the index of a DataFrame of search events and saves it to
    `out` (whole or not at all); returns it. `options`: the recency and
    selection options of `index_from_dataframe`."""
    index = index_from_dataframe(
        frame,
        term=term,
        video=video,
        count=count,
        normalization=normalization,
        video_top_n=video_top_n,
        chunks=chunks,
        **options,
    )
    index.save(out)
    return index
