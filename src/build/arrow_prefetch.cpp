#include "build/arrow_prefetch.h"

#include <cstring>

namespace tessarin::builder {

ArrowPrefetch::ArrowPrefetch(ArrowArrayStream* stream)
    : stream_(stream), thread_([this] { run(); }) {}

ArrowPrefetch::~ArrowPrefetch() { stop(); }

void ArrowPrefetch::run() {
  while (true) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || ready_.size() < kAhead; });
      if (stopping_) return;
    }
    ArrowArray batch{};
    const int code = stream_->get_next(stream_, &batch);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (code != 0) {
      const char* message =
          stream_->get_last_error != nullptr ? stream_->get_last_error(stream_) : nullptr;
      error_ = message != nullptr ? message : std::strerror(code);
      code_ = code;
      finished_ = true;
    } else if (batch.release == nullptr) {
      finished_ = true;
    } else if (stopping_) {
      batch.release(&batch);
      return;
    } else {
      ready_.push_back(batch);
    }
    changed_.notify_all();
    if (finished_) return;
  }
}

int ArrowPrefetch::next(ArrowArray& out, std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
  if (!ready_.empty()) {
    out = ready_.front();
    ready_.pop_front();
    changed_.notify_all();
    return 0;
  }
  out.release = nullptr;
  error = error_;
  return code_;
}

void ArrowPrefetch::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (ArrowArray& batch : ready_) {
    if (batch.release != nullptr) batch.release(&batch);
  }
  ready_.clear();
}

}  // namespace tessarin::builder
