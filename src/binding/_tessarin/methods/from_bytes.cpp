// PrefixSearch.from_bytes(b): a new index restored from its saved form.
#include <cstdint>
#include <span>
#include <utility>

#include "binding/_tessarin/arguments.h"
#include "binding/_tessarin/conversion.h"
#include "binding/_tessarin/exceptions.h"
#include "binding/_tessarin/methods.h"
#include "binding/_tessarin/prefix_search_type.h"
#include "binding/_tessarin/reference.h"
#include "format/saved_form.h"

namespace tessarin::binding {
namespace {

constexpr const char* kNames[] = {"b"};
constexpr Signature kSignature{"PrefixSearch.from_bytes()", kNames, 1, 1};

PyObject* from_bytes_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_arguments(kSignature, args, nargs, kwnames, slots)) return nullptr;
  std::span<const std::uint8_t> input;
  if (!convert_argument("b", [&] { return to_byte_view(slots[0], &input); })) return nullptr;

  // Read in place; the reference keeps the bytes alive until decoding is done.
  const OwnedRef bytes = OwnedRef::owning(slots[0]);
  Result<encoding::DecodedTrie> decoded = encoding::decode_from_slice_with_context(input);
  if (!decoded.ok()) return raise_error(decoded.error());
  return new_prefix_search(std::move(decoded.value().trie));
}

PyObject* from_bytes(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded([&] { return from_bytes_impl(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef from_bytes_method() {
  return {"from_bytes", fastcall(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
          "from_bytes(b)\n--\n\n"};
}

}  // namespace tessarin::binding
