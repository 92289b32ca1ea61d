// Report lengths from a HID report descriptor, computed the way the Windows HID parser reports
// them (InputReportByteLength, OutputReportByteLength), because hidapi offers no such query.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/hid.hpp"

namespace kavori::platform::host {

// The kernel refuses longer descriptors; so do we.
inline constexpr std::size_t kMaxReportDescriptorSize = 4096;

struct ReportLayout {
  // For input and output separately: 1 (the report id byte, 0x00 when the device has no ids) plus
  // the bytes of the largest report of that kind, bounded to kReportBufferSize; 0 when the
  // device has no report of that kind.
  HidReportLengths lengths;
  // True when the descriptor declares report ids: hidraw then delivers the id as byte 0.
  bool numbered = false;
};

// Pure. nullopt for a malformed descriptor: an item cut off by the end, a Pop without Push,
// report id 0 or above 255, unbalanced collections, reports without an id in a descriptor that
// uses ids, or a descriptor longer than kMaxReportDescriptorSize. Long items and items of
// reserved types or tags (zero padding, for one) are skipped.
std::optional<ReportLayout> ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace kavori::platform::host
