#include "binding/_tessarin/conversion.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "binding/_tessarin/exceptions.h"

namespace tessarin::binding {
namespace {

PyObject* out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return nullptr;
}

bool to_bounded(PyObject* object, long max, long* out) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred() != nullptr) return false;
  if (value < 0 || value > max) {
    out_of_range();
    return false;
  }
  *out = value;
  return true;
}

// Makes sure the str's canonical form is there (a no-op from 3.12 on).
bool ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(text) == 0;
#else
  (void)text;
  return true;
#endif
}

// A lone surrogate cannot be encoded as UTF-8; let the host raise its own
// encoding error for it.
bool has_surrogate(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND) return false;
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}

bool refuse_surrogates(PyObject* text) {
  if (!has_surrogate(text)) return true;
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(text, &size) == nullptr) return false;
  return true;  // the host encoded it after all
}

bool check_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_type_mismatch(object, kind::kString);
    return false;
  }
  return ready(object) && refuse_surrogates(object);
}

}  // namespace

bool to_u32(PyObject* object, std::uint32_t* out) {
  long value = 0;
  if (!to_bounded(object, 0xFFFFFFFFL, &value)) return false;
  *out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_u8(PyObject* object, std::uint8_t* out) {
  long value = 0;
  if (!to_bounded(object, 0xFF, &value)) return false;
  *out = static_cast<std::uint8_t>(value);
  return true;
}

bool to_usize(PyObject* object, std::size_t* out) {
  static_assert(sizeof(std::size_t) == sizeof(unsigned long long));
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    OwnedRef index = OwnedRef::consuming(PyNumber_Index(object));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  *out = value;
  return true;
}

bool to_f64(PyObject* object, double* out) {
  if (PyFloat_CheckExact(object)) {
    *out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
  *out = value;
  return true;
}

bool to_bool(PyObject* object, bool* out) {
  if (object == Py_True || object == Py_False) {
    *out = object == Py_True;
    return true;
  }
  // numpy's bool scalars (numpy.bool_, named numpy.bool from numpy 2 on).
  PyTypeObject* type = Py_TYPE(object);
  // A type without these names is simply not numpy's; a failed allocation
  // while looking them up is still a MemoryError.
  OwnedRef name = OwnedRef::consuming(type_attribute(type, "__name__"));
  OwnedRef module = name ? OwnedRef::consuming(type_attribute(type, "__module__")) : OwnedRef();
  if (!module) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
  }
  const bool numpy_bool = name && module && PyUnicode_Check(name.get()) &&
                          PyUnicode_Check(module.get()) &&
                          (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0) &&
                          PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
  if (numpy_bool && type->tp_as_number != nullptr && type->tp_as_number->nb_bool != nullptr) {
    const int truth = type->tp_as_number->nb_bool(object);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  raise_type_mismatch(object, kind::kBool);
  return false;
}

bool to_text(PyObject* object, std::u32string* out) {
  if (!check_text(object)) return false;
  const int kind = PyUnicode_KIND(object);
  const void* data = PyUnicode_DATA(object);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(object);
  out->resize(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    (*out)[static_cast<std::size_t>(i)] = static_cast<char32_t>(PyUnicode_READ(kind, data, i));
  }
  return true;
}

bool to_label(PyObject* object, char32_t* out) {
  if (!check_text(object)) return false;
  *out =
      PyUnicode_GET_LENGTH(object) == 0 ? 0 : static_cast<char32_t>(PyUnicode_READ_CHAR(object, 0));
  return true;
}

bool to_byte_view(PyObject* object, std::span<const std::uint8_t>* out) {
  if (!PyBytes_Check(object)) {
    raise_type_mismatch(object, kind::kBytes);
    return false;
  }
  *out = std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
      static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

bool check_array(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_type_mismatch(object, kind::kSequence);
    return false;
  }
  return true;
}

std::size_t reserve_hint(PyObject* sequence) {
  if (PyList_CheckExact(sequence)) return static_cast<std::size_t>(PyList_GET_SIZE(sequence));
  if (PyTuple_CheckExact(sequence)) return static_cast<std::size_t>(PyTuple_GET_SIZE(sequence));
  // Anything else may claim any length: take it as a hint only, capped.
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min<std::size_t>(static_cast<std::size_t>(length), 4096);
}

namespace {

// Types whose iteration yields exactly the integers of their buffer; a
// subclass might iterate differently, so only the exact types qualify.
bool iterates_as_buffer(PyObject* object) {
  if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object) || PyMemoryView_Check(object)) {
    return true;
  }
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "array.array") == 0 || std::strcmp(name, "numpy.ndarray") == 0;
}

