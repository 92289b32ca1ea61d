// Feeds arbitrary bytes to the report-descriptor parser as a device could send them. Whatever the
// device says, the lengths the link sizes its buffers by must stay within the 65-byte buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/report_descriptor.hpp"

namespace {

using kavori::platform::kReportBufferSize;
using kavori::platform::host::kMaxReportDescriptorSize;
using kavori::platform::host::ParseReportDescriptor;
using kavori::platform::host::ReportLayout;

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool Same(const std::optional<ReportLayout>& a, const std::optional<ReportLayout>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->lengths.input == b->lengths.input && a->lengths.output == b->lengths.output &&
                a->numbered == b->numbered);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size heap copy lets the address sanitizer see any read past the end.
  const auto copy = std::make_unique<std::uint8_t[]>(size);
  if (size != 0) std::memcpy(copy.get(), data, size);
  const std::optional<ReportLayout> layout = ParseReportDescriptor({copy.get(), size});

  if (size > kMaxReportDescriptorSize) Check(!layout, "an overlong descriptor is refused");
  if (layout) {
    Check(layout->lengths.input <= kReportBufferSize, "input length at most 65");
    Check(layout->lengths.output <= kReportBufferSize, "output length at most 65");
  }

  // Devices pad descriptors with zero bytes (reserved main items): padding a well-formed
  // descriptor changes nothing. (A cut-off one it may complete.)
  if (layout && size < kMaxReportDescriptorSize) {
    std::vector<std::uint8_t> padded(copy.get(), copy.get() + size);
    padded.push_back(0x00);
    Check(Same(ParseReportDescriptor(padded), layout), "a trailing zero byte changes nothing");
  }
  return 0;
}
