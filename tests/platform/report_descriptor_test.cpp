#include "platform/linux/report_descriptor.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/protocol.hpp"

namespace kavori::platform::host {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The Kavori's own: a vendor-page collection with one 64-byte input and one 64-byte output
// report, no report ids.
const Bytes kKavori(device::kReportDescriptor.begin(), device::kReportDescriptor.end());

struct LayoutCase {
  std::string name;
  Bytes descriptor;
  std::uint16_t input;
  std::uint16_t output;
  bool numbered;
};

class ReportLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ReportLayoutTest, LengthsCountTheIdByteAndTheLargestReport) {
  const LayoutCase& c = GetParam();
  const std::optional<ReportLayout> layout = ParseReportDescriptor(c.descriptor);
  ASSERT_TRUE(layout.has_value()) << "a well-formed descriptor was rejected";
  EXPECT_EQ(layout->lengths.input, c.input) << "input report length";
  EXPECT_EQ(layout->lengths.output, c.output) << "output report length";
  EXPECT_EQ(layout->numbered, c.numbered) << "whether reports carry an id";
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, ReportLayoutTest,
    ::testing::Values(
        LayoutCase{"Vendor64WithoutIds", kKavori, device::kReportLength, device::kReportLength,
                   false},
        // Trailing zero bytes are reserved main items; some devices pad with them.
        LayoutCase{"TrailingZeroPadding", Concat({kKavori, {0x00, 0x00}}), 65, 65, false},
        LayoutCase{"NumberedReportsTakeTheLargestPerKind",
                   {
                       0xA1, 0x01,              // Collection
                       0x75, 0x08,              //   Report Size (8)
                       0x85, 0x01, 0x95, 0x08,  //   Report ID 1, Count 8
                       0x81, 0x02,              //   Input: 8 bytes
                       0x85, 0x02, 0x95, 0x0A,  //   Report ID 2, Count 10
                       0x81, 0x02, 0x81, 0x02,  //   Input twice: 20 bytes
                       0x85, 0x03, 0x95, 0x04,  //   Report ID 3, Count 4
                       0x91, 0x02,              //   Output: 4 bytes
                       0x85, 0x04, 0x95, 0x64,  //   Report ID 4, Count 100
                       0xB1, 0x02,              //   Feature: not counted
                       0xC0,
                   },
                   21,
                   5,
                   true},
        LayoutCase{"BitFieldsRoundUpPerReport",
                   {
                       0x75, 0x03, 0x95, 0x01, 0x81, 0x02,  // 3 bits
                       0x75, 0x05, 0x81, 0x03,              // 5 bits padding
                       0x75, 0x04, 0x81, 0x02,              // 4 bits: 12 bits, 2 bytes
                   },
                   3,
                   0,
                   false},
        LayoutCase{"NoReportOfAKindGivesZero", {0x75, 0x08, 0x95, 0x02, 0x91, 0x02}, 0, 3, false},
        LayoutCase{"LongReportsAreBoundedTo65",
                   {0x75, 0x08, 0x96, 0x00, 0x04, 0x81, 0x02, 0x91, 0x02},  // 1024 bytes each
                   65,
                   65,
                   false},
        LayoutCase{"HugeSizeTimesCountSaturates",
                   {
                       0x77,
                       0xFF,
                       0xFF,
                       0xFF,
                       0xFF,  // Report Size 2^32-1
                       0x97,
                       0xFF,
                       0xFF,
                       0xFF,
                       0xFF,  // Report Count 2^32-1
                       0x81,
                       0x02,
                       0x81,
                       0x02,
                       0x81,
                       0x02,
                   },
                   65,
                   0,
                   false},
        LayoutCase{"PopRestoresSizeCountAndId",
                   {
                       0x85, 0x01, 0x75, 0x08, 0x95, 0x04,  // id 1, 4 x 8 bits
                       0xA4,                                // Push
                       0x85, 0x02, 0x95, 0x10, 0x81, 0x02,  // id 2: 16 bytes in
                       0xB4,                                // Pop: back to id 1, 4 x 8
                       0x81, 0x02, 0x91, 0x02,              // id 1: 4 bytes in, 4 out
                   },
                   17,
                   5,
                   true},
        LayoutCase{"NestedPushPop",
                   {
                       0x75,
                       0x08,
                       0x95,
                       0x01,  // 1 x 8
                       0xA4,
                       0x95,
                       0x02,  // Push, 2 x 8
                       0xA4,
                       0x95,
                       0x03,  // Push, 3 x 8
                       0xB4,
                       0xB4,  // Pop twice: 1 x 8
                       0x81,
                       0x02,
                   },
                   2,
                   0,
                   false},
        // Its data would be a Pop without Push, an End Collection and a cut-off Report ID.
        LayoutCase{"LongItemIsSkippedWhole",
                   Concat({{0xFE, 0x03, 0x10, 0xB4, 0xC0, 0x85}, kKavori}), 65, 65, false},
        LayoutCase{"EmptyDescriptor", {}, 0, 0, false}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

struct MalformedCase {
  std::string name;
  Bytes descriptor;
};

class MalformedDescriptorTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedDescriptorTest, IsRejected) {
  EXPECT_FALSE(ParseReportDescriptor(GetParam().descriptor).has_value())
      << "a malformed descriptor was accepted";
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, MalformedDescriptorTest,
    ::testing::Values(
        MalformedCase{"OneByteItemCutOff", {0x75, 0x08, 0x95}},
        MalformedCase{"FourByteItemCutOff", {0x27, 0xFF, 0xFF}},
        MalformedCase{"TruncatedVendor64", Bytes(kKavori.begin(), kKavori.begin() + 11)},
        MalformedCase{"LongItemHeaderCutOff", {0xFE, 0x05}},
        MalformedCase{"LongItemDataCutOff", {0xFE, 0x05, 0x10, 0x01, 0x02}},
        MalformedCase{"PopWithoutPush", {0x75, 0x08, 0xB4}},
        MalformedCase{"ReportIdZero", {0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}},
        MalformedCase{"ReportIdAbove255", {0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}},
        MalformedCase{"EndCollectionWithoutCollection", {0xC0}},
        MalformedCase{"CollectionNotClosed", {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}},
        MalformedCase{"ReportWithoutIdAmongNumbered",
                      {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02}}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

TEST(ReportDescriptorTest, RejectsDescriptorsLongerThanTheKernelAllows) {
  Bytes padded = kKavori;
  padded.resize(kMaxReportDescriptorSize, 0x00);
  EXPECT_TRUE(ParseReportDescriptor(padded).has_value()) << "exactly at the limit is fine";
  padded.push_back(0x00);
  EXPECT_FALSE(ParseReportDescriptor(padded).has_value()) << "one byte over the limit";
}

}  // namespace
}  // namespace kavori::platform::host
