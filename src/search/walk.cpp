#include "search/walk.h"

#include <string>

#include "util/checked.h"

namespace tessarin::walk_detail {

void fail_not_a_tree(std::size_t limit) {
  fail_internal("corrupt index: its child lists do not form a tree (one walk examined more than " +
                std::to_string(limit) + " entries of child_transitions, its length)");
}

}  // namespace tessarin::walk_detail
