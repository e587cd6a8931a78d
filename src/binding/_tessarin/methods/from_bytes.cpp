// PrefixSearch.from_bytes(b): a new index restored from its saved form.
#include <cstdint>
#include <span>
#include <utility>

#include "binding/_tessarin/arguments.h"
#include "binding/_tessarin/conversion.h"
#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/reference.h"
#include "encoding/index_format.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/prefix_search_type.h"

namespace tessarin::binding {
namespace {

constexpr const char* kNames[] = {"b"};
constexpr Signature kSignature{"PrefixSearch.from_bytes()", kNames, 1, 1};

// bytes and its subclasses only; other buffers (bytearray, memoryview) are
// refused.
bool check_bytes(PyObject* object) {
  if (PyBytes_Check(object)) return true;
  raise_type_mismatch(object, "PyBytes");
  return false;
}

PyObject* from_bytes_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;
  if (!convert_argument("b", [&] { return check_bytes(slots[0]); })) return nullptr;

  // Read in place; the reference keeps the bytes alive until decoding is done.
  const OwnedRef bytes = OwnedRef::owning(slots[0]);
  const std::span<const std::uint8_t> input(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
      static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  Result<encoding::DecodedTrie> decoded = encoding::decode_from_slice_with_context(input);
  if (!decoded.ok()) return raise_error(decoded.error());
  return new_prefix_search(std::move(decoded.value().trie));
}

}  // namespace

PyObject* from_bytes(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded([&] { return from_bytes_impl(args, nargs, kwnames); });
}

}  // namespace tessarin::binding
