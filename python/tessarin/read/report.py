"""What a read found: rows read, added and skipped, the skipped rows by
reason, and the first few of them."""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["ReadReport", "Tally"]


_EXAMPLES = 5


class ReadReport(NamedTuple):
    """What was read: files, rows (events or records), rows added, rows
    skipped (with `skip_bad`), skipped rows by reason and the first few."""

    files: int
    rows: int
    added: int
    skipped: int
    by_reason: dict[str, int]
    examples: list[str]


class Tally:
    """The counts of a read as it goes, and the skipped rows' examples."""

    def __init__(self) -> None:
        self.rows = 0
        self.added = 0
        self.skipped = 0
        self.by_reason: dict[str, int] = {}
        self.examples: list[str] = []

    def skip(self, reason: str, example: str, n: int = 1) -> None:
        self.skipped += n
        self.by_reason[reason] = self.by_reason.get(reason, 0) + n
        if len(self.examples) < _EXAMPLES:
            self.examples.append(example)
