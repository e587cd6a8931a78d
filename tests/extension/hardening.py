"""Helpers shared by the hardening tests (hostile arguments, leaks, fault
injection, fuzzing regressions): small indexes, running a snippet in a fresh
interpreter to measure its peak memory, and counting what calls leave
behind. panic_type comes along for the snippets' `from hardening import *`."""

import json
import os
import subprocess
import sys
import textwrap

from _tessarin import PrefixSearch
from tessarin_reference.hostile import panic_type  # noqa: F401 - for the snippets
from tessarin_reference.model import layout_terms

build = PrefixSearch.from_internal_data_v2
load = PrefixSearch.from_bytes

# Set by .ci/sanitizers.sh: ASan's shadow memory and quarantine inflate the
# resident size, and its address-space reservations rule out RLIMIT_AS.
SANITIZED = bool(os.environ.get("TESSARIN_SANITIZED"))


def trie_of(words, videos=4):
    """(node_shifts, labels, payloads, child_transitions, video_index) of a
    trie over `words`, children in insertion order; word k lists video k %
    videos with count k + 1."""
    layout = layout_terms((w, (k + 1, [k % videos], [k + 1])) for k, w in enumerate(words))
    video_index = [(100 + v).to_bytes(4, "little") for v in range(videos)]
    return (*layout, video_index)


def index_of(words, video_top_n=10):
    return build(*trie_of(words), video_top_n)


WORDS = [
    "cat",
    "car",
    "cart",
    "care",
    "dog",
    "door",
    "café",
    "naïve",
    "über",
    "日本",
    "日本語",
    "a",
    "ab",
    "abc",
    "abcd",
    "abcde",
    "zebra",
    "zero",
    "x" * 12,
]


def chain(depth, label="a"):
    """One path `depth` nodes deep, its end a term."""
    return build(
        list(range(depth + 1)),
        [""] + [label] * depth,
        [None] * depth + [(1, [0], [1])],
        list(range(1, depth + 1)),
        [(7).to_bytes(4, "little")],
        10,
    )


def comb(depth):
    """A path `depth` nodes deep, each with a leaf as its second child, so
    that a walk keeps a row for every node of the path."""
    return build(
        [2 * min(node, depth) for node in range(2 * depth + 1)],
        [""] + ["a"] * depth + ["b"] * depth,
        [None] * (2 * depth + 1),
        [k for node in range(1, depth + 1) for k in (node, depth + node)],
        [],
        0,
    )


_RUNNER = """
import json, resource
def peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
{setup}
result = None
before = peak_kb()
outcome = "returned"
try:
{call}
except BaseException as exc:
    outcome = type(exc).__name__
print(json.dumps({{"outcome": outcome, "peak_mb": (peak_kb() - before) / 1024,
                  "result": result}}, default=repr))
"""


def isolated(setup, call, timeout=120, limit_as_mb=None):
    """Runs `setup`, then `call` (statements that may assign `result`) in a
    fresh interpreter; returns {"outcome": "returned" or the exception's type
    name, "peak_mb": growth of the peak resident size during `call`,
    "result": result as JSON}.
    With limit_as_mb, the address space is capped that far above what the
    interpreter uses after `setup`."""
    setup = textwrap.dedent(setup)
    if limit_as_mb is not None:
        setup += textwrap.dedent(f"""
            import resource
            with open("/proc/self/statm") as f:
                used = int(f.read().split()[0]) * resource.getpagesize()
            cap = used + {limit_as_mb} * 1024 * 1024
            resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
            """)
    code = _RUNNER.format(setup=setup, call=textwrap.indent(textwrap.dedent(call), "    "))
    # The child imports what this process imports (the module under test,
    # this file, the test modules).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env
    )
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def allocation_counters():
    """(the interpreter's total reference count, 0 unless it is a debug
    build; its allocated blocks), after a collection."""
    import gc

    gc.collect()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return refs, sys.getallocatedblocks()


def traced_growth(calls, warmup, rounds):
    """Bytes that tracemalloc sees grow over `rounds` calls of calls(), after
    `warmup` calls and a collection."""
    import gc
    import tracemalloc

    for _ in range(warmup):
        calls()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        calls()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    return grown