template <class Item, class T>
bool copy_items(const Py_buffer& view, std::uint64_t max, std::vector<T>& out) {
  const auto* base = static_cast<const char*>(view.buf);
  const Py_ssize_t count = view.shape[0];
  const Py_ssize_t stride = view.strides[0];
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    Item item;
    std::memcpy(&item, base + i * stride, sizeof(Item));
    if constexpr (std::is_signed_v<Item>) {
      if (item < 0) return false;
    }
    const auto value = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<Item>>(item));
    if (value > max) return false;
    out[start + static_cast<std::size_t>(i)] = static_cast<T>(value);
  }
  return true;
}

// Converts a one-dimensional integer buffer (array.array, numpy arrays,
// bytes, memoryview) without touching its items as Python objects. Returns
// true when it converted everything; false when the object does not qualify
// or holds a value outside 0..max, and then out is unchanged, no error is
// set, and the item-by-item path gives the exact result or error.
template <class T>
bool convert_integer_buffer(PyObject* object, std::uint64_t max, std::vector<T>& out) {
  if (!iterates_as_buffer(object)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return false;
  }
  const std::size_t start = out.size();
  bool converted = false;
  const char* format = view.format == nullptr ? "B" : view.format;
  if (format[0] == '@') ++format;
  if (view.ndim == 1 && format[0] != '\0' && format[1] == '\0') {
    const auto size = static_cast<std::size_t>(view.itemsize);
    switch (format[0]) {
      case 'b':
        converted = size == 1 && copy_items<signed char>(view, max, out);
        break;
      case 'B':
        converted = size == 1 && copy_items<unsigned char>(view, max, out);
        break;
      case 'h':
        converted = size == sizeof(short) && copy_items<short>(view, max, out);
        break;
      case 'H':
        converted = size == sizeof(short) && copy_items<unsigned short>(view, max, out);
        break;
      case 'i':
        converted = size == sizeof(int) && copy_items<int>(view, max, out);
        break;
      case 'I':
        converted = size == sizeof(int) && copy_items<unsigned>(view, max, out);
        break;
      case 'l':
        converted = size == sizeof(long) && copy_items<long>(view, max, out);
        break;
      case 'L':
        converted = size == sizeof(long) && copy_items<unsigned long>(view, max, out);
        break;
      case 'q':
        converted = size == sizeof(long long) && copy_items<long long>(view, max, out);
        break;
      case 'Q':
        converted = size == sizeof(long long) && copy_items<unsigned long long>(view, max, out);
        break;
      case 'n':
        converted = size == sizeof(Py_ssize_t) && copy_items<Py_ssize_t>(view, max, out);
        break;
      case 'N':
        converted = size == sizeof(std::size_t) && copy_items<std::size_t>(view, max, out);
        break;
      default:
        break;
    }
  }
  PyBuffer_Release(&view);
  if (!converted) out.resize(start);
  return converted;
}

}  // namespace

bool to_u32_array(PyObject* object, std::vector<std::uint32_t>& out) {
  if (!check_array(object)) return false;
  if (convert_integer_buffer(object, 0xFFFFFFFFu, out)) return true;
  out.reserve(out.size() + reserve_hint(object));
  return iterate_items(object, [&](PyObject* item) {
    std::uint32_t value = 0;
    if (!to_u32(item, &value)) return false;
    out.push_back(value);
    return true;
  });
}

bool to_label_array(PyObject* object, std::vector<char32_t>& out) {
  if (!check_array(object)) return false;
  out.reserve(out.size() + reserve_hint(object));
  return iterate_items(object, [&](PyObject* item) {
    char32_t label = 0;
    if (!to_label(item, &label)) return false;
    out.push_back(label);
    return true;
  });
}

bool to_byte_array(PyObject* object, std::vector<std::uint8_t>& out) {
  if (!check_array(object)) return false;
  if (convert_integer_buffer(object, 0xFF, out)) return true;
  return iterate_items(object, [&](PyObject* item) {
    std::uint8_t value = 0;
    if (!to_u8(item, &value)) return false;
    out.push_back(value);
    return true;
  });
}

}  // namespace tessarin::binding
