"""Make the sample index shipped in the package (python/tessarin/storage/data/sample.idx).

    pip install symspellpy          # only its word list is used
    PYTHONPATH=build/dev:python python scripts/make_sample_index.py [--records out.csv]

Word list: frequency_dictionary_en_82_765.txt, shipped inside the symspellpy
wheel on PyPI (symspellpy is MIT-licensed). Its SymSpell authors made it by
intersecting the Google Books Ngram counts (CC BY 3.0) with the SCOWL word
list; each line is a word and its count. The sample takes the WORDS most
frequent words of four or more lowercase letters, scales their counts down,
and gives each a few videos from a table of VIDEOS UUIDs; everything is drawn
from a fixed seed, so the script always writes the same bytes for the same
word list and the same module.

`tessarin search` and `tessarin terms` use this index when no INDEX is given.
"""

from __future__ import annotations

import argparse
import csv
import importlib.util
import os
import random
import sys
import uuid
from collections.abc import Iterator

from tessarin import IndexBuilder

WORD_LIST = "frequency_dictionary_en_82_765.txt"
WORDS = 4000
VIDEOS = 600
VIDEO_TOP_N = 8
SEED = 20240601
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "python", "tessarin", "storage", "data", "sample.idx")


def word_list_path() -> str:
    spec = importlib.util.find_spec("symspellpy")  # located, not imported
    if spec is None or not spec.submodule_search_locations:
        sys.exit("make_sample_index: needs the word list of symspellpy: pip install symspellpy")
    return os.path.join(next(iter(spec.submodule_search_locations)), WORD_LIST)


def frequent_words(path: str, n: int) -> list[tuple[str, int]]:
    words = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            word, count = line.split()
            if len(word) >= 4 and word.isascii() and word.isalpha() and word.islower():
                words.append((word, int(count)))
                if len(words) == n:
                    break
    return words


def records(words: list[tuple[str, int]]) -> Iterator[tuple[str, uuid.UUID, int]]:
    """(term, video, count) records: each word leads to one to five videos."""
    rng = random.Random(SEED)
    videos = [uuid.UUID(int=rng.getrandbits(128), version=4) for _ in range(VIDEOS)]
    for word, frequency in words:
        clicks = max(1, frequency // 200_000)
        for rank in range(rng.randint(1, 5)):
            # Popular videos come up more often: the index is drawn Zipf-like.
            video = videos[int(VIDEOS ** rng.random()) - 1]
            share = max(1, int(clicks / (rank + 1.5)))
            yield word, video, share


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=OUT, help="where to write the index")
    parser.add_argument("--records", help="also write the records as CSV to this file")
    args = parser.parse_args()

    data = list(records(frequent_words(word_list_path(), WORDS)))
    builder = IndexBuilder()
    builder.add_many(data)
    saved = builder.build(video_top_n=VIDEO_TOP_N).to_bytes()
    with open(args.out, "wb") as out:
        out.write(saved)
    if args.records:
        with open(args.records, "w", newline="", encoding="utf-8") as out:
            writer = csv.writer(out)
            writer.writerow(["term", "video", "count"])
            writer.writerows(data)
    print(
        f"{args.out}: {builder.terms} terms, {builder.videos} videos, "
        f"{len(data)} records, {len(saved)} bytes"
    )


if __name__ == "__main__":
    main()
