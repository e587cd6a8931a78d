#include "binding/_native/conversion.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "binding/_native/errors.h"

namespace nb = nanobind;

namespace tessarin::native {
namespace {

// Takes a new reference, throwing if the C API call that made it failed.
nb::object owned(PyObject* object) {
  if (object == nullptr) throw nb::python_error();
  return nb::steal(object);
}

nb::object text(const std::string& utf8) {
  return owned(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

// A str of the code points. A code point that is not a Unicode scalar
// value (only a corrupt index holds one) gets the error that decoding its
// UTF-8 form raises, as every other term's conversion gives it.
nb::object text(std::u32string_view code_points) {
  char32_t widest = 0;
  bool scalars = true;
  for (const char32_t c : code_points) {
    widest = std::max(widest, c);
    scalars = scalars && (c < 0xD800 || (c >= 0xE000 && c <= 0x10FFFF));
  }
  if (!scalars) {
    std::string utf8;
    append_utf8(code_points, utf8);
    return text(utf8);
  }
  const auto size = static_cast<Py_ssize_t>(code_points.size());
  nb::object str = owned(PyUnicode_New(size, static_cast<Py_UCS4>(widest)));
  void* data = PyUnicode_DATA(str.ptr());
  switch (PyUnicode_KIND(str.ptr())) {
    case PyUnicode_1BYTE_KIND:
      std::copy(code_points.begin(), code_points.end(), static_cast<Py_UCS1*>(data));
      break;
    case PyUnicode_2BYTE_KIND:
      std::copy(code_points.begin(), code_points.end(), static_cast<Py_UCS2*>(data));
      break;
    default:
      std::copy(code_points.begin(), code_points.end(), static_cast<Py_UCS4*>(data));
      break;
  }
  return str;
}

nb::object natural(std::size_t value) { return owned(PyLong_FromSize_t(value)); }

// A tuple of the given new references, of type `type` (tuple, or a
// subclass of it with no field of its own, as record_type() checks):
// allocated as tuple.__new__ allocates an instance of such a subclass.
template <class... Items>
PyObject* typed_tuple(PyTypeObject* type, Items&&... items) {
  PyObject* result = type == &PyTuple_Type ? PyTuple_New(sizeof...(Items))
                                           : type->tp_alloc(type, sizeof...(Items));
  if (result == nullptr) throw nb::python_error();
  Py_ssize_t k = 0;
  (PyTuple_SET_ITEM(result, k++, items.release().ptr()), ...);
  return result;
}

template <class... Items>
PyObject* tuple(Items&&... items) {
  return typed_tuple(&PyTuple_Type, std::forward<Items>(items)...);
}

// `record` as a type whose instances a tuple's items make whole: a subclass
// of tuple that adds no storage (no __dict__, no slots), as NamedTuple
// classes are.
PyTypeObject* record_type(nb::handle record) {
  PyObject* object = record.ptr();
  if (!PyType_Check(object) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(object), &PyTuple_Type) ||
      reinterpret_cast<PyTypeObject*>(object)->tp_basicsize != PyTuple_Type.tp_basicsize ||
      reinterpret_cast<PyTypeObject*>(object)->tp_dictoffset != 0) {
    raise(PyExc_TypeError, "record must be a subclass of tuple with no fields of its own");
  }
  return reinterpret_cast<PyTypeObject*>(object);
}

template <class T, class Make>
nb::list list_of(const std::vector<T>& entries, Make&& make) {
  nb::object list = owned(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (std::size_t k = 0; k < entries.size(); ++k) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k), make(entries[k]));
  }
  return nb::borrow<nb::list>(list);
}

}  // namespace

std::u32string to_query(nb::handle object) {
  PyObject* str = object.ptr();
  if (!PyUnicode_Check(str)) {
    const std::string message =
        std::string("the query must be a str, not ") + Py_TYPE(str)->tp_name;
    raise(PyExc_TypeError, message.c_str());
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(str) != 0) throw nb::python_error();
#endif
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  std::u32string query(static_cast<std::size_t>(length), U'\0');
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  if (kind == PyUnicode_4BYTE_KIND) {
    std::memcpy(query.data(), data, static_cast<std::size_t>(length) * sizeof(char32_t));
  } else {
    for (Py_ssize_t i = 0; i < length; ++i) {
      query[static_cast<std::size_t>(i)] = static_cast<char32_t>(PyUnicode_READ(kind, data, i));
    }
  }
  return query;
}

std::vector<std::u32string> to_queries(nb::handle terms, const char* what) {
  const nb::object items = owned(PySequence_Fast(terms.ptr(), "the terms must be a sequence"));
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
  PyObject** item = PySequence_Fast_ITEMS(items.ptr());
  std::vector<std::u32string> queries;
  queries.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyUnicode_Check(item[i])) {
      const std::string message = std::string(what) + "[" + std::to_string(i) +
                                  "] must be a str, not " + Py_TYPE(item[i])->tp_name;
      raise(PyExc_TypeError, message.c_str());
    }
    queries.push_back(to_query(item[i]));
  }
  return queries;
}

nb::list to_python(const std::vector<Suggestion>& suggestions) {
  return list_of(suggestions, [](const Suggestion& s) {
    return tuple(text(s.term), natural(s.distance), natural(s.count));
  });
}

nb::list to_python(const std::vector<VideoScore>& videos) {
  return list_of(videos, [](const VideoScore& v) {
    return tuple(text(v.id), owned(PyFloat_FromDouble(v.score)));
  });
}

nb::list to_python(const NodeMatches& nodes, nb::handle record) {
  PyTypeObject* type = record.is_none() ? &PyTuple_Type : record_type(record);
  return list_of(nodes.entries(), [&](const NodeMatches::Entry& n) {
    return typed_tuple(type, natural(n.node), text(nodes.term(n)), natural(n.distance),
                       nb::bool_(n.terminal), natural(n.total_count));
  });
}

nb::list to_python(const std::vector<VideoCount>& videos) {
  return list_of(videos,
                 [](const VideoCount& v) { return tuple(text(v.video), natural(v.count)); });
}

nb::list to_python(const std::vector<PooledTerm>& pooled) {
  return list_of(pooled, [](const PooledTerm& p) {
    return tuple(natural(p.node), text(p.term), natural(p.distance), nb::bool_(p.terminal),
                 natural(p.count), owned(PyFloat_FromDouble(p.weight)));
  });
}

nb::list to_python(const std::vector<Completion>& completions) {
  return list_of(completions, [](const Completion& c) {
    return tuple(text(c.term), natural(c.distance), natural(c.count));
  });
}

}  // namespace tessarin::native
