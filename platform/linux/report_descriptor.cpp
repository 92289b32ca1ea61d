#include "platform/linux/report_descriptor.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace kavori::platform::host {
namespace {

// Local items (type 2) and the reserved type 3 carry nothing that lengths depend on.
enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1 };

enum MainTag : std::uint8_t {
  kInput = 0x8,
  kOutput = 0x9,
  kCollection = 0xA,
  kFeature = 0xB,
  kEndCollection = 0xC,
};

enum GlobalTag : std::uint8_t {
  kReportSize = 0x7,
  kReportId = 0x8,
  kReportCount = 0x9,
  kPush = 0xA,
  kPop = 0xB,
};

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// Sums saturate here: far above any length we report, far below overflow.
constexpr std::uint64_t kBitCap = std::uint64_t{1} << 32;

struct GlobalState {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint8_t reportId = 0;
};

// Bits per report id; a report is present once any main item of its kind names it.
struct ReportSizes {
  std::array<std::uint64_t, 256> bits{};
  std::array<bool, 256> present{};

  void Add(std::uint8_t id, std::uint64_t itemBits) {
    bits[id] = std::min(bits[id] + std::min(itemBits, kBitCap), kBitCap);
    present[id] = true;
  }

  std::uint16_t LengthWithReportId() const {
    std::uint64_t largest = 0;
    bool any = false;
    for (std::size_t id = 0; id < bits.size(); ++id) {
      if (!present[id]) continue;
      any = true;
      largest = std::max(largest, (bits[id] + 7) / 8);
    }
    if (!any) return 0;
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(1 + largest, kReportBufferSize));
  }
};

}  // namespace

std::optional<ReportLayout> ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
  if (descriptor.size() > kMaxReportDescriptorSize) return std::nullopt;

  GlobalState global;
  std::vector<GlobalState> pushed;
  ReportSizes input;
  ReportSizes output;
  bool usesIds = false;
  bool hasReportWithoutId = false;
  std::size_t collectionDepth = 0;

  std::size_t pos = 0;
  const std::size_t end = descriptor.size();
  while (pos < end) {
    const std::uint8_t prefix = descriptor[pos++];

    if (prefix == kLongItemPrefix) {
      // bDataSize, bLongItemTag, then the data; no long item tags are defined, so skip it.
      if (end - pos < 2) return std::nullopt;
      const std::size_t dataSize = descriptor[pos];
      pos += 2;
      if (end - pos < dataSize) return std::nullopt;
      pos += dataSize;
      continue;
    }

    const std::size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
    if (end - pos < dataSize) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < dataSize; ++k) {
      value |= static_cast<std::uint32_t>(descriptor[pos + k]) << (8 * k);
    }
    pos += dataSize;

    const auto type = static_cast<std::uint8_t>((prefix >> 2) & 0x3);
    const auto tag = static_cast<std::uint8_t>(prefix >> 4);
    switch (type) {
      case kMain:
        switch (tag) {
          case kInput:
          case kOutput:
          case kFeature: {
            if (global.reportId == 0) hasReportWithoutId = true;
            const std::uint64_t bits =
                std::uint64_t{global.reportSize} * std::uint64_t{global.reportCount};
            if (tag == kInput) input.Add(global.reportId, bits);
            if (tag == kOutput) output.Add(global.reportId, bits);
            break;
          }
          case kCollection:
            ++collectionDepth;
            break;
          case kEndCollection:
            if (collectionDepth == 0) return std::nullopt;
            --collectionDepth;
            break;
          default:
            break;
        }
        break;
      case kGlobal:
        switch (tag) {
          case kReportSize:
            global.reportSize = value;
            break;
          case kReportId:
            if (value == 0 || value > 0xFF) return std::nullopt;
            global.reportId = static_cast<std::uint8_t>(value);
            usesIds = true;
            break;
          case kReportCount:
            global.reportCount = value;
            break;
          case kPush:
            pushed.push_back(global);
            break;
          case kPop:
            if (pushed.empty()) return std::nullopt;
            global = pushed.back();
            pushed.pop_back();
            break;
          default:
            break;
        }
        break;
      default:
        break;
    }
  }

  if (collectionDepth != 0) return std::nullopt;
  // With ids in use, a report without one could not be told apart on the wire.
  if (usesIds && hasReportWithoutId) return std::nullopt;

  ReportLayout layout;
  layout.lengths.input = input.LengthWithReportId();
  layout.lengths.output = output.LengthWithReportId();
  layout.numbered = usesIds;
  return layout;
}

}  // namespace kavori::platform::host
