// The Python type PrefixSearch: an object holding one core PrefixSearch.
//
// No constructor (instances come from the static methods), not subclassable,
// no instance dictionary or weak references, no cyclic GC: an instance holds
// no Python references. Instance methods take a shared borrow of the object
// for the length of the call (SharedBorrow); nothing ever writes to it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>

#include "index/trie.h"
#include "query/prefix_search.h"

namespace tessarin::binding {

struct PrefixSearchObject {
  PyObject_HEAD std::atomic<std::size_t> borrows;
  tessarin::PrefixSearch value;
};

// Creates the type object; called once per process by module initialisation.
PyObject* create_prefix_search_type();

// A new PrefixSearch instance owning `trie`, or nullptr with an exception set.
PyObject* new_prefix_search(Trie&& trie);

class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) : self_(reinterpret_cast<PrefixSearchObject*>(self)) {
    self_->borrows.fetch_add(1, std::memory_order_relaxed);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { self_->borrows.fetch_sub(1, std::memory_order_relaxed); }
  [[nodiscard]] const tessarin::PrefixSearch& get() const { return self_->value; }

 private:
  PrefixSearchObject* self_;
};

}  // namespace tessarin::binding
