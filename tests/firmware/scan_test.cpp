// The scan of an image for its device descriptor and product code, quirks included.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"

namespace kavori::firmware {
namespace {

constexpr const char* kCode = "ABCDEFGHIJKLMNOPQRSTUV";
constexpr const char* kOtherCode = "abcdefghijklmnopqrstuv";
constexpr std::size_t kSize = 0x400;

struct ScanOutcome {
  int result;
  std::uint32_t versionWord;
  std::string productCode;
};

// Scans an exact-size heap copy, so that the sanitizer catches any read past the end.
ScanOutcome Scan(const std::vector<std::uint8_t>& image) {
  auto copy = std::make_unique<std::uint8_t[]>(image.size());
  std::copy(image.begin(), image.end(), copy.get());
  ScanOutcome outcome{0, 0, ""};
  char code[kProductCodeLength + 1] = {};
  outcome.result = ScanImageBytes({copy.get(), image.size()}, outcome.versionWord, code);
  outcome.productCode = code;
  return outcome;
}

ImageBuilder Base() {
  ImageBuilder builder;
  builder.Magic().Size(kSize);
  return builder;
}

struct ScanCase {
  const char* name;
  ImageBuilder image;
  int result;
  std::uint32_t versionWord;  // checked when result is 0
  std::string productCode;    // checked when result is 0
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class ScanTableTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTableTest, FindsVersionAndCode) {
  const ScanCase& c = GetParam();
  const ScanOutcome outcome = Scan(c.image.Build());
  ASSERT_EQ(outcome.result, c.result);
  if (c.result == 0) {
    EXPECT_EQ(outcome.versionWord, c.versionWord);
    EXPECT_EQ(outcome.productCode, c.productCode);
  }
}

std::vector<ScanCase> ScanCases() {
  return {
      {"Empty", ImageBuilder().Size(0), -3, 0, ""},
      {"MagicOnly", ImageBuilder().Magic(), -3, 0, ""},
      {"MagicAndFiller", Base(), -3, 0, ""},
      {"Valid", Base().DeviceDescriptorAt(0x10, 0x0005, 0x0110).StringDescriptorAt(0x60, kCode), 0,
       0x050110, kCode},
      {"ProductIdA",
       Base().DeviceDescriptorAt(0x10, 0x000A, 0x0203).StringDescriptorAt(0x60, kCode), 0, 0x0A0203,
       kCode},
      {"ProductIdB",
       Base().DeviceDescriptorAt(0x10, 0x000B, 0xFF01).StringDescriptorAt(0x60, kCode), 0, 0x0BFF01,
       kCode},
      {"LoaderProductIdRejected",
       Base().DeviceDescriptorAt(0x10, 0x8105, 0x0110).StringDescriptorAt(0x60, kCode), -3, 0, ""},
      {"ProductId6Rejected",
       Base().DeviceDescriptorAt(0x10, 0x0006, 0x0110).StringDescriptorAt(0x60, kCode), -3, 0, ""},
      {"NonZeroAtOffset19Rejects",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .BytesAt(0x10 + 19, {0x01})
           .StringDescriptorAt(0x60, kCode),
       -3, 0, ""},
      {"NonZeroAtOffset21Rejects",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .BytesAt(0x10 + 21, {0x01})
           .StringDescriptorAt(0x60, kCode),
       -3, 0, ""},
      {"NonZeroAtOffset22Rejects",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .BytesAt(0x10 + 22, {0x01})
           .StringDescriptorAt(0x60, kCode),
       -3, 0, ""},
      {"NonZeroAtOffsets23And25Ignored",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .BytesAt(0x10 + 23, {0x7F})
           .BytesAt(0x10 + 25, {0x81})
           .StringDescriptorAt(0x60, kCode),
       0, 0x050110, kCode},
      {"RestartOnStrayPatternStart",
       Base()
           .BytesAt(0x10, {0x12, 0x00, 0x01, 0x00, 0x12})
           .DeviceDescriptorAt(0x14, 0x0005, 0x0110)
           .StringDescriptorAt(0x60, kCode),
       0, 0x050110, kCode},
      {"SecondDescriptorSetsVersionFirstHeaderSetsCode",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .StringDescriptorAt(0x60, kCode)
           .DeviceDescriptorAt(0x100, 0x000B, 0x0203)
           .StringDescriptorAt(0x200, kOtherCode),
       0, 0x0B0203, kCode},
      {"HeaderBeforeDescriptorOnly",
       Base().StringDescriptorAt(0x10, kCode).DeviceDescriptorAt(0x100, 0x0005, 0x0110), -3, 0, ""},
      {"HeaderBeforeDescriptorIgnored",
       Base()
           .StringDescriptorAt(0x10, kOtherCode)
           .DeviceDescriptorAt(0x100, 0x0005, 0x0110)
           .StringDescriptorAt(0x200, kCode),
       0, 0x050110, kCode},
      {"RejectedDescriptorDoesNotStartCodeSearch",
       Base()
           .DeviceDescriptorAt(0x10, 0x0006, 0x0110)
           .StringDescriptorAt(0x60, kOtherCode)
           .DeviceDescriptorAt(0x100, 0x0005, 0x0110)
           .StringDescriptorAt(0x200, kCode),
       0, 0x050110, kCode},
      {"DoubledHeaderStartNotFound",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .BytesAt(0x60, {0x00, 0x2E, 0x00, 0x2E, 0x00, 0x03, 'X'}),
       -3, 0, ""},
      {"DoubledZeroBeforeHeaderFound",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .BytesAt(0x60, {0x00})
           .StringDescriptorAt(0x61, kCode),
       0, 0x050110, kCode},
      {"HeaderFortyBytesBeforeEndKeepsUnderscores",
       Base().DeviceDescriptorAt(0x10, 0x0005, 0x0110).StringDescriptorAt(kSize - 40, kCode), 0,
       0x050110, "ABCDEFGHI_____________"},
      {"HeaderAtVeryEndAllUnderscores",
       Base().DeviceDescriptorAt(0x10, 0x0005, 0x0110).BytesAt(kSize - 4, {0x00, 0x2E, 0x00, 0x03}),
       0, 0x050110, std::string(22, '_')},
      // A later accepted descriptor overwrites the version only if its bcdDevice lies inside.
      {"LastDescriptorWhoseTailFits",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .StringDescriptorAt(0x60, kCode)
           .DeviceDescriptorAt(kSize - 27, 0x000B, 0x0203),
       0, 0x0B0203, kCode},
      {"DescriptorTailPastEndIgnored",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .StringDescriptorAt(0x60, kCode)
           .DeviceDescriptorAt(kSize - 26, 0x000B, 0x0203),
       0, 0x050110, kCode},
      {"PatternEndsAtLastByte", Base().DeviceDescriptorAt(kSize - 19, 0x0005, 0x0110), -3, 0, ""},
      // Still seeking the product code when a rejected match ends at the last byte.
      {"PatternEndsAtLastByteWhileSeekingCode",
       Base()
           .DeviceDescriptorAt(0x10, 0x0005, 0x0110)
           .DeviceDescriptorAt(kSize - 19, 0x000B, 0x0203),
       -3, 0, ""},
      {"DescriptorWithoutCode", Base().DeviceDescriptorAt(0x10, 0x0005, 0x0110), -3, 0, ""},
      {"DescriptorInsideMagicNotSeen",
       ImageBuilder().DeviceDescriptorAt(0, 0x0005, 0x0110).StringDescriptorAt(0x60, kCode), -3, 0,
       ""},
  };
}

INSTANTIATE_TEST_SUITE_P(Images, ScanTableTest, ::testing::ValuesIn(ScanCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScanImageBytes, WritesNothingItDoesNotFind) {
  // A failed scan must not clear what an earlier successful one found.
  std::uint32_t versionWord = 0x00ABCDEF;
  char code[kProductCodeLength + 1] = "previous";
  const auto image = Base().DeviceDescriptorAt(0x10, 0x0006, 0x0110).Build();
  EXPECT_EQ(ScanImageBytes(image, versionWord, code), -3);
  EXPECT_EQ(versionWord, 0x00ABCDEFu);
  EXPECT_STREQ(code, "previous");
}

TEST(ScanImageBytes, EveryTruncationOfAValidImageIsSafe) {
  // Cutting a valid image at every length walks every matcher state into the end of the data.
  const auto image = ImageBuilder()
                         .Magic()
                         .DeviceDescriptorAt(2, 0x0005, 0x0110)
                         .StringDescriptorAt(38, kCode)
                         .Build();
  for (std::size_t length = 0; length <= image.size(); ++length) {
    const std::vector<std::uint8_t> cut(image.begin(), image.begin() + length);
    const ScanOutcome outcome = Scan(cut);
    // The product code is found once its header (offsets 38..41) and the descriptor fit.
    EXPECT_EQ(outcome.result, length >= 42 ? 0 : -3) << "length " << length;
  }
}

}  // namespace
}  // namespace kavori::firmware
