"""A one-line progress bar on a terminal stream, without dependencies."""

from __future__ import annotations

import shutil
import time
from typing import TextIO

__all__ = ["ProgressBar"]


def _amount(value: float, unit: str) -> str:
    if unit == "bytes":
        for scale, suffix in ((2**30, "GiB"), (2**20, "MiB"), (2**10, "KiB")):
            if value >= scale:
                return f"{value / scale:.1f} {suffix}"
        return f"{value:.0f} B"
    return f"{value:,.0f} {unit}"


class ProgressBar:
    """Redraws one line in place: percentage, bar, amount, records, time left.

    Nothing is drawn during the first `delay` seconds, so small inputs show
    no bar at all; after that the line is redrawn at most ten times a second.
    `unit` is "bytes" or a plural noun ("rows").
    """

    def __init__(self, stream: TextIO, unit: str = "bytes", delay: float = 0.5) -> None:
        self._stream = stream
        self._unit = unit
        self._start = time.monotonic()
        self._delay = delay
        self._last = 0.0
        self._drawn = False

    def update(self, done: int, total: int | None, records: int, force: bool = False) -> None:
        now = time.monotonic()
        elapsed = now - self._start
        if not force and (elapsed < self._delay or now - self._last < 0.1):
            return
        self._last = now
        width = shutil.get_terminal_size((80, 24)).columns
        status = f" {_amount(done, self._unit)}  {records:,} records"
        if total:
            fraction = min(1.0, done / total)
            if 0 < fraction < 1:
                left = elapsed * (1 - fraction) / fraction
                status += f"  {int(left) // 60}:{int(left) % 60:02d} left"
            head = f"{fraction * 100:3.0f}% "
            room = max(10, width - len(head) - len(status) - 3)
            filled = int(room * fraction)
            line = f"{head}|{'#' * filled}{'.' * (room - filled)}|{status}"
        else:
            line = status.lstrip()
        self._stream.write("\r" + line[: width - 1].ljust(width - 1))
        self._stream.flush()
        self._drawn = True

    def message(self, text: str) -> None:
        """Replace the bar (if any) by a line of text."""
        if self._drawn:
            self._stream.write("\r" + text.ljust(shutil.get_terminal_size((80, 24)).columns - 1))
            self._stream.flush()

    def finish(self) -> None:
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
            self._drawn = False
