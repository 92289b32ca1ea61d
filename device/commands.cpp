#include "device/commands.hpp"

#include <algorithm>
#include <chrono>

#include "device/device_link.hpp"
#include "device/results.hpp"

namespace kavori::device {

std::array<std::uint8_t, 65> CommandReport{};
std::array<std::uint8_t, 65> InputReport{};
std::atomic<std::uint8_t> ReplyCode{0};
std::atomic<std::uint16_t> ReplyTimeoutMs{30000};
ReplyEventSlot ReplyEvent;

void ReplyEventSlot::Create() {
  std::lock_guard guard(mutex_);
  state_ = State::Clear;
}

void ReplyEventSlot::Close() {
  std::lock_guard guard(mutex_);
  state_ = State::Absent;
  cv_.notify_all();
  absent_.notify_all();
}

bool ReplyEventSlot::Exists() const { return state_.load() != State::Absent; }

bool ReplyEventSlot::WaitUntilAbsent(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  return absent_.wait(lock, stop, [this] { return state_.load() == State::Absent; });
}

void ReplyEventSlot::StoreAndSignal(std::uint8_t code) {
  std::lock_guard guard(mutex_);
  ReplyCode.store(code);
  if (state_.load() == State::Absent) return;
  state_ = State::Signalled;
  cv_.notify_all();
}

ReplyEventSlot::State ReplyEventSlot::TakeIfSignalled(std::uint8_t& code) {
  // Nothing can signal meanwhile (the caller holds the read lock): once per block, no lock.
  if (state_.load() == State::Clear) return State::Clear;
  std::lock_guard guard(mutex_);
  if (state_.load() != State::Signalled) return state_.load();
  state_ = State::Clear;
  code = ReplyCode.exchange(0);
  return State::Signalled;
}

bool ReplyEventSlot::Wait(unsigned timeoutMs) {
  std::unique_lock lock(mutex_);
  if (state_.load() == State::Absent) return false;
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
               [this] { return state_.load() != State::Clear; });
  return state_.load() == State::Signalled;
}

void InitCommandReport() {
  CommandReport.fill(0x00);
  CommandReport[0] = 0x00;
  CommandReport[1] = 0x10;
  CommandReport[2] = 0x20;
}

void ClearInputReport() { InputReport.fill(0x00); }

void WriteCommandReport() { WriteOutputReport(CommandReport); }

int SendEnterProgramming() {
  CommandReport[kReportAddressLow] = 0;
  CommandReport[kReportAddressHigh] = 0;
  CommandReport[kReportCommand] = CmdEnterProgramming;
  CommandReport[kReportCount] = 1;
  CommandReport[kReportData] = 0x00;
  WriteCommandReport();
  return kOk;
}

int SendRestart() {
  CommandReport[kReportAddressLow] = 0;
  CommandReport[kReportAddressHigh] = 0;
  CommandReport[kReportData] = 0x00;
  CommandReport[kReportCommand] = CmdRestart;
  CommandReport[kReportCount] = 1;
  WriteCommandReport();
  return kOk;
}

namespace {
int SendAwaited(std::uint8_t command) {
  CommandReport[kReportCount] = 0;
  CommandReport[kReportAddressLow] = 0;
  CommandReport[kReportAddressHigh] = 0;
  CommandReport[kReportData] = 0x00;
  CommandReport[kReportCommand] = command;
  WriteCommandReport();
  return WaitReply() == ReplyAck ? kOk : kNotAcknowledged;
}
}  // namespace

int SendBurnFlash() { return SendAwaited(CmdBurnFlash); }

int SendVerify() { return SendAwaited(CmdVerify); }

int SendPrepare() {
  std::array<std::uint8_t, 65> report{};
  report[1] = 0x10;
  report[2] = 0x20;
  report[kReportCommand] = CmdPrepare;
  return WriteOutputReport(report) ? kOk : kNotWritten;
}

unsigned WaitReply() {
  std::uint8_t code = 0;
  // In slices, so that CloseDeviceLink never waits long for the read handle. A slice that ends
  // without a reply has lasted at least its length, so their sum bounds the wait from below.
  int left = ReplyTimeoutMs.load();
  for (;;) {
    const int slice = std::min(left, kReplyReadSliceMs);
    const ReplyReadResult r = ReadLatestReply(slice, code);
    if (r == ReplyReadResult::Reply) return code;
    if (r == ReplyReadResult::NoEvent || left <= 0) return ReplyNone;
    // A device that is gone or failing is waited out like a silent one.
    if (r == ReplyReadResult::Failed) ReplyEvent.Wait(static_cast<unsigned>(slice));
    left -= slice;
  }
}

}  // namespace kavori::device
