#include "binding/_tessarin/prefix_search_type.h"

#include <new>
#include <utility>

#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/reference.h"
#include "binding/_tessarin/methods.h"

namespace tessarin::binding {
namespace {

PyTypeObject* g_type = nullptr;  // set once by create_prefix_search_type()

#define TESSARIN_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef g_methods[] = {
    {"from_internal_data_v2", TESSARIN_FASTCALL(from_internal_data_v2),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, "
     "video_top_n)\n--\n\n"},
    {"to_bytes", to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", TESSARIN_FASTCALL(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", TESSARIN_FASTCALL(fuzzy_match), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video", TESSARIN_FASTCALL(fuzzy_match_video), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, "
     "min_score=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

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

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// The dotted name gives the type its __module__ ("builtins") at creation;
// without a dot the host leaves a heap type without one, and warns.
PyType_Spec g_spec = {
    "builtins.PrefixSearch",
    static_cast<int>(sizeof(PrefixSearchObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

}  // namespace

PyObject* create_prefix_search_type() {
  PyObject* type = PyType_FromSpec(&g_spec);
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
