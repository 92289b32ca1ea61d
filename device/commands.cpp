#include "device/commands.hpp"

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
  exists_ = true;
  signalled_ = false;
}

void ReplyEventSlot::Close() {
  std::lock_guard guard(mutex_);
  exists_ = false;
  signalled_ = false;
  cv_.notify_all();
}

bool ReplyEventSlot::Exists() const {
  std::lock_guard guard(mutex_);
  return exists_;
}

void ReplyEventSlot::StoreAndSignal(std::uint8_t code) {
  std::lock_guard guard(mutex_);
  ReplyCode.store(code);
  if (!exists_) return;
  signalled_ = true;
  cv_.notify_all();
}

std::uint8_t ReplyEventSlot::TakeReply() {
  std::lock_guard guard(mutex_);
  signalled_ = false;
  return ReplyCode.exchange(0);
}

bool ReplyEventSlot::Wait(unsigned timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!exists_) return false;
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
               [this] { return signalled_ || !exists_; });
  return exists_ && signalled_;
}

void InitCommandReport() {
  CommandReport.fill(0x00);
  CommandReport[0] = 0x00;
  CommandReport[1] = 0x10;
  CommandReport[2] = 0x20;
}

void ClearInputReport() { InputReport.fill(0x00); }

void WriteCommandReport() { WriteOutputReport(CommandReport.data(), OutputReportLength()); }

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
  return WriteOutputReport(report.data(), OutputReportLength()) ? kOk : kNotWritten;
}

unsigned WaitReply() {
  if (!ReplyEvent.Wait(ReplyTimeoutMs.load())) return ReplyNone;
  return ReplyEvent.TakeReply();
}

}  // namespace kavori::device
