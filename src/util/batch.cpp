#include "util/batch.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tessarin {

void parallel_for(std::size_t count, std::size_t threads,
                  const std::function<void(std::size_t)>& task) {
  const std::size_t wanted = std::min({threads, count, kMaxThreads});
  if (wanted <= 1) {
    for (std::size_t i = 0; i < count; ++i) task(i);
    return;
  }

  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex error_lock;
  std::exception_ptr error;
  const auto work = [&]() noexcept {
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
        if (i >= count) return;
        task(i);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> guard(error_lock);
      if (!error) error = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
    }
  };

  std::vector<std::thread> pool;
  pool.reserve(wanted - 1);
  try {
    while (pool.size() < wanted - 1) pool.emplace_back(work);
  } catch (const std::system_error&) {
    // No more threads to be had: the ones started and this one do it all.
  }
  work();
  for (std::thread& thread : pool) thread.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace tessarin
