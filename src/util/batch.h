// A batch of independent tasks spread over a few threads.
//
// parallel_for(count, threads, task) calls task(i) once for every i in
// [0, count) and returns when all calls have returned. The calling thread
// works too, beside at most threads - 1 new ones (std::thread), each taking
// the next index from a shared atomic counter, so uneven tasks balance
// themselves. One thread (no new one) when threads <= 1 or count <= 1; never
// more threads than tasks, nor than kMaxThreads. If the system cannot start
// a thread, the batch runs on those it has.
//
// Tasks must not share mutable state unless they synchronise it themselves;
// a task typically writes only its own slot of a result array sized before
// the call. The first exception a task throws stops the batch (tasks not yet
// started are not started) and is rethrown on the calling thread once every
// thread has finished.
#pragma once

#include <cstddef>
#include <functional>

namespace tessarin {

inline constexpr std::size_t kMaxThreads = 256;

void parallel_for(std::size_t count, std::size_t threads,
                  const std::function<void(std::size_t)>& task);

}  // namespace tessarin
