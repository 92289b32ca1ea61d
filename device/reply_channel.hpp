// How a device reply reaches the programming run: the link's read handle, the input report
// buffer, ReplyCode and the run's ReplyEvent, in one object that the device link owns.
//
// There is no reader thread: the thread that waits for a reply reads it, so no thread wakes
// another for each block. The rules of the hand-over hold all the same:
// - the event exists only during a run; a wait without it fails at once;
// - a report that came before the event was created signals nothing (Create takes it into
//   ReplyCode and no further);
// - a wait returns the latest reply since the previous take, and a take clears ReplyCode;
// - a report is stored in ReplyCode before the wait that read it returns it.
// The read handle may be taken away (Detach) from another thread at any time; a wait that reads
// gives it up within kReadSliceMs, and then waits its time out, as for a device gone silent.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/hid.hpp"

namespace kavori::device {

class ReplyChannel {
 public:
  // The longest a wait reads before it looks whether the handle is being taken away.
  static constexpr int kReadSliceMs = 20;

  // The open link hands over its read handle (which must outlive Detach) and input length.
  void Attach(platform::HidHandle* handle, std::uint16_t inputLength);
  // Takes the read handle away; returns within kReadSliceMs even while a wait reads. Any thread.
  void Detach();
  // InputReport: 65 zero bytes.
  void ClearInputReport();

  // The run's ReplyEvent: created not signalled, closed when the run ends. Close ends a wait that
  // is under way (with no reply).
  void Create();
  void Close();
  bool Exists() const { return exists_.load(); }

  // WaitReply's wait: the latest reply since the last take, or nothing within timeoutMs (or at
  // once without the event). The run's thread.
  std::optional<std::uint8_t> Wait(int timeoutMs);

  // The code of the latest report read and not yet taken; 0 after a take.
  std::uint8_t ReplyCode() const { return replyCode_.load(); }

 private:
  // Reads every report queued now (waiting up to timeoutMs for the first); true when at least
  // one came. Under mutex_.
  bool ReadQueued(int timeoutMs, platform::ReadStatus& last);

  mutable std::mutex mutex_;  // held while a wait reads, and to change the handle or the event
  std::condition_variable closed_;
  platform::HidHandle* handle_ = nullptr;  // the link's read handle while attached
  std::uint16_t inputLength_ = 0;
  std::array<std::uint8_t, platform::kReportBufferSize> inputReport_{};
  std::atomic<std::uint8_t> replyCode_{0};
  std::atomic<bool> exists_{false};
  std::atomic<bool> detaching_{false};
};

}  // namespace kavori::device
