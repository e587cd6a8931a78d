#include "binding/_tessarin/prefix_search_type.h"

#include <new>
#include <utility>

#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/reference.h"

namespace tessarin::binding {
namespace {

PyTypeObject* g_type = nullptr;  // set once by create_prefix_search_type()

PyObject* no_constructor(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  OwnedRef name = OwnedRef::consuming(type_attribute(type, "__name__"));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  reinterpret_cast<PrefixSearchObject*>(object)->value.~PrefixSearch();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(object);
  Py_DECREF(type);
}

}  // namespace

PyObject* create_prefix_search_type() {
  // The method table: one entry per method, each made in its own file in
  // methods/. Built on the first call, so every entry is complete by then;
  // the type keeps pointing at it.
  static PyMethodDef methods[] = {
      from_internal_data_v2_method(),
      to_bytes_method(),
      from_bytes_method(),
      fuzzy_match_method(),
      fuzzy_match_video_method(),
      {nullptr, nullptr, 0, nullptr},  // the end of the table
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  // The dotted name gives the type its __module__ ("builtins") at creation;
  // without a dot the host leaves a heap type without one, and warns.
  static PyType_Spec spec = {
      "builtins.PrefixSearch",
      static_cast<int>(sizeof(PrefixSearchObject)),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return nullptr;
  g_type = reinterpret_cast<PyTypeObject*>(type);
  // Messages the host words with tp_name ("'PrefixSearch' object has no
  // attribute ...") name the class as Python code would.
  g_type->tp_name = "PrefixSearch";
  return type;
}

PyObject* new_prefix_search(Trie&& trie) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_type, Py_tp_alloc));
  PyObject* object = alloc(g_type, 0);
  if (object == nullptr) return nullptr;
  auto* self = reinterpret_cast<PrefixSearchObject*>(object);
  new (&self->borrows) std::atomic<std::size_t>(0);
  new (&self->value) tessarin::PrefixSearch(std::move(trie));
  return object;
}

}  // namespace tessarin::binding
