// Errors as tessarin._native raises them.
//
// The package names the exception for a damaged index once, at import, with
// set_corrupt_index_error(); until then ValueError stands in for it. Every
// core Error a query or a load can return (a saved form that does not
// decode or does not hold together; an internal failure met while walking)
// is raised as that exception with the Error's message. A failed allocation
// surfaces as std::bad_alloc, which nanobind turns into MemoryError.
#pragma once

#include <nanobind/nanobind.h>

#include "util/result.h"

namespace tessarin::native {

void set_corrupt_index_error(nanobind::handle type);

// Raises the Error (throws nb::python_error): the corrupt-index exception,
// or ValueError for a check on the caller's input (kValue).
[[noreturn]] void raise_error(const Error& error);

// Raises `type` with `message` (throws nb::python_error).
[[noreturn]] void raise(PyObject* type, const char* message);

}  // namespace tessarin::native
