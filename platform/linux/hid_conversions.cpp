#include "platform/linux/hid_conversions.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace kavori::platform::host {

Diagnostic OpenFailure(const std::string& path, std::optional<NodeIds> ids, int error) {
  Diagnostic diagnostic;
  diagnostic.text = "open " + path;
  if (ids) {
    diagnostic.text +=
        " (vendor " + UsbIdText(ids->vendorId) + " product " + UsbIdText(ids->productId) + ")";
    diagnostic.vendorId = ids->vendorId;
  }
  diagnostic.text += ": " + std::generic_category().message(error);
  diagnostic.permissionDenied = error == EACCES || error == EPERM;
  return diagnostic;
}
namespace {

static_assert(sizeof(wchar_t) == 4, "hidapi on Linux hands out UTF-32 strings");

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalarValue(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

}  // namespace

void WriteUtf16Field(std::wstring_view text, std::uint8_t* field, std::size_t length) {
  std::vector<std::uint16_t> units;
  units.reserve(text.size() + 1);
  for (const wchar_t wide : text) {
    char32_t c = static_cast<char32_t>(wide);
    if (!IsScalarValue(c)) c = kReplacement;
    if (c > 0xFFFF) {
      c -= 0x10000;
      units.push_back(static_cast<std::uint16_t>(0xD800 + (c >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      units.push_back(static_cast<std::uint16_t>(c));
    }
  }
  units.push_back(0);

  const std::size_t bytes = std::min(length, units.size() * 2);
  for (std::size_t i = 0; i < bytes; ++i) {
    const std::uint16_t unit = units[i / 2];
    field[i] = static_cast<std::uint8_t>(i % 2 == 0 ? unit & 0xFF : unit >> 8);
  }
}

std::size_t NormaliseInputReport(const std::uint8_t* raw, std::size_t rawLength, bool numbered,
                                 std::uint8_t* out, std::size_t outLength) {
  if (outLength == 0) return 0;
  if (numbered) {
    const std::size_t n = std::min(rawLength, outLength);
    std::copy_n(raw, n, out);
    return n;
  }
  out[0] = 0x00;
  const std::size_t n = std::min(rawLength, outLength - 1);
  std::copy_n(raw, n, out + 1);
  return n + 1;
}

}  // namespace kavori::platform::host
