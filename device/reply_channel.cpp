#include "device/reply_channel.hpp"

#include <algorithm>
#include <chrono>

namespace kavori::device {

namespace {
// A device that floods reports cannot keep a take going: the newest of this many wins.
constexpr int kMaxReportsPerTake = 256;
}  // namespace

void ReplyChannel::Attach(platform::HidHandle* handle, std::uint16_t inputLength) {
  std::lock_guard guard(mutex_);
  handle_ = handle;
  inputLength_ = inputLength;
}

void ReplyChannel::Detach() {
  detaching_ = true;
  std::lock_guard guard(mutex_);
  handle_ = nullptr;
  detaching_ = false;
}

void ReplyChannel::ClearInputReport() {
  std::lock_guard guard(mutex_);
  inputReport_.fill(0x00);
}

void ReplyChannel::Create() {
  std::lock_guard guard(mutex_);
  // What came before the event only updates ReplyCode.
  platform::ReadStatus last = platform::ReadStatus::Timeout;
  if (handle_ != nullptr) ReadQueued(0, last);
  exists_ = true;
}

void ReplyChannel::Close() {
  {
    std::lock_guard guard(mutex_);
    exists_ = false;
  }
  closed_.notify_all();
}

bool ReplyChannel::ReadQueued(int timeoutMs, platform::ReadStatus& last) {
  bool read = false;
  platform::ReadResult r = handle_->Read(inputReport_.data(), inputLength_, timeoutMs);
  for (int n = 1; r.status == platform::ReadStatus::Data; ++n) {
    replyCode_.store(inputReport_[1], std::memory_order_relaxed);
    read = true;
    if (n == kMaxReportsPerTake) break;
    r = handle_->Read(inputReport_.data(), inputLength_, 0);
  }
  last = r.status;
  return read;
}

std::optional<std::uint8_t> ReplyChannel::Wait(int timeoutMs) {
  std::unique_lock lock(mutex_);
  // In slices, each of which lasts its length when nothing comes, so their sum bounds the wait.
  for (int left = timeoutMs;;) {
    if (!exists_) return std::nullopt;
    const int slice = std::max(0, std::min(left, kReadSliceMs));
    bool waitedOut = false;
    if (handle_ != nullptr && !detaching_) {
      platform::ReadStatus last = platform::ReadStatus::Timeout;
      if (ReadQueued(slice, last)) return replyCode_.exchange(0, std::memory_order_relaxed);
      waitedOut = last == platform::ReadStatus::Timeout;
    }
    // A device that is gone or failing, or a handle taken away, is waited out like a silent one;
    // the lock is free meanwhile, so Detach and Close get through.
    if (!waitedOut)
      closed_.wait_for(lock, std::chrono::milliseconds(slice), [this] { return !exists_; });
    left -= slice;
    if (left <= 0) return std::nullopt;
  }
}

}  // namespace kavori::device
