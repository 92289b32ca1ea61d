// Command reports to the device and the wait for its replies.
//
// Every command but prepare is built in the link's CommandReport and written with the link's
// output report length. Each command writes only its own fields: other bytes keep what the
// previous command left, which the device sees.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kavori::device {

inline constexpr std::uint8_t CmdEnterProgramming = 0x10;
inline constexpr std::uint8_t CmdDataBlock = 0x20;
inline constexpr std::uint8_t CmdBurnFlash = 0x30;
inline constexpr std::uint8_t CmdVerify = 0x40;
inline constexpr std::uint8_t CmdPrepare = 0x62;
inline constexpr std::uint8_t CmdRestart = 0x70;

inline constexpr std::uint8_t ReplyAck = 0x55;
inline constexpr std::uint8_t ReplyNone = 0xAB;

// Command report layout.
inline constexpr std::size_t kReportCommand = 3;
inline constexpr std::size_t kReportCount = 4;
inline constexpr std::size_t kReportAddressLow = 5;
inline constexpr std::size_t kReportAddressHigh = 6;
inline constexpr std::size_t kReportData = 8;
inline constexpr std::size_t kBlockSize = 56;

class DeviceLink;

// 65 zero bytes, then bytes 0, 1 and 2 set to the fixed header 0x00 0x10 0x20.
void InitCommandReport(std::array<std::uint8_t, 65>& report);
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
