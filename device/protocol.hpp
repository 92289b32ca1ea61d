// What travels between the host and a Kavori: the report descriptor the device presents, the
// layout of the command report the host writes, and the codes of commands and replies. The
// device link, the simulated device, the test devices and the fuzzers all take them from here.
//
// A command report (output report, the report id byte included):
//   0       report id 0x00: the Kavori numbers no reports, so the id never reaches it
//   1, 2    0x10 0x20, in every command report
//   3       command code
//   4       count of the data bytes
//   5, 6    address low and high: the block's offset into the image, modulo 64 KiB
//   7       reserved
//   8..63   data, one block of at most 56 bytes
//   64      reserved
// A command writes only its own fields: the device sees whatever earlier commands left in the
// others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kavori::device {

inline constexpr std::uint8_t CmdEnterProgramming = 0x10;
inline constexpr std::uint8_t CmdDataBlock = 0x20;
inline constexpr std::uint8_t CmdBurnFlash = 0x30;
inline constexpr std::uint8_t CmdVerify = 0x40;
inline constexpr std::uint8_t CmdPrepare = 0x62;
inline constexpr std::uint8_t CmdRestart = 0x70;

// The device's acceptance of a command.
inline constexpr std::uint8_t ReplyAck = 0x55;
// Not a code the device sends: what a wait returns when no reply came.
inline constexpr std::uint8_t ReplyNone = 0xAB;

// Input and output reports alike: the report id byte and 64 bytes.
inline constexpr std::size_t kReportLength = 65;

// Command report layout.
inline constexpr std::array<std::uint8_t, 3> kReportHeader = {0x00, 0x10, 0x20};
inline constexpr std::size_t kReportCommand = 3;
inline constexpr std::size_t kReportCount = 4;
inline constexpr std::size_t kReportAddressLow = 5;
inline constexpr std::size_t kReportAddressHigh = 6;
inline constexpr std::size_t kReportData = 8;
inline constexpr std::size_t kBlockSize = 56;

// The Kavori's HID report descriptor: a vendor-page collection with one 64-byte input and one
// 64-byte output report, no report ids; hence kReportLength both ways.
inline constexpr std::array<std::uint8_t, 25> kReportDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0x09, 0x01,        //   Usage (1)
    0x91, 0x02,        //   Output (Data, Var, Abs)
    0xC0,              // End Collection
};

// Writes the count, the address of `offset` and the bytes of `block` (at most kBlockSize of them)
// into a data block report. Every other byte keeps what it held: after a short last block the
// tail of the block before it is still there, and the device receives it.
constexpr void FrameDataBlock(std::array<std::uint8_t, kReportLength>& report, std::uint64_t offset,
                              std::span<const std::uint8_t> block) {
  const std::size_t count = block.size() < kBlockSize ? block.size() : kBlockSize;
  report[kReportCount] = static_cast<std::uint8_t>(count);
  report[kReportAddressLow] = static_cast<std::uint8_t>(offset % 256);
  report[kReportAddressHigh] = static_cast<std::uint8_t>((offset / 256) % 256);
  for (std::size_t k = 0; k < count; ++k) report[kReportData + k] = block[k];
}

}  // namespace kavori::device
