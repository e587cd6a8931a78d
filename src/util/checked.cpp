#include "util/checked.h"

namespace tessarin {

void fail_internal(std::string message) { throw InternalFailure(std::move(message)); }

void fail_out_of_range(const char* array, std::size_t index, std::size_t length) {
  fail_internal("corrupt index: position " + std::to_string(index) + " of " + array +
                " read, but it holds " + std::to_string(length) + " entries");
}

}  // namespace tessarin
