"""`tessarin info`: what an index file says of itself (read by
`tessarin.storage.file_info`; this module prints it)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ..errors import TessarinError
from ..storage.file_info import read_file_info
from .common import CommandError, emit, emit_json, os_message, shown
from .parser import SUMMARIES

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    info = commands.add_parser(
        "info",
        help=SUMMARIES["info"],
        description="Print what an index file says of itself: nodes, terms, videos, identifier "
        "mode, size and how it was built. Reads only the file's header, unless --verify.",
    )
    info.add_argument("index", metavar="INDEX", help="saved index file")
    info.add_argument(
        "--verify",
        action="store_true",
        help="check the whole file against its checksum and load it",
    )
    info.add_argument("--json", action="store_true", help="print JSON")


def run(args: argparse.Namespace) -> int:
    path = args.index
    try:
        found = read_file_info(path, verify=args.verify)
    except OSError as error:
        raise CommandError(os_message(error)) from None
    except TessarinError as error:
        raise CommandError(str(error)) from None
    if not found.is_index_file:
        print(f"note: {path} is a bare saved index, with no checksum", file=sys.stderr)
    size, metadata, is_file = found.size, found.metadata, found.is_index_file
    fields: dict[str, Any] = {
        "nodes": metadata.nodes,
        "terms": metadata.terms,
        "videos": metadata.videos,
        "identifier mode": metadata.id_mode,
        "size": size,
        "format": f"index file, version {found.version}" if is_file else "bare saved index",
        "videos per node": metadata.video_top_n,
        "normalization": metadata.normalization,
        "built by": metadata.builder or None,
        "created": metadata.created or None,
        "checksum": ("verified" if found.verified else "not checked") if is_file else "none",
    }
    if args.json:
        fields["build options"] = metadata.build_options
        emit_json({k.replace(" ", "_"): v for k, v in fields.items()})
        return 0
    fields.update(_build_options(metadata.build_options or {}))
    rows = [
        (k, f"{v:,}" if isinstance(v, int) else shown(v))
        for k, v in fields.items()
        if v is not None
    ]
    rows[4] = ("size", f"{size:,} bytes")
    width = max(len(k) for k, _ in rows)
    emit("".join(f"{key:<{width}}  {value}\n" for key, value in rows))
    return 0


def _build_options(options: dict[str, str | int]) -> dict[str, Any]:
    """The build options as `info` prints them."""
    shown_options: dict[str, Any] = {}
    if "half_life" in options:
        recency = f"half-life {options['half_life']}, as of {options.get('as_of', '?')}"
        if "time_column" in options:
            recency += f", times from {options['time_column']}"
        scale = options.get("count_scale")
        shown_options["recency"] = recency + (f"; counts in 1/{scale:,} searches" if scale else "")
    if "min_count" in options:
        shown_options["minimum count"] = options["min_count"]
    if "exclude_sha256" in options:
        shown_options["excluded terms"] = (
            f"{options.get('exclude_entries', '?')} entries, sha256 {options['exclude_sha256']}"
        )
    return shown_options
