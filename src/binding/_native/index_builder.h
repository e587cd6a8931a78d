// NativeBuilder: the Python type of tessarin._native that collects records
// and builds an index from them (build/record_builder.h).
//
// Records come as Python iterables of (term, video, count) tuples, or as
// Arrow data through the PyCapsule interface (__arrow_c_stream__ or
// __arrow_c_array__): batches are read in place, without the interpreter
// lock. One builder is used by one thread at a time: a second caller while
// a batch runs gets RuntimeError.
#pragma once

#include <nanobind/nanobind.h>

namespace tessarin::native {

void bind_index_builder(nanobind::module_& module);

}  // namespace tessarin::native
