"""Real term lists with counts, and seeded queries with typos, for the suite.

Term lists come from packages, never from the network at run time:

- symspellpy ships ``frequency_dictionary_en_82_765.txt`` (English words with
  corpus counts) and ``frequency_bigramdictionary_en_243_342.txt`` (two-word
  phrases with counts, a stand-in for typed search terms);
- wordfreq ships "large" frequency lists for several languages, which bring
  non-ASCII letters (é, ß, ñ, ç, ...) and the volume to reach a million terms.

Data sets (``load_terms``), each a list of distinct (term, count) pairs with
counts clamped to the unsigned 32-bit range of a payload, sorted by term:

=========== ===============================================================
``10k``     the 10,000 most frequent symspellpy English words
``83k``     all symspellpy English words (82,834 lines in the file named
            82_765)
``243k``    all symspellpy two-word phrases (242,342 phrases in the file
            named 243_342)
``english`` the words and the phrases together (325,176 terms: an English
            list of words and phrases)
``1m``      1,000,000 terms: the phrases, then the words,
            then wordfreq's large lists for en, de, fr, es, it, pt taken
            round-robin by rank (alphabetic tokens only, duplicates skipped)
            until the total is reached; a wordfreq word's count is its
            frequency times 10^9, at least 1
``N``       any other number: the first N terms of the same mixed order
=========== ===============================================================

Queries (``make_queries``) are drawn with a fixed seed from the data set's own
terms: a real term with 0, 1 or 2 random edits (substitution, insertion,
deletion, swap of two neighbours), letters drawn from the data set's own
letters; and, for search as you type, every prefix of a phrase with one or two
typos, as a user types it.
"""

from __future__ import annotations

import os
import random
from collections import Counter

U32_MAX = 0xFFFFFFFF
MIXED_LANGUAGES = ("en", "de", "fr", "es", "it", "pt")
PRESETS = {"10k": 10_000, "83k": 82_834, "243k": 242_342, "1m": 1_000_000}


def symspell_file(name: str) -> str:
    import symspellpy

    return os.path.join(os.path.dirname(symspellpy.__file__), name)


def read_count_file(path: str, words_per_term: int):
    """(term, count) pairs of a symspellpy frequency file, in file order."""
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if len(parts) != words_per_term + 1:
                continue
            out.append((" ".join(parts[:words_per_term]), int(parts[-1])))
    return out


def symspell_words():
    return read_count_file(symspell_file("frequency_dictionary_en_82_765.txt"), 1)


def symspell_phrases():
    return read_count_file(symspell_file("frequency_bigramdictionary_en_243_342.txt"), 2)


def wordfreq_words(lang: str):
    """Alphabetic words of wordfreq's large list for `lang`, most frequent first."""
    import wordfreq

    freqs = wordfreq.get_frequency_dict(lang, wordlist="large")
    pairs = sorted(freqs.items(), key=lambda kv: (-kv[1], kv[0]))
    return [(w, max(1, round(f * 1e9))) for w, f in pairs if w.isalpha()]


def mixed_terms(n: int):
    """The first n terms of the mixed order described in the module doc."""
    seen: dict[str, int] = {}

    def add(pairs):
        for term, count in pairs:
            if len(seen) >= n:
                return
            seen.setdefault(term, count)

    add(symspell_phrases())
    add(symspell_words())
    if len(seen) < n:
        lists = [wordfreq_words(lang) for lang in MIXED_LANGUAGES]
        rank = 0
        while len(seen) < n and any(rank < len(lst) for lst in lists):
            add(lst[rank] for lst in lists if rank < len(lst))
            rank += 1
    if len(seen) < n:
        raise ValueError(f"the mixed lists hold only {len(seen)} distinct terms, not {n}")
    return list(seen.items())


def parse_size(text: str) -> int:
    text = text.strip().lower()
    if text in PRESETS:
        return PRESETS[text]
    for suffix, factor in (("k", 1_000), ("m", 1_000_000)):
        if text.endswith(suffix):
            return int(float(text[:-1]) * factor)
    return int(text)


def load_terms(size: str):
    """(name, description, [(term, count)]) for a data set name or size."""
    key = size.strip().lower()
    if key == "10k":
        words = sorted(symspell_words(), key=lambda kv: -kv[1])[:10_000]
        pairs, desc = words, "top 10,000 symspellpy English words"
    elif key == "83k":
        pairs, desc = symspell_words(), "symspellpy English words"
    elif key == "243k":
        pairs, desc = symspell_phrases(), "symspellpy English two-word phrases"
    elif key == "english":
        pairs = symspell_words() + symspell_phrases()
        desc = "symspellpy English words and two-word phrases"
    else:
        n = parse_size(key)
        pairs = mixed_terms(n)
        desc = f"mixed: phrases, words, wordfreq {'/'.join(MIXED_LANGUAGES)}"
    # Distinct terms, counts clamped to a payload's 32 bits.
    out: dict[str, int] = {}
    for term, count in pairs:
        if term:
            out.setdefault(term, min(max(count, 0), U32_MAX))
    # Sorted by code point: the order in which every layout numbers the nodes.
    return key, desc, sorted(out.items())


