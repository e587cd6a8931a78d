// NativeBuilder: the Python type of tessarin._native that collects records
// and builds an index from them (build/record_builder.h).
//
// Records come as Python iterables of (term, video, count) tuples, or as
// Arrow data through the PyCapsule interface (__arrow_c_stream__ or
// __arrow_c_array__), which the core reads in place (build/arrow_stream.h)
// without the interpreter lock. The binding converts and calls: every check
// of a record, its message and the reading loop are the core's; a refusal
// comes back typed (kind, number, value, message) for the package to raise.
// One builder is used by one thread at a time: a second caller while a
// batch runs gets RuntimeError.
#pragma once

#include <nanobind/nanobind.h>

namespace tessarin::native {

void bind_index_builder(nanobind::module_& module);

}  // namespace tessarin::native
