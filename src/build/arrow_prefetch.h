// ArrowPrefetch: batches of an Arrow stream, pulled ahead on a thread of
// their own.
//
// A stream's producer (DuckDB decoding Parquet, say) and the builder that
// takes its batches would otherwise take turns; here a thread calls
// get_next() while the caller works on the batch before, holding at most
// kAhead batches that are ready, so the two overlap on two cores. The
// stream's callbacks are called from that thread only, one at a time, as
// the C stream interface allows. The stream must outlive the object, and
// a caller that holds a lock the producer may need (Python's, for a stream
// made in Python) must not hold it while it waits in next() or stop().
//
// Thread safety: one consumer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "build/arrow_batch.h"

namespace tessarin::builder {

class ArrowPrefetch {
 public:
  static constexpr std::size_t kAhead = 2;

  explicit ArrowPrefetch(ArrowArrayStream* stream);
  ~ArrowPrefetch();
  ArrowPrefetch(const ArrowPrefetch&) = delete;
  ArrowPrefetch& operator=(const ArrowPrefetch&) = delete;

  // Waits for the next batch and moves it into `out` (out.release stays
  // null at the end of the stream). Returns the stream's error code, 0 if
  // none; then `error` holds its message.
  int next(ArrowArray& out, std::string& error);
  // Stops pulling batches, waits for the thread and releases what it held.
  // Idempotent.
  void stop();

 private:
  void run();

  ArrowArrayStream* stream_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ArrowArray> ready_;
  bool finished_ = false;
  bool stopping_ = false;
  int code_ = 0;
  std::string error_;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace tessarin::builder
