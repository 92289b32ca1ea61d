// Command reports to the device and the wait for its replies.
//
// Every command but prepare is built in the link's CommandReport and written with the link's
// output report length. Each command writes only its own fields: other bytes keep what the
// previous command left, which the device sees.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "device/protocol.hpp"

namespace kavori::device {

class DeviceLink;

using CommandReportBuffer = std::array<std::uint8_t, kReportLength>;

// Zero bytes, then the fixed header 0x00 0x10 0x20.
void InitCommandReport(CommandReportBuffer& report);
// Writes the link's CommandReport with its output report length; the result is not examined.
void WriteCommandReport(DeviceLink& link);
int SendEnterProgramming(DeviceLink& link);  // 0; does not wait
int SendBurnFlash(DeviceLink& link);         // 0 when acknowledged, else -2
int SendVerify(DeviceLink& link);            // 0 when acknowledged, else -2
int SendRestart(DeviceLink& link);           // 0; does not wait
int SendPrepare(DeviceLink& link);           // 0 when written, -3 when the write failed
// The reply code (0..255), or ReplyNone when none came within the link's ReplyTimeoutMs (read
// now) or no ReplyEvent exists.
unsigned WaitReply(DeviceLink& link);

}  // namespace kavori::device
