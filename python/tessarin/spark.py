"""Building an index from a Spark DataFrame (`pip install 'tessarin[spark]'`):
the import path users know; the code is `tessarin.building.spark`.

    from tessarin.spark import build_index
"""

from .building.spark import (
    aggregate,
    build_index,
    daily_aggregate,
    index_from_dataframe,
    write_aggregate,
)

__all__ = [
    "aggregate",
    "build_index",
    "daily_aggregate",
    "index_from_dataframe",
    "write_aggregate",
]
