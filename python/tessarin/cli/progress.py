"""A one-line progress bar on a terminal stream, without dependencies."""

from __future__ import annotations

import shutil
import time
from typing import TextIO

__all__ = ["ProgressBar"]


def _duration(seconds: float) -> str:
    seconds = int(seconds)
    if seconds >= 3600:
        return f"{seconds // 3600}:{seconds % 3600 // 60:02d}:{seconds % 60:02d}"
    return f"{seconds // 60}:{seconds % 60:02d}"


class ProgressBar:
    """Redraws one line in place: what is done, a bar and percentage when
    the fraction done is known, the count so far, its rate and the time
    left ("reading  42% |####....| 1,234,567 rows  812,000 rows/s  0:03 left").

    `rate=False` leaves the rate out (for a count that does not grow).
    Nothing is drawn during the first `delay` seconds, so small inputs show
    no bar at all; after that the line is redrawn at most ten times a second.
    """

    def __init__(
        self, stream: TextIO, label: str, unit: str = "rows", delay: float = 0.5, rate: bool = True
    ) -> None:
        self._stream = stream
        self._rate = rate
        self._label = label
        self._unit = unit
        self._start = time.monotonic()
        self._delay = delay
        self._last = 0.0
        self._drawn = False

    def update(self, fraction: float | None, count: int, force: bool = False) -> None:
        now = time.monotonic()
        elapsed = now - self._start
        if not force and (elapsed < self._delay or now - self._last < 0.1):
            return
        self._last = now
        width = shutil.get_terminal_size((80, 24)).columns
        status = f" {count:,} {self._unit}"
        if self._rate and elapsed > 0 and count:
            status += f"  {count / elapsed:,.0f} {self._unit}/s"
        if fraction is not None and 0 < fraction < 1:
            status += f"  {_duration(elapsed * (1 - fraction) / fraction)} left"
        elif fraction is not None and fraction >= 1:
            status += f"  {_duration(elapsed)}"
        head = f"{self._label} "
        if fraction is not None:
            fraction = min(1.0, max(0.0, fraction))
            head += f"{fraction * 100:3.0f}% "
            room = max(10, width - len(head) - len(status) - 3)
            filled = int(room * fraction)
            line = f"{head}|{'#' * filled}{'.' * (room - filled)}|{status}"
        else:
            line = head + status.lstrip()
        self._stream.write("\r" + line[: width - 1].ljust(width - 1))
        self._stream.flush()
        self._drawn = True

    def finish(self) -> None:
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
            self._drawn = False
