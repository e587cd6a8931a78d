#include "binding/_native/errors.h"

#include <atomic>

namespace nb = nanobind;

namespace tessarin::native {
namespace {

// Read by any thread that raises; written at import. A replaced type is
// kept alive for good: another thread may be raising it at that moment.
std::atomic<PyObject*> corrupt_index_error{nullptr};

}  // namespace

void bind_error_kind(nb::module_& module) {
  nb::enum_<ErrorKind>(module, "ErrorKind", "The kind of a core error, carried by what it raises.")
      .value("VALUE", ErrorKind::kValue, "a check on the caller's input failed")
      .value("DECODE", ErrorKind::kDecode, "bytes that do not decode as a saved form")
      .value("DAMAGED", ErrorKind::kDamaged,
             "a saved form that decodes but is damaged: bytes after its end, arrays that do "
             "not hold together")
      .value("ENCODE", ErrorKind::kEncode, "a saved form could not be written")
      .value("INTERNAL", ErrorKind::kInternal,
             "a broken invariant met while running (an index that is not what it claims)");
}

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
  const nb::object message = nb::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message.is_valid()) throw nb::python_error();
  const nb::object exception = nb::steal(PyObject_CallOneArg(type, message.ptr()));
  if (!exception.is_valid()) throw nb::python_error();
  if (PyObject_SetAttrString(exception.ptr(), "kind", nb::cast(error.kind).ptr()) != 0) {
    throw nb::python_error();
  }
  PyErr_SetObject(type, exception.ptr());
  throw nb::python_error();
}

}  // namespace tessarin::native
