// From core errors and C++ failures to Python exceptions.
//
// Every function here sets a Python exception and returns nullptr (or false),
// so a wrapper can `return raise_error(e);`. Exceptions are created only when
// raised.
//
//   ErrorKind::kValue    -> ValueError(message)
//   ErrorKind::kDecode   -> ValueError("decode error: " + message)
//   ErrorKind::kDamaged  -> the same (the module's own loading never meets it)
//   ErrorKind::kEncode   -> ValueError("encode error: " + message)
//   ErrorKind::kInternal -> PanicException(message), described on stderr
//   std::bad_alloc       -> MemoryError
//   InternalFailure      -> PanicException(its message), like kInternal
//   any other C++ exception -> PanicException
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "util/checked.h"
#include "util/result.h"

namespace tessarin::binding {

PyObject* raise_error(const Error& error);
// Internal failure: writes the description to the process's stderr and
// raises PanicException with `message` as its single argument.
PyObject* raise_panic(std::string_view message);
// The attribute `name` of `type` (a new reference, or nullptr with an
// exception set), looked up through an interned name made once per process.
// The host's type-attribute cache is keyed by the name object's address, so
// a fresh name string per call would take a new cache slot every time.
PyObject* type_attribute(PyTypeObject* type, const char* name);
// TypeError "'{type}' object cannot be converted to '{kind}'".
PyObject* raise_type_mismatch(PyObject* object, const char* kind);

// After a failed conversion of parameter `name`: a pending exception of
// exactly TypeError becomes TypeError("argument '{name}': {message}"),
// keeping the old one's cause. Other exceptions are left as they are.
void prefix_argument_error(const char* name);

// Runs a wrapper's body, turning C++ exceptions that escape it into Python
// exceptions: a failed allocation into MemoryError, anything else into an
// internal failure, with its own message where it has one. (The core's entry
// points return an InternalFailure as an Error; one that escaped a catch
// still keeps its message here.)
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const InternalFailure& failure) {
    return raise_panic(failure.message());
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown internal failure");
  }
}

}  // namespace tessarin::binding
