// PrefixSearch.to_bytes(): the saved form of the index as a new bytes object.
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>

#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/prefix_search_type.h"
#include "binding/_tessarin/reference.h"
#include "format/saved_form.h"

namespace tessarin::binding {
namespace {

PyObject* to_bytes_impl(PyObject* self) {
  const SharedBorrow borrow(self);
  // The core measures the saved form, then writes it in place into a bytes
  // object created at that size.
  OwnedRef bytes;
  const Status written = encoding::encode(borrow.get().trie(), [&](std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    bytes = OwnedRef::consuming(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) throw std::bad_alloc();
    return std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                                   size);
  });
  if (!written.ok()) return raise_error(written.error());
  return bytes.release();
}

PyObject* to_bytes(PyObject* self, PyObject* /*unused*/) {
  return guarded([&] { return to_bytes_impl(self); });
}

}  // namespace

PyMethodDef to_bytes_method() {
  return {"to_bytes", to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"};
}

}  // namespace tessarin::binding
