"""tessarin.spark in Spark's local mode (`pytest -k spark`): the index of a
DataFrame of search events equals, byte for byte, the one DuckDB builds
from the same events. Runs where pyspark and a Java runtime are installed
(.ci/run installs both for the full run, TESSARIN_FULL_CI=1, where a
missing one fails the test); skipped elsewhere."""

import os
import random
import shutil
import sys

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from tessarin import IndexBuilder
from tessarin.read import ReadOptions, read_records

FULL = os.environ.get("TESSARIN_FULL_CI") == "1"


def _need(condition, why):
    if not condition:
        if FULL:
            pytest.fail(f"TESSARIN_FULL_CI=1 but {why}")
        pytest.skip(why)


@pytest.fixture(scope="module")
def spark():
    try:
        import pyspark  # noqa: F401
    except ImportError:
        _need(False, "pyspark is not installed (pip install '.[spark]')")
    _need(shutil.which("java") is not None, "no Java runtime (java) on PATH")
    from pyspark.sql import SparkSession

    session = (
        SparkSession.builder.master("local[2]")
        .appName("tessarin-test")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "4")
        .config("spark.driver.bindAddress", "127.0.0.1")
        .config("spark.pyspark.python", sys.executable)
        .getOrCreate()
    )
    yield session
    session.stop()


@pytest.fixture(scope="module")
def events_file(tmp_path_factory):
    """A small search log: queries in varied case and spacing, int videos."""
    rng = random.Random(5)
    words = ["Cat", "cat ", "CAR", "café", "Straße", "ﬁsh", "dog  house", "Dog House", "zebra"]
    rows = [(rng.choice(words), rng.randrange(40), rng.randrange(10**6)) for _ in range(3000)]
    path = tmp_path_factory.mktemp("log") / "events.parquet"
    query, video, ts = zip(*rows, strict=True)
    pq.write_table(pa.table({"query": query, "video_id": video, "ts": ts}), path)
    return path


@pytest.mark.parametrize("normalization, chunks", [(None, 1), ("nfkc+casefold+spaces", 3)])
def test_spark_index_equals_the_duckdb_index(spark, events_file, tmp_path, normalization, chunks):
    from tessarin.spark import build_index

    frame = spark.read.parquet(str(events_file))
    out = tmp_path / "spark.idx"
    index = build_index(
        frame, out, term="query", video="video_id", normalization=normalization, chunks=chunks
    )
    duck = IndexBuilder(normalization=normalization)
    read_records(duck, str(events_file), ReadOptions(term="query", video="video_id", events=True))
    expected = duck.index()
    assert index._native.to_saved() == expected._native.to_saved()
    assert index.metadata.normalization == expected.metadata.normalization == normalization
    if normalization:
        assert [s.term for s in index.suggest("DOG HOUSE", 0)] == ["dog house"]
    assert out.exists()


def test_spark_records_with_counts_and_uuids(spark, tmp_path):
    import uuid

    from tessarin.spark import index_from_dataframe

    videos = [str(uuid.UUID(int=k * 977 + 3)) for k in range(5)]
    records = [("cat", videos[k % 5], k) for k in range(12)] + [("car", videos[0], 7)]
    frame = spark.createDataFrame(records, "term string, video string, n long")
    index = index_from_dataframe(frame, count="n")
    expected = IndexBuilder()
    expected.add_many((t, uuid.UUID(v), c) for t, v, c in records)
    assert index._native.to_saved() == expected.index()._native.to_saved()


def test_spark_recency_and_daily_aggregates_equal_duckdbs(spark, tmp_path):
    """Weighed on the cluster as DuckDB weighs; a day's aggregate written by
    Spark reads as the one `tessarin aggregate` writes."""
    import datetime

    from tessarin.read.aggregate import aggregate_events
    from tessarin.spark import index_from_dataframe, write_aggregate

    rng = random.Random(7)
    words = ["Cat", "cat", "car", "dog", "secret"]
    start = datetime.datetime(2026, 3, 1, tzinfo=datetime.timezone.utc)
    rows = [
        (rng.choice(words), rng.randrange(9), start + datetime.timedelta(days=rng.randrange(20)))
        for _ in range(2000)
    ]
    path = tmp_path / "events.parquet"
    terms, videos, times = zip(*rows, strict=True)
    pq.write_table(pa.table({"term": terms, "video": videos, "time": times}), path)
    frame = spark.read.parquet(str(path))
    options = {"half_life": "5d", "exclude": ["sec*"], "min_count": 2}
    index = index_from_dataframe(frame, normalization="casefold", **options)
    duck = IndexBuilder(normalization="casefold", **options)
    read_records(duck, str(path), ReadOptions(events=True))
    expected = duck.index()
    assert index._native.to_saved() == expected._native.to_saved()
    assert index.metadata.build_options == expected.metadata.build_options
    write_aggregate(frame, str(tmp_path / "spark-day"))
    aggregate_events(str(path), str(tmp_path / "duck-day.parquet"))
    built = []
    for source in ("spark-day", "duck-day.parquet"):
        builder = IndexBuilder(normalization="casefold", **options)
        read_records(builder, str(tmp_path / source))
        built.append(builder.arrays())
    assert built[0] == built[1]
