#include "platform/linux/hid_conversions.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/hid.hpp"

namespace kavori::platform::host {
namespace {

constexpr std::uint8_t kStale = 0xAA;

using Field = std::array<std::uint8_t, kHidStringFieldSize>;

Field StaleField() {
  Field field;
  field.fill(kStale);
  return field;
}

struct Utf16Case {
  std::string name;
  std::wstring text;
  std::vector<std::uint8_t> expected;  // the bytes written; everything after stays stale
};

class Utf16FieldTest : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16FieldTest, WritesLittleEndianUnitsAndTerminatorOnly) {
  const Utf16Case& c = GetParam();
  Field field = StaleField();
  WriteUtf16Field(c.text, field.data(), kHidStringQueryBytes);
  for (std::size_t i = 0; i < field.size(); ++i) {
    const std::uint8_t want = i < c.expected.size() ? c.expected[i] : kStale;
    ASSERT_EQ(field[i], want) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Strings, Utf16FieldTest,
    ::testing::Values(Utf16Case{"Ascii", L"AB12", {'A', 0, 'B', 0, '1', 0, '2', 0, 0, 0}},
                      Utf16Case{"Latin1", L"\u00E9", {0xE9, 0x00, 0, 0}},
                      Utf16Case{"AboveLatin1", L"\u0100x", {0x00, 0x01, 'x', 0, 0, 0}},
                      // U+1F600 is the pair D83D DE00.
                      Utf16Case{"SurrogatePair", L"\U0001F600", {0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
                      Utf16Case{"LoneSurrogateBecomesReplacement",
                                std::wstring(1, static_cast<wchar_t>(0xD800)),
                                {0xFD, 0xFF, 0, 0}},
                      Utf16Case{"BeyondUnicodeBecomesReplacement",
                                std::wstring(1, static_cast<wchar_t>(0x110000)),
                                {0xFD, 0xFF, 0, 0}},
                      Utf16Case{"Empty", L"", {0, 0}}),
    [](const ::testing::TestParamInfo<Utf16Case>& info) { return info.param.name; });

TEST(Utf16FieldTest, LongStringStopsAt255BytesWithTheLowByteOfUnit127) {
  // 200 characters: units 0..126 fill bytes 0..253, byte 254 is the low byte of unit 127.
  std::wstring text;
  for (int i = 0; i < 200; ++i) text.push_back(static_cast<wchar_t>(0x0141 + i));
  Field field = StaleField();
  WriteUtf16Field(text, field.data(), kHidStringQueryBytes);
  EXPECT_EQ(field[0], 0x41);
  EXPECT_EQ(field[1], 0x01);
  EXPECT_EQ(field[252], 0x41 + 126);
  EXPECT_EQ(field[253], 0x01);
  EXPECT_EQ(field[254], 0x41 + 127) << "the odd last byte holds the next unit's low byte";
  EXPECT_EQ(field[255], kStale) << "the byte after the query's 255 was written";
}

TEST(Utf16FieldTest, StringOf127UnitsEndsWithTheTerminatorsLowByte) {
  // The longest string whose end is still marked: the zero unit's low byte lands on byte 254.
  const std::wstring text(127, L'x');
  Field field = StaleField();
  WriteUtf16Field(text, field.data(), kHidStringQueryBytes);
  EXPECT_EQ(field[252], 'x');
  EXPECT_EQ(field[253], 0);
  EXPECT_EQ(field[254], 0) << "terminator low byte missing";
  EXPECT_EQ(field[255], kStale);
}

TEST(Utf16FieldTest, PairSplitByTheEndKeepsOnlyWhatFits) {
  Field field = StaleField();
  WriteUtf16Field(L"a\U0001F600", field.data(), 3);
  EXPECT_EQ(field[0], 'a');
  EXPECT_EQ(field[1], 0);
  EXPECT_EQ(field[2], 0x3D) << "low byte of the high surrogate";
  EXPECT_EQ(field[3], kStale);
}

TEST(Utf16FieldTest, ZeroLengthWritesNothing) {
  Field field = StaleField();
  WriteUtf16Field(L"abc", field.data(), 0);
  EXPECT_EQ(field, StaleField());
}

struct NormaliseCase {
  std::string name;
  std::vector<std::uint8_t> raw;
  bool numbered;
  std::size_t outLength;
  std::vector<std::uint8_t> expected;
};

class NormaliseInputReportTest : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(NormaliseInputReportTest, PutsTheReportIdFirstWithinBounds) {
  const NormaliseCase& c = GetParam();
  std::vector<std::uint8_t> out(c.outLength + 4, kStale);
  const std::size_t stored =
      NormaliseInputReport(c.raw.data(), c.raw.size(), c.numbered, out.data(), c.outLength);
  ASSERT_EQ(stored, c.expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint8_t want = i < c.expected.size() ? c.expected[i] : kStale;
    ASSERT_EQ(out[i], want) << "byte " << i;
  }
}

std::vector<std::uint8_t> Counting(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

std::vector<std::uint8_t> WithId(std::uint8_t id, std::vector<std::uint8_t> data) {
  data.insert(data.begin(), id);
  return data;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, NormaliseInputReportTest,
    ::testing::Values(
        // hidraw gives an unnumbered report without id: the reply code moves to byte 1.
        NormaliseCase{"UnnumberedFull", Counting(64, 0x55), false, 65,
                      WithId(0, Counting(64, 0x55))},
        NormaliseCase{"UnnumberedShort", {0x55, 0x01}, false, 65, {0x00, 0x55, 0x01}},
        NormaliseCase{"UnnumberedLongerThanTheBuffer", Counting(65, 1), false, 65,
                      WithId(0, Counting(64, 1))},
        NormaliseCase{"UnnumberedIntoOneByte", {0x55}, false, 1, {0x00}},
        NormaliseCase{"NumberedKeepsItsId", {0x02, 0x55, 0x07}, true, 65, {0x02, 0x55, 0x07}},
        NormaliseCase{"NumberedLongerThanTheBuffer", Counting(65, 3), true, 10, Counting(10, 3)},
        NormaliseCase{"NothingFitsInZeroBytes", {0x55}, false, 0, {}}),
    [](const ::testing::TestParamInfo<NormaliseCase>& info) { return info.param.name; });

TEST(OpenFailure, NamesTheNodeItsIdsAndTheReason) {
  const Diagnostic denied = OpenFailure("/dev/hidraw3", NodeIds{0x0BEF, 0x0005}, EACCES);
  EXPECT_EQ(denied.text, "open /dev/hidraw3 (vendor 0x0BEF product 0x0005): Permission denied");
  EXPECT_TRUE(denied.permissionDenied);
  EXPECT_EQ(denied.vendorId, 0x0BEF);

  const Diagnostic gone = OpenFailure("/dev/hidraw9", std::nullopt, ENOENT);
  EXPECT_EQ(gone.text, "open /dev/hidraw9: No such file or directory");
  EXPECT_FALSE(gone.permissionDenied);
  EXPECT_FALSE(gone.vendorId.has_value());

  EXPECT_TRUE(OpenFailure("/dev/hidraw3", std::nullopt, EPERM).permissionDenied);
}

}  // namespace
}  // namespace kavori::platform::host
