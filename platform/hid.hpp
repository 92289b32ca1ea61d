// HID access as the device link needs it: enumerate interfaces, open one, query its identity
// and report lengths, write output reports and read input reports with a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavori::platform {

// Report buffers hold the report id byte and 64 data bytes; longer reports are truncated.
inline constexpr std::size_t kReportBufferSize = 65;
// HID string fields are 256 bytes; a string query may write at most 255 of them.
inline constexpr std::size_t kHidStringFieldSize = 256;
inline constexpr std::size_t kHidStringQueryBytes = 255;

struct HidAttributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t releaseNumber = 0;
};

// Report lengths including the report id byte (1 + payload), each bounded to kReportBufferSize.
struct HidReportLengths {
  std::uint16_t input = 0;
  std::uint16_t output = 0;
};

enum class ReadStatus {
  Data,     // a report arrived; `length` bytes were stored, byte 0 is the report id
  Timeout,  // nothing arrived within the bound
  Gone,     // the device was unplugged; later reads fail the same way
  Error,    // any other failure
};

struct ReadResult {
  ReadStatus status = ReadStatus::Error;
  std::size_t length = 0;
};

// One open HID interface. A handle is used by one thread at a time; the device link opens two
// handles on the same path so that its reader thread reads while another thread writes.
class HidHandle {
 public:
  virtual ~HidHandle() = default;

  virtual bool GetAttributes(HidAttributes& out) = 0;
  // Write the string as UTF-16LE code units into field[0, length), with a terminating zero unit
  // when it fits. Bytes after what the string needs are left as they were.
  virtual bool GetSerialNumberString(std::uint8_t* field, std::size_t length) = 0;
  virtual bool GetProductString(std::uint8_t* field, std::size_t length) = 0;
  virtual bool GetReportLengths(HidReportLengths& out) = 0;

  // Writes one output report; report[0] is the report id (0x00 for unnumbered reports).
  virtual bool Write(const std::uint8_t* report, std::size_t length) = 0;
  // Waits at most timeoutMs (a negative bound counts as 0) for one input report and stores at
  // most `length` bytes of it, normalised so that byte 0 is the report id (0x00 for unnumbered
  // reports). A report shorter than the input length is filled up with zeros to that length.
  virtual ReadResult Read(std::uint8_t* buffer, std::size_t length, int timeoutMs) = 0;
};

class HidBackend {
 public:
  virtual ~HidBackend() = default;

  // Paths of the HID interfaces present now, in the system's order.
  virtual std::vector<std::string> EnumerateInterfaces() = 0;
  // Opens an interface for reading and writing, shared; nullptr when it cannot be opened.
  virtual std::unique_ptr<HidHandle> Open(const std::string& path) = 0;
};

}  // namespace kavori::platform
