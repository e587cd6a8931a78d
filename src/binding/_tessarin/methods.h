// The wrappers of PrefixSearch's methods, one file each: each binds and
// converts its arguments, calls the core and converts the result.
#pragma once

#include <Python.h>

namespace tessarin::binding {

PyObject* from_internal_data_v2(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* to_bytes(PyObject* self, PyObject* unused);
PyObject* from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace tessarin::binding
