"""Saving and loading an index: from every kind of source, with damage
named in plain words, and what a Python value does (pickle, copy)."""

from __future__ import annotations

import copy
import dataclasses
import mmap
import pickle
import warnings
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from samples import RECORDS, index_file
from samples import SMALL_INDEX as INDEX

import tessarin
from _tessarin import PrefixSearch
from tessarin import (
    CorruptIndexError,
    Index,
    IndexFormatError,
    NotAnIndexError,
    TessarinError,
    UncheckedIndexWarning,
)
from tessarin._native import ErrorKind, NativeIndex
from tessarin_reference.model import INT32, ModelTrie
from tessarin_reference.saved_form import encode
from tessarin_reference.strategies import build_args

FILE = INDEX.to_bytes()


def same_answers(index: Index) -> bool:
    return all(
        index.suggest(q, 2) == INDEX.suggest(q, 2) and index.search(q) == INDEX.search(q)
        for q in ["cat", "czt", "ca", "th", ""]
    )


@pytest.mark.parametrize(
    "source",
    [bytes, bytearray, memoryview, "path", "pathlib", "mmap"],
    ids=lambda s: s if isinstance(s, str) else s.__name__,
)
def test_a_saved_file_loads_from_every_kind_of_source(tmp_path, source):
    path = tmp_path / "i.idx"
    INDEX.save(path, version=1)
    assert path.read_bytes() == FILE
    if source == "path":
        loaded = Index.load(str(path))
    elif source == "pathlib":
        loaded = Index.load(path)
    elif source == "mmap":
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            loaded = Index.load(m)
    else:
        loaded = Index.load(source(FILE))
    assert same_answers(loaded) and loaded.metadata == INDEX.metadata


@settings(max_examples=300, deadline=None)
@given(st.integers(0, len(FILE) * 8 - 1))
def test_a_flipped_bit_anywhere_never_answers(bit):
    damaged = bytearray(FILE)
    damaged[bit // 8] ^= 1 << (bit % 8)
    with pytest.raises(TessarinError):
        Index.load(damaged)


@settings(max_examples=300, deadline=None)
@given(
    st.binary(max_size=64)
    | st.builds(lambda cut: INDEX.to_prefix_search().to_bytes()[:cut], st.integers(0, 200))
)
def test_any_bytes_load_or_raise_only_package_errors(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UncheckedIndexWarning)
        try:
            index = Index.load(data)
        except TessarinError:
            return
    index.suggest("cat", 3)
    index.search("ca", 3)


def test_a_bare_saved_form_loads_with_a_warning_at_the_caller():
    saved = INDEX.to_prefix_search().to_bytes()
    with pytest.warns(UncheckedIndexWarning, match="no checksum") as caught:
        loaded = Index.load(saved)
    assert caught[0].filename == __file__
    assert same_answers(loaded) and loaded.metadata.builder == ""


def test_a_damaged_bare_saved_form_is_corrupt_and_other_bytes_are_not_an_index(tmp_path):
    saved = INDEX.to_prefix_search().to_bytes()
    with pytest.raises(NotAnIndexError, match="nor a saved index"):
        Index.load(b"\x7fELF and so on")
    # A saved form with damage is one, damaged: not "not an index".
    with pytest.raises(CorruptIndexError, match="1 bytes after its end") as raised:
        Index.load(saved + b"\0")
    assert not isinstance(raised.value, NotAnIndexError)
    # From a file, the message names it and the error keeps the core's kind.
    (tmp_path / "bare").write_bytes(saved + b"\0")
    with pytest.raises(CorruptIndexError, match=r"^/.*bare: the saved") as raised:
        Index.load(tmp_path / "bare")
    assert raised.value.kind is ErrorKind.DAMAGED


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (lambda b: b[:8] + b"\x03" + b[9:], IndexFormatError, "later release"),
        (lambda b: b[:-1], CorruptIndexError, "truncated"),
        (lambda b: b + b"x", CorruptIndexError, "followed by bytes"),
        (lambda b: b"", NotAnIndexError, "no index file header|empty"),
    ],
)
def test_damaged_files_are_refused_naming_the_file_and_the_damage(tmp_path, change, error, message):
    path = tmp_path / "bad.idx"
    path.write_bytes(change(FILE))
    with pytest.raises(error, match=message) as raised:
        Index.load(path)
    assert str(raised.value).startswith(str(path))
    assert issubclass(error, TessarinError) and issubclass(TessarinError, Exception)


def test_an_unknown_normalisation_is_refused():
    metadata = dataclasses.replace(INDEX.metadata, normalization="from-the-future")
    data = index_file(metadata, INDEX.to_prefix_search().to_bytes())
    with pytest.raises(IndexFormatError, match="normalisation 'from-the-future'"):
        Index.load(data)


