// Errors as tessarin._native raises them.
//
// The package names the exception for a damaged index once, at import, with
// set_corrupt_index_error(); until then ValueError stands in for it. A core
// Error is raised by its kind: kValue (a check on the caller's input) as
// ValueError, every other kind (a saved form that does not decode, one that
// decodes but is damaged, an internal failure met while walking) as that
// exception, with the Error's message. Either carries the kind as its
// attribute `kind` (the enum ErrorKind, bound by bind_error_kind), so that
// the package picks its own classes from the kind, never from the message.
// A failed allocation surfaces as std::bad_alloc, which nanobind turns into
// MemoryError.
#pragma once

#include <nanobind/nanobind.h>

#include "util/result.h"

namespace tessarin::native {

// The enum ErrorKind of the module, one member per core ErrorKind.
void bind_error_kind(nanobind::module_& module);

void set_corrupt_index_error(nanobind::handle type);

// Raises the Error by its kind, as above (throws nb::python_error).
[[noreturn]] void raise_error(const Error& error);

// Raises `type` with `message` (throws nb::python_error).
[[noreturn]] void raise(PyObject* type, const char* message);

}  // namespace tessarin::native
