#include "device/commands.hpp"

#include <algorithm>

#include "device/device_link.hpp"
#include "device/results.hpp"

namespace kavori::device {

void InitCommandReport(CommandReportBuffer& report) {
  report.fill(0x00);
  std::copy(kReportHeader.begin(), kReportHeader.end(), report.begin());
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
  CommandReportBuffer report{};
  std::copy(kReportHeader.begin(), kReportHeader.end(), report.begin());
  report[kReportCommand] = CmdPrepare;
  return link.WriteOutputReport(report) ? kOk : kNotWritten;
}

unsigned WaitReply(DeviceLink& link) {
  const std::optional<std::uint8_t> code = link.Replies().Wait(link.ReplyTimeoutMs());
  return code ? *code : ReplyNone;
}

}  // namespace kavori::device
