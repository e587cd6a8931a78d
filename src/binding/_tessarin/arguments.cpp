#include "binding/_tessarin/arguments.h"

#include <string>

namespace tessarin::binding {
namespace {

PyObject* too_many_positional(const Signature& s, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (s.required == s.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional argument%s but %zd %s given",
                 s.full_name, s.count, s.count == 1 ? "" : "s", given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 s.full_name, s.required, s.count, given, was);
  }
  return nullptr;
}

void missing_required(const Signature& s, PyObject** slots) {
  std::string names;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < s.required; ++i) missing += slots[i] == nullptr ? 1 : 0;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < s.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += s.names[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", s.full_name,
               missing, missing == 1 ? "" : "s", names.c_str());
}

}  // namespace

bool bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  for (std::size_t i = 0; i < s.count; ++i) slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > s.count) {
    too_many_positional(s, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t found = s.count;
    for (std::size_t i = 0; i < s.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, s.names[i]) == 0) {
        found = i;
        break;
      }
    }
    if (found == s.count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", s.full_name, key);
      return false;
    }
    if (slots[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", s.full_name,
                   s.names[found]);
      return false;
    }
    slots[found] = args[nargs + k];
  }

  for (std::size_t i = 0; i < s.required; ++i) {
    if (slots[i] == nullptr) {
      missing_required(s, slots);
      return false;
    }
  }
  return true;
}

}  // namespace tessarin::binding
