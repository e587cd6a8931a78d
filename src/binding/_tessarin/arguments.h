// Binding of positional and keyword arguments for METH_FASTCALL|METH_KEYWORDS
// methods whose parameters may all be given by position or by keyword.
//
// bind_arguments() fills one slot per parameter with a borrowed reference to
// the argument given for it, or nullptr when it was not given. It refuses,
// with the host's wording for Python functions and the method named as
// "PrefixSearch.name()": more positional arguments than parameters, a keyword
// naming no parameter, a parameter given twice, and missing required
// parameters (all of them named).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace tessarin::binding {

struct Signature {
  const char* full_name;     // "PrefixSearch.fuzzy_match()"
  const char* const* names;  // parameter names, in order
  std::size_t count;         // number of parameters
  std::size_t required;      // the first `required` parameters have no default
};

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

}  // namespace tessarin::binding