def letters_of(terms, sample: int = 20_000, seed: int = 0):
    """Letters of the data set, weighted by how often they occur."""
    rng = random.Random(seed)
    chosen = terms if len(terms) <= sample else rng.sample(terms, sample)
    counts = Counter(ch for term, _ in chosen for ch in term if ch != " ")
    letters = sorted(counts)
    return letters, [counts[ch] for ch in letters]


def add_typo(word: str, rng: random.Random, letters, weights) -> str:
    """One random edit: substitution, insertion, deletion or adjacent swap."""
    kinds = ["sub", "ins"]
    if len(word) >= 2:
        kinds += ["del", "swap"]
    elif len(word) == 1:
        kinds.append("del")
    kind = rng.choice(kinds)
    if kind == "ins":
        i = rng.randrange(len(word) + 1)
        return word[:i] + rng.choices(letters, weights)[0] + word[i:]
    if not word:
        return word
    i = rng.randrange(len(word))
    if kind == "sub":
        choices = [c for c in rng.choices(letters, weights, k=4) if c != word[i]]
        return word[:i] + (choices[0] if choices else word[i]) + word[i + 1 :]
    if kind == "del":
        return word[:i] + word[i + 1 :]
    i = min(i, len(word) - 2)
    return word[:i] + word[i + 1] + word[i] + word[i + 2 :]


def make_queries(terms, n_words: int = 300, n_phrases: int = 30, seed: int = 6):
    """Query sets {"words": [...], "typing": [...]} drawn from the terms.

    "words": n_words terms (the more frequent ones more likely, as users type
    them) with 0, 1 or 2 edits, a third each. "typing": n_phrases terms of at
    least two words where the data set has them (else the longer terms), one
    or two edits each, and every prefix of the result, shortest first.
    """
    rng = random.Random(seed)
    letters, weights = letters_of(terms)
    # Frequency-weighted draw over the terms, flattened so heavy heads do not
    # swallow the sample: weight = count ** 0.3.
    population = [t for t, _ in terms]
    term_weights = [max(c, 1) ** 0.3 for _, c in terms]
    words = []
    for i, term in enumerate(rng.choices(population, term_weights, k=n_words)):
        for _ in range(i % 3):
            term = add_typo(term, rng, letters, weights)
        words.append(term)
    phrases = [t for t, _ in terms if " " in t]
    if len(phrases) < n_phrases:
        phrases = [t for t, _ in terms if len(t) >= 8] or population
    typing = []
    for i, phrase in enumerate(rng.sample(phrases, min(n_phrases, len(phrases)))):
        for _ in range(1 + i % 2):
            phrase = add_typo(phrase, rng, letters, weights)
        typing.extend(phrase[:k] for k in range(1, len(phrase) + 1))
    return {"words": words, "typing": typing}


def video_records(terms, seed: int = 0):
    """(term, video, count) records: each term's count shared among videos.

    Drawn deterministically (fixed seed, in term order): each term gets 1 to
    3 videos out of a table of len(terms) // 4 integer identifiers; the
    second video gets a quarter of the count, the third an eighth, the first
    the rest, so a term's records add up to its count.
    """
    rng = random.Random(seed)
    n_videos = max(1, len(terms) // 4)
    for term, count in terms:
        k = rng.randint(1, 3)
        ids = rng.sample(range(n_videos), min(k, n_videos))
        shares = [count >> (2 * j + 1) if j else 0 for j in range(len(ids))]
        shares[0] = count - sum(shares)
        for video, share in zip(ids, shares, strict=True):
            yield term, video, share


def layout_terms(terms, video_top_n: int = 10):
    """(how, the six arguments of from_internal_data_v2) for the terms.

    tessarin.IndexBuilder lays out the records of video_records()
    (bench.synthetic.trie_arrays). It numbers nodes breadth-first with
    children in label order when the terms come sorted (load_terms sorts
    them), which is also the order in which plain_trie.build() inserts them.
    """
    from bench.synthetic import trie_arrays

    return "tessarin.IndexBuilder", trie_arrays(terms, video_top_n)