def test_indexes_and_prefix_searches_pickle_and_copy_to_the_same_answers():
    assert same_answers(pickle.loads(pickle.dumps(INDEX)))
    prefix_search = tessarin.build_index(RECORDS)
    for clone in [pickle.loads(pickle.dumps(prefix_search)), copy.deepcopy(prefix_search)]:
        assert isinstance(clone, PrefixSearch) and clone.to_bytes() == prefix_search.to_bytes()


def test_an_index_is_immutable_copies_as_itself_and_takes_weak_references():
    assert copy.copy(INDEX) is INDEX and copy.deepcopy(INDEX) is INDEX
    assert weakref.ref(INDEX)() is INDEX
    with pytest.raises(AttributeError):
        INDEX.anything = 1


# ------------------------------- the saved form, in the package's extension


def saved_trie(**changes) -> bytes:
    """The saved form of a three-node trie a -> b, with fields replaced."""
    fields = dict(
        node_shifts=[0, 1, 2],
        child_labels=[0, 97, 98],
        child_transitions=[1, 2],
        payloads=[None, (3, [0], [3]), None],
        video_uuids=[],
        video_int_ids=[7],
        id_mode=INT32,
        is_terminal=[0, 1, 0],
    )
    fields.update(changes)
    return encode(ModelTrie(**fields))


@pytest.mark.parametrize(
    ("saved", "message"),
    [
        (b"", r"does not decode: UnexpectedEnd \{ additional: 1 \}$"),
        (saved_trie() + b"\0\0", r"^the saved index has 2 bytes after its end$"),
        (saved_trie(node_shifts=[0, 1]), r"node_shifts has 2 entries for 3 nodes$"),
        (saved_trie(payloads=[None]), r"payloads has 1 entries for 3 nodes$"),
        (saved_trie(is_terminal=[0]), r"is_terminal has 1 entries for 3 nodes$"),
        (saved_trie(child_transitions=[1, 3]), r"entry 1 of child_transitions names node 3 of 3$"),
        (saved_trie(node_shifts=[0, 1, 3]), r"the children of node 2 start at 3, beyond the 2"),
        (saved_trie(child_transitions=[1, 0]), r"the root is listed as a child$"),
        (saved_trie(child_transitions=[1, 1]), r"node 1 is listed as a child twice$"),
        (saved_trie(node_shifts=[0, 2, 1]), r"entry 1 of child_transitions lies in the child "),
        (
            saved_trie(payloads=[None, (3, [0], []), None]),
            r"the payload of node 1 lists 1 videos and 0 counts$",
        ),
    ],
)
def test_damaged_saved_forms_are_refused_in_plain_words_with_their_kind(saved, message):
    with pytest.raises(CorruptIndexError, match=message) as raised:
        NativeIndex.from_saved(saved)
    # The kind the package decides by: bytes that do not decode, or damage.
    assert raised.value.kind is (ErrorKind.DECODE if saved == b"" else ErrorKind.DAMAGED)


def test_a_saved_form_loads_from_contiguous_buffers_only(tmp_path):
    saved = saved_trie()
    path = tmp_path / "saved"
    path.write_bytes(saved)
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as m:
        for buffer in (bytearray(saved), memoryview(saved), m):
            assert NativeIndex.from_saved(buffer).to_saved() == saved
    with pytest.raises(BufferError):
        NativeIndex.from_saved(memoryview(saved + saved)[::2])
    with pytest.raises(TypeError):
        NativeIndex.from_saved("not bytes")


@settings(max_examples=200, deadline=None)
@given(build_args(tree=True), st.data())
def test_cut_saved_forms_are_refused_damaged_ones_answer_as_the_extension(args, data):
    saved = PrefixSearch.from_internal_data_v2(*args).to_bytes()
    cut = data.draw(st.integers(0, len(saved) - 1))
    with pytest.raises(CorruptIndexError):
        NativeIndex.from_saved(saved[:cut])
    damaged = bytearray(saved)
    for _ in range(data.draw(st.integers(1, 3))):
        damaged[data.draw(st.integers(0, len(saved) - 1))] ^= data.draw(st.integers(1, 255))
    try:
        native = NativeIndex.from_saved(damaged)
    except CorruptIndexError:
        return
    # What loads answers, and answers as the extension does on the same bytes.
    extension = PrefixSearch.from_bytes(bytes(damaged))
    for term in ["", "a", "ab", "中é"]:
        assert native.search(term, 2, None, True, 0.0, False) == extension.fuzzy_match_video(
            term, 2, None, True, 0.0
        )
        assert sorted((t, d) for t, d, _ in native.suggest(term, 2, None, False)) == sorted(
            (t, d) for t, _, d in extension.fuzzy_match(term, 2)
        )
        for node, *_ in native.match_nodes(term, 2, False, False):
            native.node_videos(node)
