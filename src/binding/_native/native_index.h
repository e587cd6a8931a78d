// NativeIndex: the Python type of tessarin._native, one checked index.
//
// It holds a PrefixSearch restored by restore_checked(), so its arrays hold
// together (format/restore_checked.h), and never changes afterwards: any number of
// threads may query it at once, with or without the interpreter lock.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "query/prefix_search.h"

namespace tessarin::native {

struct NativeIndex {
  explicit NativeIndex(Trie trie) : index(std::move(trie)) {}

  PrefixSearch index;

  [[nodiscard]] const Trie& trie() const { return index.trie(); }
};

// The class with its loading, saving and properties.
nanobind::class_<NativeIndex> bind_native_index(nanobind::module_& module);

// The query methods (queries.cpp).
void bind_queries(nanobind::class_<NativeIndex>& cls);

}  // namespace tessarin::native
