// PrefixSearch.to_bytes(): the saved form of the index as a new bytes object.
#include <cstdint>
#include <span>

#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/reference.h"
#include "encoding/index_format.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/prefix_search_type.h"

namespace tessarin::binding {
namespace {

PyObject* to_bytes_impl(PyObject* self) {
  const SharedBorrow borrow(self);
  const Trie& trie = borrow.get().trie();
  // Measured first, so the bytes object is created at its final size and
  // written in place.
  const std::size_t size = encoding::encoded_size(trie);
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  OwnedRef bytes =
      OwnedRef::consuming(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return nullptr;
  auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
  const Status written = encoding::encode_into(trie, std::span<std::uint8_t>(data, size));
  if (!written.ok()) return raise_error(written.error());
  return bytes.release();
}

}  // namespace

PyObject* to_bytes(PyObject* self, PyObject* /*unused*/) {
  return guarded([&] { return to_bytes_impl(self); });
}

}  // namespace tessarin::binding
