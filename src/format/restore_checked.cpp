#include "format/restore_checked.h"

#include <cstddef>
#include <utility>
#include <vector>

#include "format/saved_form.h"

namespace tessarin {
namespace {

std::string count_fault(const char* array, std::size_t entries, std::size_t nodes) {
  return std::string(array) + " has " + std::to_string(entries) + " entries for " +
         std::to_string(nodes) + " nodes";
}

std::optional<std::string> tree_fault(const Trie& trie) {
  const std::size_t n = trie.node_count();
  const std::size_t entries = trie.child_transitions().size();
  // Entries covered by some node's child range: 0, 1, or 2 for "more".
  std::vector<std::uint8_t> covered(entries, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const ChildRange range = trie.children(i);
    for (std::size_t k = range.begin; k < range.end; ++k) {
      if (covered[k] != 0) {
        return "entry " + std::to_string(k) +
               " of child_transitions lies in the child ranges of two nodes";
      }
      covered[k] = 1;
    }
  }
  std::vector<std::uint8_t> named(n, 0);
  for (std::size_t k = 0; k < entries; ++k) {
    const std::uint32_t child = trie.child_transitions()[k];
    if (child == 0) return std::string("the root is listed as a child");
    if (named[child] != 0) {
      return "node " + std::to_string(child) + " is listed as a child twice";
    }
    named[child] = 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> structure_fault(const Trie& trie) {
  const std::size_t n = trie.node_count();
  if (trie.node_shifts().size() != n)
    return count_fault("node_shifts", trie.node_shifts().size(), n);
  if (trie.payloads().size() != n) return count_fault("payloads", trie.payloads().size(), n);
  if (trie.is_terminal().size() != n)
    return count_fault("is_terminal", trie.is_terminal().size(), n);
  const std::size_t entries = trie.child_transitions().size();
  for (std::size_t k = 0; k < entries; ++k) {
    if (trie.child_transitions()[k] >= n) {
      return "entry " + std::to_string(k) + " of child_transitions names node " +
             std::to_string(trie.child_transitions()[k]) + " of " + std::to_string(n);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (trie.node_shifts()[i] > entries) {
      return "the children of node " + std::to_string(i) + " start at " +
             std::to_string(trie.node_shifts()[i]) + ", beyond the " + std::to_string(entries) +
             " entries of child_transitions";
    }
  }
  if (std::optional<std::string> fault = tree_fault(trie)) return fault;
  for (std::size_t i = 0; i < n; ++i) {
    if (!trie.payloads().present(i)) continue;
    const PayloadView payload = trie.payloads().view(i);
    if (payload.video_ids.size() != payload.video_counts.size()) {
      return "the payload of node " + std::to_string(i) + " lists " +
             std::to_string(payload.video_ids.size()) + " videos and " +
             std::to_string(payload.video_counts.size()) + " counts";
    }
  }
  return std::nullopt;
}

Result<Trie> restore_checked(std::span<const std::uint8_t> bytes) {
  Result<encoding::DecodedTrie> decoded = encoding::decode_from_slice_with_context(bytes);
  if (!decoded.ok()) {
    return Error{ErrorKind::kDecode, "the saved index does not decode: " + decoded.error().message};
  }
  if (decoded.value().consumed != bytes.size()) {
    return Error{ErrorKind::kDecode, "the saved index has " +
                                         std::to_string(bytes.size() - decoded.value().consumed) +
                                         " bytes after its end"};
  }
  Trie trie = std::move(decoded.value().trie);
  if (std::optional<std::string> fault = structure_fault(trie)) {
    return Error{ErrorKind::kDecode, "the saved index does not hold together: " + *fault};
  }
  return trie;
}

}  // namespace tessarin
