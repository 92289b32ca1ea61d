// Command reports to the device and the hand-over of its replies.
//
// Every command but prepare is built in CommandReport and written with the link's output report
// length. Each command writes only its own fields: other bytes keep what the previous command
// left, which the device sees. Outside a programming run the reader thread stores each reply
// code, then signals ReplyEvent; during a run the thread that waits reads the replies itself.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

#include "device/protocol.hpp"

namespace kavori::device {

// Used by the programming run's thread (and OpenDeviceLink, which resets it).
extern std::array<std::uint8_t, 65> CommandReport;
// Used by the reader thread only (OpenDeviceLink clears it before the reader starts).
extern std::array<std::uint8_t, 65> InputReport;
// The latest reply code the reader thread stored; taken and cleared by WaitReply.
extern std::atomic<std::uint8_t> ReplyCode;
// Milliseconds WaitReply waits; read afresh at every wait. 30000 at start.
extern std::atomic<std::uint16_t> ReplyTimeoutMs;

// The reply event: a manual-reset event that exists only during a programming run. A signal
// while it does not exist is dropped; a wait while it does not exist fails at once. While it
// exists the reader thread stands aside (a read it had begun may still signal it).
class ReplyEventSlot {
 public:
  enum class State { Absent, Clear, Signalled };

  void Create();  // exists, not signalled
  void Close();   // no longer exists
  bool Exists() const;
  // The reader's stand-aside: true once the event does not exist, false when `stop` comes first.
  bool WaitUntilAbsent(std::stop_token stop);
  // The reader's hand-over: stores `code` in ReplyCode, then signals (a signal is dropped while
  // the event does not exist). Both happen under the event's lock, so a reply stored before
  // Create() can never signal the new event. Called under the link's read lock.
  void StoreAndSignal(std::uint8_t code);
  // When signalled: takes the stored code into `code`, clears ReplyCode and resets the event, in
  // one step. Otherwise only says the state. Called under the link's read lock.
  State TakeIfSignalled(std::uint8_t& code);
  // True when signalled within timeoutMs; false on time-out or when it does not exist.
  bool Wait(unsigned timeoutMs);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable_any absent_;  // the reader waits here while a run reads for itself
  // Written under mutex_; read without it only where a stale view is harmless.
  std::atomic<State> state_{State::Absent};
};
extern ReplyEventSlot ReplyEvent;

void InitCommandReport();
void ClearInputReport();
// Writes CommandReport with the link's output report length; the result is not examined.
void WriteCommandReport();
int SendEnterProgramming();  // 0; does not wait
int SendBurnFlash();         // 0 when acknowledged, else -2
int SendVerify();            // 0 when acknowledged, else -2
int SendRestart();           // 0; does not wait
int SendPrepare();           // 0 when written, -3 when the write failed
// The reply code (0..255), or ReplyNone when none came within ReplyTimeoutMs.
unsigned WaitReply();

}  // namespace kavori::device
