#include "format/restore_checked.h"

#include <cstddef>
#include <utility>
#include <variant>

#include "format/saved_form.h"

namespace tessarin {

Result<Trie> restore_checked(std::span<const std::uint8_t> bytes) {
  Result<encoding::DecodedTrie> decoded = encoding::decode_from_slice_with_context(bytes);
  if (!decoded.ok()) {
    return Error{ErrorKind::kDecode, "the saved index does not decode: " + decoded.error().message};
  }
  if (decoded.value().consumed != bytes.size()) {
    return Error{ErrorKind::kDamaged, "the saved index has " +
                                          std::to_string(bytes.size() - decoded.value().consumed) +
                                          " bytes after its end"};
  }
  std::variant<Trie, Fault> checked =
      Trie::checked(std::move(decoded.value().trie).release(), Trust::kTree);
  if (const Fault* fault = std::get_if<Fault>(&checked)) {
    return Error{ErrorKind::kDamaged,
                 "the saved index does not hold together: " + describe(*fault)};
  }
  return std::get<Trie>(std::move(checked));
}

}  // namespace tessarin
