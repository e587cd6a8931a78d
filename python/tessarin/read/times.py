"""Times in DuckDB's SQL: a time column as microseconds since the Unix
epoch (UTC), by the rules of `tessarin.building.recency.instant`, and the
column a source's times are in.

A value that is no time (text that does not parse, a negative number, an
infinite timestamp) is NULL, which the builder refuses as a bad time. Text
is read under the connection's time zone, UTC (`connect` sets it), so text
without an offset is UTC, as in Python."""

from __future__ import annotations

from ..building.recency import MILLISECONDS_FROM
from .columns import named_column
from .options import RecordError
from .sql import identifier

__all__ = ["TIME_COLUMNS", "micros_sql", "time_column"]

#: The names a time column is found by, in order, when no option names it:
#: the bucket of a daily (or hourly) aggregate, then an event's time.
TIME_COLUMNS = ("day", "hour", "time", "timestamp")
#: Unix times of as many digits or more are no times (the year 318,000).
_DIGITS = 16
_INTEGERS = {
    "TINYINT",
    "SMALLINT",
    "INTEGER",
    "BIGINT",
    "HUGEINT",
    "UTINYINT",
    "USMALLINT",
    "UINTEGER",
    "UBIGINT",
    "UHUGEINT",
}


def time_column(names: list[str], wanted: str | None) -> str:
    """The time column among a source's columns: `wanted` (a name, any case,
    or a 1-based position), else the first of `TIME_COLUMNS` there is."""
    if wanted is not None:
        return named_column(names, wanted)
    lowered = [n.lower() for n in names]
    for name in TIME_COLUMNS:
        if name in lowered:
            return names[lowered.index(name)]
    raise RecordError(
        f"no time column (the columns: {', '.join(names)}); name it with --time-column "
        f"(or call it {', '.join(TIME_COLUMNS[:-1])} or {TIME_COLUMNS[-1]})"
    )


def _unix(number: str) -> str:
    """An integer Unix time (seconds, or milliseconds from 10^11) in microseconds."""
    return (
        f"CASE WHEN {number} < 0 OR {number} >= {10**_DIGITS} THEN NULL "
        f"WHEN {number} >= {MILLISECONDS_FROM} THEN CAST({number} AS BIGINT) * 1000 "
        f"ELSE CAST({number} AS BIGINT) * 1000000 END"
    )


def micros_sql(column: str, kind: str, name: str) -> str:
    """The microseconds of `column` (SQL) of DuckDB type `kind`; `name`
    names it in the error for a type that holds no times."""
    kind = kind.upper()
    if kind.startswith("TIMESTAMP"):
        return f"epoch_us({column})"
    if kind == "DATE":
        return f"epoch_us(CAST({column} AS TIMESTAMP))"
    if kind in _INTEGERS:
        return _unix(column)
    if kind == "VARCHAR":
        text = f"trim({column})"
        digits = f"regexp_full_match({text}, '[0-9]{{1,{_DIGITS}}}')"
        return (
            f"CASE WHEN {digits} THEN {_unix(f'CAST({text} AS BIGINT)')} "
            f"ELSE epoch_us(TRY_CAST({column} AS TIMESTAMPTZ)) END"
        )
    raise RecordError(
        f"the time column {identifier(name)} holds {kind}: expected timestamps, dates, "
        "ISO 8601 text or Unix times in whole seconds or milliseconds"
    )
