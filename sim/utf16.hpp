// UTF-8 to UTF-16 for the device's string descriptors, which USB stores as UTF-16LE.
#pragma once

#include <string>
#include <string_view>

namespace kavori::sim::detail {

// Converts `text` into `out`. Returns false when `text` is not valid UTF-8; `out` then holds
// U+FFFD for each invalid sequence, so a caller may still use it. Any thread.
bool Utf8ToUtf16(std::string_view text, std::u16string& out);

}  // namespace kavori::sim::detail
