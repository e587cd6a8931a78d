// Conversion of Python values into the plain values the core takes.
//
// Each converter returns false with a Python exception set when the value is
// refused, with the host's own messages where the host converts (integers,
// floats, encodings) and these where it does not:
//   "'{type}' object cannot be converted to '{kind}'" (TypeError) for a value
//   of the wrong kind, kind one of "Sequence", "PyString", "PyBytes",
//   "PyBool", "PyTuple";
//   "out of range integral type conversion attempted" (OverflowError) for an
//   integer outside a 32- or 8-bit target;
//   "Can't extract `str` to `Vec`" (TypeError) for a str given as an array.
// The argument-name prefix is added by convert_argument() (arguments.h), not
// here. These messages, the kind names included, are part of the module's
// fixed behaviour: callers match on them, so they stay as they are even where
// they read oddly ("Can't extract `str` to `Vec`").
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "binding/_tessarin/reference.h"

namespace tessarin::binding {

// The kinds that type-mismatch errors name. Part of the module's fixed
// behaviour: callers match on these messages, so the names stay as they are.
namespace kind {
inline constexpr char kSequence[] = "Sequence";
inline constexpr char kString[] = "PyString";
inline constexpr char kBytes[] = "PyBytes";
inline constexpr char kBool[] = "PyBool";
inline constexpr char kTuple[] = "PyTuple";
}  // namespace kind

bool to_u32(PyObject* object, std::uint32_t* out);
bool to_u8(PyObject* object, std::uint8_t* out);
bool to_usize(PyObject* object, std::size_t* out);
bool to_f64(PyObject* object, double* out);
bool to_bool(PyObject* object, bool* out);
// A str as its Unicode scalar values.
bool to_text(PyObject* object, std::u32string* out);
// A str as its first scalar value, 0 for the empty string; the whole string
// must still be encodable as UTF-8.
bool to_label(PyObject* object, char32_t* out);
// A bytes object (or an instance of a subclass) as a view of its bytes,
// valid while the object lives; other buffers (bytearray, memoryview) are
// refused.
bool to_byte_view(PyObject* object, std::span<const std::uint8_t>* out);

// The "array" rule: refuses a str and anything without the sequence
// protocol.
bool check_array(PyObject* object);
// For an object that passed check_array(): calls on_item(borrowed item) for
// each item, in iteration order, stopping at the first that returns false.
template <class F>
bool iterate_items(PyObject* sequence, F&& on_item);
// A size hint for an array, never more than its items could fill.
std::size_t reserve_hint(PyObject* sequence);

bool to_u32_array(PyObject* object, std::vector<std::uint32_t>& out);
bool to_label_array(PyObject* object, std::vector<char32_t>& out);
// An array of integers 0..255, appended to out.
bool to_byte_array(PyObject* object, std::vector<std::uint8_t>& out);

template <class F>
bool iterate_items(PyObject* sequence, F&& on_item) {
  if (PyList_CheckExact(sequence)) {
    // Like the list's iterator: re-read the size at every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
      OwnedRef item = OwnedRef::owning(PyList_GET_ITEM(sequence, i));
      if (!on_item(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(sequence)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence); ++i) {
      if (!on_item(PyTuple_GET_ITEM(sequence, i))) return false;
    }
    return true;
  }
  OwnedRef iterator = OwnedRef::consuming(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (OwnedRef item = OwnedRef::consuming(PyIter_Next(iterator.get()))) {
    if (!on_item(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace tessarin::binding
