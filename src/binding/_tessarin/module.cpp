// The extension module _tessarin: one module object per process, holding the
// class PrefixSearch and __all__.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/_tessarin/prefix_search_type.h"
#include "binding/_tessarin/reference.h"

namespace {

using tessarin::binding::OwnedRef;

std::atomic<std::int64_t> g_interpreter{-1};  // the first interpreter to import us
PyObject* g_module = nullptr;                 // kept for the life of the process

// Size 0, not -1: the host copies a module of size -1 into a later import
// (a second interpreter, or after `del sys.modules[...]`) without calling
// PyInit__tessarin, which would hand out a new module object and share this
// one's objects with another interpreter behind the refusal below.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_tessarin", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool add_to_all(PyObject* module, const char* name) {
  PyObject* dict = PyModule_GetDict(module);              // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    OwnedRef list = OwnedRef::consuming(PyList_New(0));
    if (!list || PyDict_SetItemString(dict, "__all__", list.get()) < 0) return false;
    all = list.get();
  }
  OwnedRef text = OwnedRef::consuming(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

PyObject* create_module() {
  OwnedRef module = OwnedRef::consuming(PyModule_Create2(&g_module_def, 1013));
  if (!module) return nullptr;
  static PyObject* type = nullptr;  // created once per process
  if (type == nullptr) type = tessarin::binding::create_prefix_search_type();
  if (type == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PrefixSearch", type) < 0) return nullptr;
  if (!add_to_all(module.get(), "PrefixSearch")) return nullptr;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__tessarin(void) {  // NOLINT(bugprone-reserved-identifier)
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred() != nullptr) return nullptr;
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_tessarin does not support sub-interpreters: it was first imported by "
                    "another interpreter of this process");
    return nullptr;
  }
  if (g_module == nullptr) g_module = create_module();
  if (g_module == nullptr) return nullptr;
  return Py_NewRef(g_module);
}
