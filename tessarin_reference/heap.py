"""The C heap in use, as glibc counts it, for leak checks and benchmarks.

Python's own allocator hands small objects out of arenas it keeps, so a C++
leak shows in malloc's figures long before it shows in the process's size.
"""

from __future__ import annotations

import ctypes
import ctypes.util


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _mallinfo2():
    try:
        function = ctypes.CDLL(ctypes.util.find_library("c")).mallinfo2
    except (OSError, AttributeError):
        return None
    function.restype = _MallInfo2
    return function


_MALLINFO2 = _mallinfo2()


def malloc_in_use() -> int | None:
    """Bytes that malloc has handed out and not taken back (glibc's
    mallinfo2), or None where there is no such count."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return int(info.uordblks + info.hblkhd)
