"""Terms kept out of an index: blocked words, personal data, junk.

A list of exclusions holds one entry a line: an exact term, or a glob
pattern when it holds `*`, `?` or `[` (`*` any characters, `?` one, `[abc]`
one of a set, `[a-z]` a range, `[!...]` one outside it; `[*]`, `[?]`,
`[[]` the character itself; as Python's `fnmatch.fnmatchcase` matches,
on whole terms). Lines are stripped of surrounding whitespace; blank ones
are skipped. Entries are normalised as the index normalises its terms, so
"Paris" in the list keeps out "paris" from a casefolded index. The builder
asks once per distinct term (src/build/term_filter.h).

An index records the list's SHA-256 digest (of the file's bytes, or of
the entries one a line) and how many entries it had, never the entries.
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
from collections.abc import Callable, Iterable

__all__ = ["Exclusions"]

_WILD = frozenset("*?[")


@dataclasses.dataclass(frozen=True)
class Exclusions:
    """The entries of a list of exclusions, and its digest."""

    entries: tuple[str, ...]
    sha256: str

    @classmethod
    def of(cls, entries: Iterable[str]) -> Exclusions:
        """From entries (or the lines of a text); the digest is that of the
        entries one a line, each ending with a line break."""
        if isinstance(entries, (str, bytes)):
            raise TypeError("exclude must be a list of terms and patterns, not a single str")
        lines = []
        for k, entry in enumerate(entries):
            if not isinstance(entry, str):
                raise TypeError(f"exclude[{k}] must be a str, not {type(entry).__name__}")
            lines.append(entry)
        digest = hashlib.sha256(
            "".join(line + "\n" for line in lines).encode("utf-8", "surrogatepass")
        )
        return cls(_entries(lines), digest.hexdigest())

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Exclusions:
        """From a UTF-8 text file, one entry a line; the digest is the
        file's (what `sha256sum` prints). Raises OSError, and ValueError
        for a file that is not UTF-8."""
        with open(path, "rb") as file:
            data = file.read()
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError as error:
            raise ValueError(
                f"{os.fsdecode(path)}: not UTF-8 text (byte {error.start + 1})"
            ) from None
        return cls(_entries(text.splitlines()), hashlib.sha256(data).hexdigest())

    def split(self, normalize: Callable[[str], str] | None) -> tuple[list[str], list[str]]:
        """(exact terms, patterns), normalised; an entry with nothing left
        once normalised keeps nothing out."""
        terms: dict[str, None] = {}
        patterns: dict[str, None] = {}
        for entry in self.entries:
            text = normalize(entry) if normalize is not None else entry
            if text:
                (patterns if _WILD & set(text) else terms)[text] = None
        return list(terms), list(patterns)

    def metadata(self) -> dict[str, str | int]:
        return {"exclude_sha256": self.sha256, "exclude_entries": len(self.entries)}


def _entries(lines: Iterable[str]) -> tuple[str, ...]:
    return tuple(s for s in (line.strip() for line in lines) if s)
