"""What a read found: rows read, added and skipped, the skipped rows by
reason, and the first few of them."""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["REASONS", "ReadReport", "Tally", "plural"]


_EXAMPLES = 5

#: The builder's kinds of fault (`tessarin._native.FAULTS`) as reasons.
REASONS = {
    "missing": "missing value",
    "video range": "video out of range",
    "video text": "bad video",
    "video bytes": "bad video",
    "count": "bad count",
    "mixed kinds": "video of the other kind",
    "empty term": "empty term",
    "term U+0000": "term holding U+0000",
    "term UTF-8": "not UTF-8",
    "normaliser": "normalisation failed",
    "unreadable": "unreadable line",
    "time": "bad time",
}


def plural(n: int, noun: str, nouns: str | None = None) -> str:
    """ "1 search", "2 searches", with thousands separated."""
    if n == 1:
        return f"1 {noun}"
    return f"{n:,} {nouns or noun + ('es' if noun.endswith(('s', 'sh', 'ch')) else 's')}"


class ReadReport(NamedTuple):
    """What was read: files, rows (events or records), rows added, rows
    skipped (with `skip_bad`), skipped rows by reason and the first few
    (in the order of the files and their lines), and rows taken but kept
    out (their terms excluded)."""

    files: int
    rows: int
    added: int
    skipped: int
    by_reason: dict[str, int]
    examples: list[str]
    excluded: int = 0


class Tally:
    """The counts of a read as it goes, and the skipped rows' examples."""

    def __init__(self) -> None:
        self.rows = 0
        self.added = 0
        self.excluded = 0
        self.skipped = 0
        self.by_reason: dict[str, int] = {}
        self.examples: list[str] = []

    def skip(self, reason: str, n: int = 1) -> None:
        self.skipped += n
        self.by_reason[reason] = self.by_reason.get(reason, 0) + n

    @property
    def room(self) -> int:
        """How many more examples are kept."""
        return _EXAMPLES - len(self.examples)

    def example(self, text: str) -> None:
        if self.room > 0:
            self.examples.append(text)

    def report(self, files: int) -> ReadReport:
        return ReadReport(
            files,
            self.rows,
            self.added,
            self.skipped,
            self.by_reason,
            self.examples,
            self.excluded,
        )
