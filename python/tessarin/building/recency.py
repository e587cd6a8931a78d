"""Recency: recent searches weigh more than old ones.

A search made at time t weighs 2^(-age / half_life), its age measured from
an "as of" time (`age = as_of - t`, in microseconds; a search after it has
age 0 and weighs 1). Counts in an index stay whole numbers, so a weight is
kept in units of 1/`SCALE` of a search (thousandths), rounded half up:

    units(t) = floor(2^(-max(0, as_of - t) / half_life) * SCALE + 0.5)

and a record of n searches at time t adds n * units(t) to its pair's count,
exactly (the sums are integers, so they do not depend on the order of the
records). Stored counts are these sums, saturating at 2^32 - 1 as every
count does: 4,294,967 weighted searches per term. A search older than
about 11 half-lives weighs less than half a unit and adds nothing. The
same rule is written three times, for Python (`units`), DuckDB
(`units_sql`) and Spark (`tessarin.building.spark`): each computes the
age's ratio as one division of two exact integers and then 2^x with the
platform's `pow`, so they agree but for a `pow` that differs in its last
bit right at a half unit.

Times (`instant`): a `datetime` (naive ones are UTC), a `date` (its
midnight, UTC), ISO 8601 text ("2026-03-01", "2026-03-01T12:30:00Z",
"2026-03-01 12:30:00+02:00"), or a Unix time as an integer or digits:
seconds, or milliseconds from 10^11 on (a date after the year 5000 in
seconds). Durations (`duration`): "7d", "12h", "90m", "30s", "2w", a
`timedelta`, or a number of seconds.
"""

from __future__ import annotations

import dataclasses
import datetime
import math
import re

__all__ = ["SCALE", "Recency", "duration", "duration_text", "instant", "instant_text"]

#: Units of a search in a weighted count: thousandths.
SCALE = 1000
#: Unix times in digits from this on are milliseconds, below it seconds.
MILLISECONDS_FROM = 10**11

_FRACTION = re.compile(r"(?<=:\d\d)\.\d+")
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_MICROSECOND = datetime.timedelta(microseconds=1)
_UNITS = {"w": 7 * 86400, "d": 86400, "h": 3600, "m": 60, "s": 1}
_DURATION = re.compile(r"\s*(\d+(?:\.\d+)?)\s*([wdhms]?)\s*", re.IGNORECASE)


def duration(value: object, name: str = "half_life") -> int:
    """A positive duration in microseconds: "7d", "12h", "90m", "30s",
    "2w", a `timedelta` or a number of seconds."""
    if isinstance(value, datetime.timedelta):
        micros = value // _MICROSECOND
    elif isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise TypeError(
            f'{name} must be a duration ("7d", a timedelta, seconds), not {type(value).__name__}'
        )
    elif isinstance(value, str):
        found = _DURATION.fullmatch(value)
        if found is None:
            raise ValueError(
                f"{name} must be a duration such as 7d, 12h, 90m or 30s, not {value!r}"
            )
        micros = round(float(found[1]) * _UNITS[(found[2] or "s").lower()] * 1_000_000)
    else:
        if not math.isfinite(value):
            raise ValueError(f"{name} must be a positive duration, not {value!r}")
        micros = round(value * 1_000_000)
    if micros <= 0:
        raise ValueError(f"{name} must be a positive duration, not {value!r}")
    if micros >= 2**53:
        raise ValueError(f"{name} must be shorter than 285 years, not {value!r}")
    return micros


def duration_text(micros: int) -> str:
    """A duration as `duration` reads it, in the largest whole unit."""
    for unit, seconds in _UNITS.items():
        if unit != "w" and micros % (seconds * 1_000_000) == 0:
            return f"{micros // (seconds * 1_000_000)}{unit}"
    return f"{micros / 1_000_000}s"


def instant(value: object, name: str = "time") -> int:
    """A time in microseconds since the Unix epoch (see the module)."""
    if isinstance(value, datetime.datetime):
        when = value if value.tzinfo is not None else value.replace(tzinfo=datetime.timezone.utc)
        return (when - _EPOCH) // _MICROSECOND
    if isinstance(value, datetime.date):
        return instant(datetime.datetime(value.year, value.month, value.day), name)
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(
            f"{name} must be a datetime, a date, ISO 8601 text or a Unix time, "
            f"not {type(value).__name__}"
        )
    if isinstance(value, str):
        text = value.strip()
        if text.isascii() and text.isdigit():
            return instant(int(text), name)
        # Python 3.10's fromisoformat reads no "Z" for UTC, and fractions of
        # a second of 3 or 6 digits only (3.11 reads any, past 6 cut).
        if text[-1:] in ("Z", "z"):
            text = text[:-1] + "+00:00"
        text = _FRACTION.sub(lambda found: found[0][:7].ljust(7, "0"), text)
        try:
            return instant(datetime.datetime.fromisoformat(text), name)
        except ValueError:
            raise ValueError(
                f"{name} must be ISO 8601 text or a Unix time, not {value!r}"
            ) from None
    if value < 0:
        raise ValueError(f"{name} must be a Unix time of 0 or more, not {value}")
    return value * 1000 if value >= MILLISECONDS_FROM else value * 1_000_000


def instant_text(micros: int) -> str:
    """A time as ISO 8601 text in UTC ("2026-03-01T00:00:00Z")."""
    when = _EPOCH + datetime.timedelta(microseconds=micros)
    text = when.strftime("%Y-%m-%dT%H:%M:%S")
    if when.microsecond:
        text += f".{when.microsecond:06d}"
    return text + "Z"


@dataclasses.dataclass(frozen=True)
class Recency:
    """The weighing of searches by their age: `half_life` and `as_of` in
    microseconds (see `duration` and `instant`); `as_of` None until it is
    known (the latest time of the input, when a reader finds it)."""

    half_life: int
    as_of: int | None
    scale: int = SCALE

    def units(self, time: int) -> int:
        """The weight of one search made at `time` (microseconds), in units."""
        assert self.as_of is not None
        age = max(0, self.as_of - time)
        weight: float = 2.0 ** -(age / self.half_life)
        return math.floor(weight * self.scale + 0.5)

    def units_sql(self, time: str) -> str:
        """`units` in DuckDB's SQL, of an expression of microseconds (BIGINT)."""
        assert self.as_of is not None
        # (greatest() would pass over a NULL time: it must stay NULL.)
        age = f"CASE WHEN ({time}) > {self.as_of} THEN 0 ELSE {self.as_of} - ({time}) END"
        return (
            f"CAST(floor(pow(2.0, -(CAST({age} AS DOUBLE) / {self.half_life})) * {self.scale} "
            "+ 0.5) AS UINTEGER)"
        )

    def metadata(self) -> dict[str, str | int]:
        """What an index file records of it."""
        options: dict[str, str | int] = {
            "half_life": duration_text(self.half_life),
            "count_scale": self.scale,
        }
        if self.as_of is not None:
            options["as_of"] = instant_text(self.as_of)
        return options
