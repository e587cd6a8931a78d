// Ownership of Python references, in the type's name.
//
// OwnedRef holds one strong reference and releases it when destroyed; it is
// move-only. Make one with OwnedRef::consuming(p) from a new reference that
// you own (the result of a C-API call returning a new reference), or with
// OwnedRef::owning(p) from a borrowed one (it takes a reference of its own).
// Hand the reference back with release(), which must be used. A borrowed
// reference is kept as a plain PyObject*: it never changes a count.
//
// An OwnedRef may hold null: a failed C-API call yields one that tests
// false, with the Python error set by the call.
#pragma once

#include <Python.h>

#include <utility>

namespace tessarin::binding {

class OwnedRef {
 public:
  OwnedRef() = default;
  static OwnedRef consuming(PyObject* p) { return OwnedRef(p); }
  static OwnedRef owning(PyObject* p) {
    Py_XINCREF(p);
    return OwnedRef(p);
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const { return p_; }
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tessarin::binding
