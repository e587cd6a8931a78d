"""Make the sample catalogue shipped beside the sample index
(python/tessarin/storage/data/sample_catalog.jsonl).

    PYTHONPATH=build/dev:python python scripts/make_sample_catalog.py

One JSON line per video of the sample index, but for one in twenty (left
out, so that the page shows how a video missing from the catalogue looks):
a title made of the terms that lead to the video most, a made-up link, a
placeholder thumbnail (picsum.photos, a free service of placeholder
pictures: serving the sample with its catalogue shows them when the browser
is online), and a language, a category and a duration to filter on. Drawn
from the index alone, so the script always writes the same bytes.
"""

from __future__ import annotations

import hashlib
import json
import os
import string
from collections import defaultdict

from tessarin.storage.sample import load_sample_index

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "python", "tessarin", "storage", "data", "sample_catalog.jsonl")
LANGUAGES = ["en", "en", "en", "fr", "pt", "es"]
CATEGORIES = ["music", "news", "sports", "education", "gaming", "travel"]


def main() -> None:
    index = load_sample_index()
    terms: dict[str, list[tuple[int, str]]] = defaultdict(list)
    for letter in string.ascii_lowercase:
        for completion in index.complete(letter, 0, None):
            (node,) = index.pooled_nodes(completion.term, 0, prefix=False)
            if node.term != completion.term:
                continue
            for video, count in index.node_videos(node.node):
                terms[video].append((count, completion.term))
    with open(OUT, "w", encoding="utf-8", newline="\n") as out:
        for video in sorted(terms):
            digest = hashlib.sha256(video.encode()).digest()
            if digest[0] % 20 == 0:
                continue
            top = [term for _, term in sorted(terms[video], key=lambda e: (-e[0], e[1]))[:3]]
            row = {
                "video": video,
                "title": " ".join(top).capitalize(),
                "url": f"https://videos.example.com/watch/{video}",
                "thumbnail": f"https://picsum.photos/seed/{video[:8]}/320/180",
                "language": LANGUAGES[digest[1] % len(LANGUAGES)],
                "category": CATEGORIES[digest[2] % len(CATEGORIES)],
                "duration_s": 30 + int.from_bytes(digest[3:5], "big") % 1800,
            }
            out.write(json.dumps(row, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
