// The structure validation: each fault on a small index, and the levels
// against a naive check over random arrays.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "check.h"
#include "index/trie.h"
#include "index/validation.h"

using tessarin::Fault;
using tessarin::FaultKind;
using tessarin::Trie;
using tessarin::TrieArrays;
using tessarin::Trust;

namespace {

struct Listing {
  std::uint32_t total;
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
};

tessarin::PayloadTable table_of(const std::vector<std::optional<Listing>>& payloads) {
  tessarin::PayloadTable table;
  for (const std::optional<Listing>& p : payloads) {
    if (p) {
      table.push(p->total, p->ids, p->counts);
    } else {
      table.push_absent();
    }
  }
  return table;
}

// root -> c -> a -> r -> t, the terms car and cart, videos 10 and 20.
TrieArrays car() {
  TrieArrays a;
  a.node_shifts = {0, 1, 2, 3, 4};
  a.child_transitions = {1, 2, 3, 4};
  a.child_labels = {0, U'c', U'a', U'r', U't'};
  a.is_terminal = {0, 0, 0, 1, 1};
  a.payloads = table_of({Listing{7, {1, 0}, {4, 3}}, std::nullopt, std::nullopt,
                         Listing{5, {0, 1}, {3, 2}}, Listing{2, {1}, {2}}});
  a.id_mode = tessarin::IdMode::Int32;
  a.video_int_ids = {10, 20};
  return a;
}

std::string fault_text(const TrieArrays& arrays, Trust level) {
  const std::optional<Fault> fault = tessarin::find_fault(arrays.view(), level);
  return fault ? tessarin::describe(*fault) : "";
}

// Naive: every condition of a level spelled out on its own.
bool naive_in_bounds(const TrieArrays& a) {
  const std::size_t n = a.child_labels.size();
  if (a.node_shifts.size() != n || a.payloads.size() != n || a.is_terminal.size() != n) {
    return false;
  }
  for (const std::uint32_t child : a.child_transitions) {
    if (child >= n) return false;
  }
  for (const std::uint32_t shift : a.node_shifts) {
    if (shift > a.child_transitions.size()) return false;
  }
  return true;
}

bool naive_tree(const TrieArrays& a) {
  const std::size_t n = a.child_labels.size();
  std::vector<int> owners(a.child_transitions.size(), 0);
  std::vector<int> parents(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t end = i + 1 < n ? a.node_shifts[i + 1] : a.child_transitions.size();
    for (std::size_t k = a.node_shifts[i]; k < end; ++k) ++owners[k];
  }
  for (const std::uint32_t child : a.child_transitions) ++parents[child];
  for (const int owner : owners) {
    if (owner > 1) return false;
  }
  for (std::size_t v = 0; v < n; ++v) {
    if (parents[v] > (v == 0 ? 0 : 1)) return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!a.payloads.present(i)) continue;
    const tessarin::PayloadView p = a.payloads.view(i);
    if (p.video_ids.size() != p.video_counts.size()) return false;
  }
  return true;
}

}  // namespace

