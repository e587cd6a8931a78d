"""Plain, slow, obviously right models of the index, for comparison.

The tests, the fuzzers and the benchmarks compare the extension with these
models (the tests mostly through hypothesis):

* ``model``: building an index from its flat arrays and propagating the
  payloads up the trie;
* ``matching``: ``fuzzy_match`` by brute force, the pruned walk row by row,
  and the ranking formula of ``fuzzy_match_video``;
* ``completion``: fuzzy prefix completion (``Index.complete``) by brute
  force: which terms complete a text, at what distance, in what order;
* ``marks``: where a term differs from what was typed (the runs kept,
  replaced, inserted and deleted that the server's answers carry), by the
  plain dynamic programme;
* ``saved_form``: the byte layout of ``to_bytes`` and ``from_bytes``, with
  every decode error;
* ``saved_format``: a reader of saved forms into their fields, for looking
  inside what a builder saved;
* ``strategies``: hypothesis strategies for valid arguments of
  ``from_internal_data_v2`` (needs hypothesis);
* ``hostile``: odd argument objects and the refusals of the argument
  converters, for driving the extension with hostile input;
* ``builder``: the pure-Python records-to-arrays layout that
  ``tessarin.IndexBuilder`` had before its native one, which must give the
  same arrays, with its own record checks and reading of integer text.

The models stay independent of the code under test: nothing here imports
``tessarin`` or ``_tessarin``, except ``hostile``, whose job is to drive the
extension. Run from the repository root, where pytest, ``python -m bench.…``
and ``python -m fuzz.…`` find this package.
"""
