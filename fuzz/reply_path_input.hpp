// The input format of the reply-path fuzzer, shared with the seed maker so that seeds and target
// cannot drift apart. Read front to back; a value past the end reads as 0.
//
//   interfaces: count, then per interface: faults, [open failures], [vendor id], product id,
//               release, input length, output length, serial, product
//   lock:       0 or 3..255 acquired, 1 in use, 2 failed
//   reads:      count, then per read: kind, delay, [report]
//   actions:    until the input ends: action, [its parameter]
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kavori::fuzz {

// Interface fault byte: the low three bits pick one fault.
inline constexpr std::uint8_t kAttributesFail = 1;
inline constexpr std::uint8_t kLengthsFail = 2;
inline constexpr std::uint8_t kWritesFail = 3;
inline constexpr std::uint8_t kStringsFail = 4;
// Bits 3..5 equal to this: a byte of open failures follows (bit k: the (k mod 8)th open fails).
inline constexpr std::uint8_t kOpenFailuresFollow = 0x08;
// Bits 6..7 both set: a vendor id follows; otherwise the Kavori's.
inline constexpr std::uint8_t kVendorFollows = 0xC0;

// Product id selector: an index into the normal or loader ids follows, or a raw id.
enum class ProductIdKind : std::uint8_t { Normal, Loader, Raw };

// What one read of the device's input reports does.
enum class ReadKind : std::uint8_t {
  Report,            // a report after the delay
  ReportAfterWrite,  // a report after the delay, once a command was written since the last one
  Timeout,           // nothing within the delay
  Gone,              // the device is unplugged; this handle reads Gone from now on
  Error,
  Count,
};

enum class Action : std::uint8_t {
  Open,
  Close,
  CreateEvent,
  CloseEvent,
  Enter,
  Restart,
  Prepare,
  Burn,
  Verify,
  Wait,
  Download,  // followed by the image size (16 bits)
  // Followed by the image size (16 bits), at least the magic's 2 bytes: starts the programming run
  // on its thread. Until the run is joined only Close, CloseEvent, Sleep and SetTimeout act beside
  // it; any other action joins it first.
  Run,
  Sleep,           // followed by microseconds (16 bits)
  SetTimeout,      // followed by milliseconds (8 bits)
  ToggleWatching,  // the wizard's WatchingReconnect, which Open passes on
  Count,
};

inline constexpr std::size_t kMaxInterfaces = 3;
inline constexpr std::size_t kMaxReads = 48;
inline constexpr std::size_t kMaxActions = 32;
inline constexpr unsigned kMaxDelayUs = 4000;
inline constexpr std::size_t kMaxReportLength = 80;
inline constexpr std::size_t kMaxImageSize = 400;
inline constexpr unsigned kMaxReplyTimeoutMs = 8;
// Report lengths the interface claims, beyond the 65-byte buffers too.
inline constexpr unsigned kMaxClaimedLength = 300;

class InputReader {
 public:
  explicit InputReader(std::span<const std::uint8_t> data) : data_(data) {}

  bool AtEnd() const { return pos_ >= data_.size(); }
  std::uint8_t U8() { return pos_ < data_.size() ? data_[pos_++] : 0; }
  std::uint16_t U16() {
    const std::uint16_t low = U8();
    return static_cast<std::uint16_t>(low | (U8() << 8));
  }
  // 0..maximum.
  unsigned Upto(unsigned maximum, bool wide) { return (wide ? U16() : U8()) % (maximum + 1); }
  std::vector<std::uint8_t> Bytes(std::size_t n) {
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < n && !AtEnd()) bytes.push_back(U8());
    return bytes;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

class InputWriter {
 public:
  InputWriter& U8(unsigned value) {
    bytes_.push_back(static_cast<std::uint8_t>(value));
    return *this;
  }
  InputWriter& U16(unsigned value) { return U8(value & 0xFF).U8(value >> 8); }
  InputWriter& Bytes(std::span<const std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  const std::vector<std::uint8_t>& Data() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kavori::fuzz