TEST(each_fault_is_found_and_worded) {
  struct Case {
    void (*damage)(TrieArrays&);
    FaultKind kind;
    const char* text;
  };
  const Case cases[] = {
      {[](TrieArrays& a) { a.node_shifts.pop_back(); }, FaultKind::kLength,
       "node_shifts has 4 entries for 5 nodes"},
      {[](TrieArrays& a) { a.payloads.push_absent(); }, FaultKind::kLength,
       "payloads has 6 entries for 5 nodes"},
      {[](TrieArrays& a) { a.is_terminal.pop_back(); }, FaultKind::kLength,
       "is_terminal has 4 entries for 5 nodes"},
      {[](TrieArrays& a) { a.child_transitions[3] = 5; }, FaultKind::kChild,
       "entry 3 of child_transitions names node 5 of 5"},
      {[](TrieArrays& a) { a.node_shifts[4] = 5; }, FaultKind::kChildren,
       "the children of node 4 start at 5, beyond the 4 entries of child_transitions"},
      {[](TrieArrays& a) { a.node_shifts[2] = 0; }, FaultKind::kSharedEntry,
       "entry 0 of child_transitions lies in the child ranges of two nodes"},
      {[](TrieArrays& a) { a.child_transitions[3] = 0; }, FaultKind::kRootChild,
       "the root is listed as a child"},
      {[](TrieArrays& a) { a.child_transitions[3] = 2; }, FaultKind::kChildTwice,
       "node 2 is listed as a child twice"},
      {[](TrieArrays& a) {
         a.payloads = table_of(
             {std::nullopt, std::nullopt, std::nullopt, std::nullopt, Listing{3, {1, 0}, {1}}});
       },
       FaultKind::kPayloadLists, "the payload of node 4 lists 2 videos and 1 counts"},
      {[](TrieArrays& a) { a.video_uuids.resize(1); }, FaultKind::kOtherTable,
       "the video table that the id mode leaves unused has 1 entries"},
      {[](TrieArrays& a) { a.video_int_ids = {20, 10, 20}; }, FaultKind::kRepeatedVideo,
       "video positions 0 and 2 hold the same identifier"},
      {[](TrieArrays& a) { a = TrieArrays(); }, FaultKind::kNoNodes, "the index has no nodes"},
      {[](TrieArrays& a) { a.child_labels[0] = U'r'; }, FaultKind::kRootLabel,
       "the root has the label U+0072"},
      {[](TrieArrays& a) { a.node_shifts[4] = 3; }, FaultKind::kUnreachable,
       "node 4 is not reached from the root"},
      {[](TrieArrays& a) {
         a.node_shifts = {0, 2, 2, 3, 4};  // root -> c, a -> r -> t
         a.child_labels[2] = U'c';
       },
       FaultKind::kSiblingLabels, "two children of node 0 have the label U+0063"},
      {[](TrieArrays& a) { a.is_terminal[1] = 1; }, FaultKind::kNoPayload,
       "node 1 ends a term but has no payload"},
      {[](TrieArrays& a) { a.video_int_ids = {10}; }, FaultKind::kVideoPosition,
       "the payload of node 0 lists video position 1 of a table of 1"},
      {[](TrieArrays& a) {
         a.payloads = table_of({std::nullopt, std::nullopt, std::nullopt,
                                Listing{5, {0, 1}, {3, 2}}, Listing{2, {1}, {3}}});
       },
       FaultKind::kCountAboveTotal,
       "the payload of node 4 counts 3 for a video, above its total of 2"},
  };
  CHECK_EQ(fault_text(car(), Trust::kConsistent), std::string());
  for (const Case& c : cases) {
    TrieArrays a = car();
    c.damage(a);
    const Trust broken = tessarin::broken_level(c.kind);
    const std::optional<Fault> fault = tessarin::find_fault(a.view(), Trust::kConsistent);
    CHECK(fault.has_value() && fault->kind == c.kind);
    CHECK_EQ(fault_text(a, Trust::kConsistent), std::string(c.text));
    // The levels below the broken one stand.
    CHECK_EQ(a.reads_in_bounds(), broken != Trust::kInBounds);
    CHECK_EQ(fault_text(a, Trust::kTree).empty(), broken == Trust::kConsistent);
    CHECK(Trie(a).trust() == (broken == Trust::kInBounds ? Trust::kNone : Trust::kInBounds));
    CHECK(std::holds_alternative<Fault>(Trie::checked(a, broken)));
  }
  TrieArrays at_end = car();
  at_end.node_shifts[4] = 4;  // an empty range at the end: fine
  CHECK(at_end.reads_in_bounds());
  TrieArrays falling = car();
  falling.node_shifts[2] = 1;  // node 1's range falls empty: in bounds
  CHECK(falling.reads_in_bounds());
  CHECK(Trie().trust() == Trust::kTree);
  CHECK(std::get<Trie>(Trie::checked(car(), Trust::kTree)).trust() == Trust::kTree);
}

TEST(levels_agree_with_a_naive_check_on_random_arrays) {
  std::mt19937 rng(29);
  const auto below = [&rng](std::size_t bound) {
    return static_cast<std::uint32_t>(rng() % (bound + 1));
  };
  for (int round = 0; round < 3000; ++round) {
    TrieArrays a;
    const std::size_t n = rng() % 7;
    const std::size_t entries = rng() % 8;
    // Mostly sound, now and then one length or one value off.
    for (std::size_t i = 0; i < n + (rng() % 12 == 0 ? 1 : 0); ++i) {
      a.node_shifts.push_back(below(entries + (rng() % 10 == 0 ? 1 : 0)));
    }
    std::sort(a.node_shifts.begin(), a.node_shifts.end());
    if (rng() % 5 == 0 && n > 0) a.node_shifts[rng() % n] = below(entries);
    for (std::size_t k = 0; k < entries; ++k) {
      a.child_transitions.push_back(below(n == 0 ? 0 : n - (rng() % 10 == 0 ? 0 : 1)));
    }
    a.child_labels.assign(n, U'x');
    a.is_terminal.assign(n - (n > 0 && rng() % 12 == 0 ? 1 : 0), 1);
    const std::vector<std::uint32_t> ids{1, 2};
    const std::vector<std::uint32_t> counts{3, 4};
    for (std::size_t i = 0; i < n; ++i) {
      if (rng() % 4 == 0) {
        a.payloads.push_absent();
      } else {
        a.payloads.push(1, ids, std::span(counts).first(rng() % 15 == 0 ? 1 : 2));
      }
    }
    const bool in_bounds = naive_in_bounds(a);
    CHECK_EQ(a.reads_in_bounds(), in_bounds);
    const std::optional<Fault> fault = tessarin::find_fault(a.view(), Trust::kTree);
    const bool tree = in_bounds && naive_tree(a);
    CHECK_EQ(!fault.has_value(), tree);
    if (fault) {
      CHECK(tessarin::broken_level(fault->kind) == (in_bounds ? Trust::kTree : Trust::kInBounds));
    }
  }
}
