"""What an index file says of itself, for `tessarin info`.

An index file is described from its header alone (or checked whole against
its checksum, and loaded, with `verify`); a bare saved form has no header,
so it is loaded to be described.
"""

from __future__ import annotations

import io
import os
import warnings
from typing import NamedTuple

from ..errors import TessarinError
from ..index import Index, UncheckedIndexWarning
from . import container, files
from .container import Metadata

__all__ = ["IndexFileInfo", "looks_like_index", "read_file_info"]


class IndexFileInfo(NamedTuple):
    """An index file's size, metadata and kind."""

    size: int
    metadata: Metadata
    #: An index file with its header (else a bare saved form, with no checksum).
    is_index_file: bool
    #: The whole file was checked against its checksum and loaded.
    verified: bool
    #: The index file's format version (None for a bare saved form).
    version: int | None = None


def read_file_info(path: str, *, verify: bool = False) -> IndexFileInfo:
    """Describes the index file at `path`. Raises OSError (a FIFO or a
    device is refused at once), or a `TessarinError` whose message starts
    with the path."""
    with io.FileIO(files.open_regular(path), "r") as file:
        size = os.fstat(file.fileno()).st_size
        try:
            version = container.version_of(file.read(container.HEADER_SIZE))
            is_file = version is not None
            if is_file and not verify:
                file.seek(0)
                metadata, end = container.read_metadata(file)
                container.check_length(size, end)
        except TessarinError as error:
            raise type(error)(f"{path}: {error}") from None
    if not is_file or verify:
        with warnings.catch_warnings():
            # A bare saved form has no checksum: the kind in the answer says so.
            warnings.simplefilter("ignore", UncheckedIndexWarning)
            metadata = Index.load(path).metadata
    return IndexFileInfo(size, metadata, is_file, verify and is_file, version)


def looks_like_index(path: str) -> bool:
    """Whether `path` names an index file, by its name or its first bytes."""
    if path.endswith(".idx"):
        return True
    try:
        with io.FileIO(files.open_regular(path), "r") as file:
            return container.is_container(file.read(len(container.MAGIC)))
    except OSError:
        return False
