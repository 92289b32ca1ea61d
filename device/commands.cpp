#include "device/commands.hpp"

#include "device/device_link.hpp"
#include "device/results.hpp"

namespace kavori::device {

void InitCommandReport(std::array<std::uint8_t, 65>& report) {
  report.fill(0x00);
  report[0] = 0x00;
  report[1] = 0x10;
  report[2] = 0x20;
}

void WriteCommandReport(DeviceLink& link) { link.WriteOutputReport(link.CommandReport()); }

int SendEnterProgramming(DeviceLink& link) {
  auto& report = link.CommandReport();
  report[kReportAddressLow] = 0;
  report[kReportAddressHigh] = 0;
  report[kReportCommand] = CmdEnterProgramming;
  report[kReportCount] = 1;
  report[kReportData] = 0x00;
  WriteCommandReport(link);
  return kOk;
}

int SendRestart(DeviceLink& link) {
  auto& report = link.CommandReport();
  report[kReportAddressLow] = 0;
  report[kReportAddressHigh] = 0;
  report[kReportData] = 0x00;
  report[kReportCommand] = CmdRestart;
  report[kReportCount] = 1;
  WriteCommandReport(link);
  return kOk;
}

namespace {
int SendAwaited(DeviceLink& link, std::uint8_t command) {
  auto& report = link.CommandReport();
  report[kReportCount] = 0;
  report[kReportAddressLow] = 0;
  report[kReportAddressHigh] = 0;
  report[kReportData] = 0x00;
  report[kReportCommand] = command;
  WriteCommandReport(link);
  return WaitReply(link) == ReplyAck ? kOk : kNotAcknowledged;
}
}  // namespace

int SendBurnFlash(DeviceLink& link) { return SendAwaited(link, CmdBurnFlash); }

int SendVerify(DeviceLink& link) { return SendAwaited(link, CmdVerify); }

int SendPrepare(DeviceLink& link) {
  std::array<std::uint8_t, 65> report{};
  report[1] = 0x10;
  report[2] = 0x20;
  report[kReportCommand] = CmdPrepare;
  return link.WriteOutputReport(report) ? kOk : kNotWritten;
}

unsigned WaitReply(DeviceLink& link) {
  const std::optional<std::uint8_t> code = link.Replies().Wait(link.ReplyTimeoutMs());
  return code ? *code : ReplyNone;
}

}  // namespace kavori::device
