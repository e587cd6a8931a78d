// What a walk's visitor answers (search/walk.h, search/dispatch.h).
//
// A visitor is called as visit(node, distance, path) for each node the walk
// reports, and answers either
// * Walk: kGoOn, or kStop to end the walk; or
// * Steer, to also say how far the walk goes below the node just reported:
//   only into rows with some cell below `below` (the node's subtree is
//   walked as with the bound lowered to below - 1, reports included; any
//   bound already lowered above it stays in force). below == 0 skips the
//   subtree; kAnyRow leaves the bound as it is.
// A walk over prefixes that keeps, for each subtree, the least distance
// found on its path answers Steer{Walk::kGoOn, distance}: a deeper node is
// then reported only where it lowers that distance, and a subtree is left
// as soon as its row minimum shows that nothing in it can.
//
// A visitor may also gate the walk: admits(node) is asked before a child's
// row is filled (the child has a label and passed the child filter), and a
// child it refuses is skipped with its subtree, as a dead row would be. A
// gated walk never takes the forward-backward passes.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace tessarin {

enum class Walk : bool { kGoOn, kStop };

struct Steer {
  static constexpr std::uint64_t kAnyRow = ~std::uint64_t{0};

  Walk walk = Walk::kGoOn;
  std::uint64_t below = kAnyRow;
};

// Whether a visitor answers Steer (it may narrow the walk) rather than Walk.
template <class Visitor>
inline constexpr bool kSteers =
    std::is_same_v<std::invoke_result_t<std::remove_reference_t<Visitor>&, std::size_t,
                                        std::uint32_t, std::u32string_view>,
                   Steer>;

// Whether a visitor gates the walk (admits(node)).
template <class Visitor>
inline constexpr bool kGates = requires(std::remove_reference_t<Visitor>& visit, std::size_t node) {
  { visit.admits(node) } -> std::same_as<bool>;
};

}  // namespace tessarin
