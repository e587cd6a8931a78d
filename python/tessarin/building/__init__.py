"""From records to an index.

* `records`: `RecordBuilder`, the records' checks and the native build;
* `index_builder`: `IndexBuilder` (records to a `tessarin.Index`) and
  `build_index` (records to a `PrefixSearch`);
* `spark`: the index of a Spark DataFrame of search events (`tessarin.spark`).

Reading records from files is `tessarin.read`'s.
"""
