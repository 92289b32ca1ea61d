// Pure conversions between what hidapi delivers and what the HID interface promises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/diagnostics.hpp"

namespace kavori::platform::host {

// Stores the first `length` bytes of the UTF-16LE form of `text` followed by a zero unit into
// field[0, length): whole units while they fit, and when `length` is odd the final byte is the
// low byte of the next unit (as a byte-counted string query fills its buffer). Code points above
// U+FFFF become surrogate pairs; values that are no Unicode scalar become U+FFFD. Bytes from
// field[length] on, and bytes after the terminating zero unit, are left as they were.
void WriteUtf16Field(std::wstring_view text, std::uint8_t* field, std::size_t length);

// hidraw hands over a numbered report with its id in byte 0, an unnumbered one without any id
// byte. Copies `raw` into `out` so that byte 0 is always the report id (0x00 when unnumbered)
// and byte 1 the first data byte. Returns the bytes stored, at most `outLength`.
std::size_t NormaliseInputReport(const std::uint8_t* raw, std::size_t rawLength, bool numbered,
                                 std::uint8_t* out, std::size_t outLength);

// The USB ids hidapi lists for a node, known before it is opened.
struct NodeIds {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

// Why `path` could not be opened, from the errno of the open: "open /dev/hidraw3 (vendor 0x0BEF
// product 0x0005): Permission denied". EACCES and EPERM count as a denied permission.
Diagnostic OpenFailure(const std::string& path, std::optional<NodeIds> ids, int error);

}  // namespace kavori::platform::host
