#include "binding/_native/errors.h"

#include <atomic>

namespace nb = nanobind;

namespace tessarin::native {
namespace {

// Read by any thread that raises; written at import. A replaced type is
// kept alive for good: another thread may be raising it at that moment.
std::atomic<PyObject*> corrupt_index_error{nullptr};

}  // namespace

void set_corrupt_index_error(nb::handle type) {
  if (!PyType_Check(type.ptr()) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()),
                        reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    raise(PyExc_TypeError, "set_corrupt_index_error() takes a subclass of Exception");
  }
  corrupt_index_error.store(type.inc_ref().ptr());
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw nb::python_error();
}

void raise_error(const Error& error) {
  PyObject* type = corrupt_index_error.load();
  if (type == nullptr || error.kind == ErrorKind::kValue) type = PyExc_ValueError;
  raise(type, error.message.c_str());
}

}  // namespace tessarin::native
