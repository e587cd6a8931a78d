#include "binding/_tessarin/exceptions.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "binding/_tessarin/reference.h"

namespace tessarin::binding {
namespace {

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // created once per process, never freed
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_tessarin.PanicException",
        "An internal failure: an index broke an invariant that the operation relies on.\n\n"
        "Derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  return value;
#endif
}

void set_raised(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
#endif
}

}  // namespace

// The exception types and the "decode error: " and "encode error: " prefixes
// are part of the module's fixed behaviour, as are the core's messages.
PyObject* raise_error(const Error& error) {
  switch (error.kind) {
    case ErrorKind::kValue:
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
      return nullptr;
    case ErrorKind::kDecode:
    case ErrorKind::kDamaged:
      PyErr_SetString(PyExc_ValueError, ("decode error: " + error.message).c_str());
      return nullptr;
    case ErrorKind::kEncode:
      PyErr_SetString(PyExc_ValueError, ("encode error: " + error.message).c_str());
      return nullptr;
    case ErrorKind::kInternal:
      return raise_panic(error.message);
  }
  return raise_panic("unknown error kind");
}

PyObject* raise_panic(std::string_view message) {
  if (message.empty()) message = "internal failure";
  std::fprintf(stderr, "_tessarin: internal failure: %.*s\n", static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  OwnedRef text = OwnedRef::consuming(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* type_attribute(PyTypeObject* type, const char* name) {
  static std::vector<std::pair<std::string, PyObject*>> names;  // never freed
  for (const auto& [text, interned] : names) {
    if (text == name) return PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned);
  }
  PyObject* interned = PyUnicode_InternFromString(name);
  if (interned == nullptr) return nullptr;
  names.emplace_back(name, interned);
  return PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned);
}

PyObject* raise_type_mismatch(PyObject* object, const char* kind) {
  OwnedRef name = OwnedRef::consuming(type_attribute(Py_TYPE(object), "__qualname__"));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", name.get(), kind);
  return nullptr;
}

void prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  OwnedRef old = OwnedRef::consuming(take_raised());
  if (!old) return;
  if (Py_TYPE(old.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    set_raised(old.release());
    return;
  }
  OwnedRef message =
      OwnedRef::consuming(PyUnicode_FromFormat("argument '%s': %S", name, old.get()));
  if (!message) return;
  OwnedRef replacement = OwnedRef::consuming(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(old.get()));
  set_raised(replacement.release());
}

}  // namespace tessarin::binding
