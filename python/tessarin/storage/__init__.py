"""The index file and what is stored with the package.

* `container`: the index file's header, metadata and checksum around a
  saved form;
* `files`: writing a file whole or not at all;
* `file_info`: what an index file says of itself (`tessarin info`);
* `sample`: the sample index shipped in `data/sample.idx`.
"""
