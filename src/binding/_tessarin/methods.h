// The methods of PrefixSearch, one file each in methods/. Each file holds the
// method's wrapper, which binds and converts its arguments, calls one core
// function and converts the result, and its entry of the type's method
// table (name, wrapper, flags and text signature), returned by the function
// declared here. The table itself is in prefix_search_type.cpp.
#pragma once

#include <Python.h>

namespace tessarin::binding {

PyMethodDef from_internal_data_v2_method();
PyMethodDef to_bytes_method();
PyMethodDef from_bytes_method();
PyMethodDef fuzzy_match_method();
PyMethodDef fuzzy_match_video_method();

// A METH_FASTCALL wrapper as the table stores it.
template <class F>
PyCFunction fastcall(F* wrapper) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper));
}

}  // namespace tessarin::binding
