// Choosing the firmware file that suits the connected device.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "firmware/firmware_report.hpp"
#include "firmware/firmware_selection.hpp"
#include "firmware/image_builder.hpp"
#include "platform/pause.hpp"
#include "test_support.hpp"

namespace kavori::firmware {
namespace {

using test::BytesOf;
using test::Locked;
using test::LockedFiles;
using test::TempDir;
using test::WriteFile;

constexpr const char* kSerial = "KAVSBL01234567890ABCDE";  // A = 23, B = 89
constexpr const char* kSuitableCode = "KAVSBL0000009900990000";
constexpr const char* kOtherTargetCode = "OTHERX0000009900990000";

std::vector<std::uint8_t> Image(const char* code, std::uint16_t productId = 0x0005,
                                std::uint16_t bcdDevice = 0x0110) {
  return ImageBuilder()
      .Magic()
      .DeviceDescriptorAt(0x20, productId, bcdDevice)
      .StringDescriptorAt(0x80, code)
      .Size(0x180)
      .Build();
}

const std::vector<std::uint8_t> kWrongMagic = {0xAA, 0x08, 0x00, 0x00};
const std::vector<std::uint8_t> kMagicOnly = {0x08, 0xAA, 0x00, 0x00};

firmware::TargetDevice Device(const char* serial, std::uint32_t versionWord = 0x00050110) {
  firmware::TargetDevice device;
  device.versionWord = versionWord;
  std::copy_n(serial, std::char_traits<char>::length(serial), device.serialString.begin());
  return device;
}

// `directory` followed by "/." steps (and one extra '/' when needed) up to `length` characters;
// it still names the same directory.
std::string PaddedDirectory(std::string directory, std::size_t length) {
  if ((length - directory.size()) % 2 != 0) directory += '/';
  while (directory.size() < length) directory += "/.";
  return directory;
}

class SelectFirmwareTest : public ::testing::Test {
 protected:
  void Put(const std::string& name, const std::vector<std::uint8_t>& content) {
    WriteFile(dir_.File(name), content);
  }
  // The search with its pauses shortened; `tried_` gets the names in the order they were judged.
  FirmwareSelection Select(const std::string& directory, std::stop_token stop = {}) {
    tried_.clear();
    return SelectFirmware(directory, device_, pauses_, stop,
                          [this](const EntryVerdict& verdict) { tried_.push_back(verdict.name); });
  }
  FirmwareSelection Select() { return Select(dir_.Path()); }

  // That only the chosen file is held; then, with the image released, that the report of the
  // same folder agrees with the search and holds nothing.
  void ExpectReportAgrees(FirmwareSelection selection) {
    const std::string chosen = selection.image ? selection.info.fileName : std::string();
    EXPECT_EQ(LockedFiles(dir_.Path()),
              chosen.empty() ? std::vector<std::string>{} : std::vector<std::string>{chosen});
    selection.image.reset();
    const FolderReport report = ReportFirmwareFolder(dir_.Path(), device_);
    EXPECT_EQ(report.result, selection.result) << "the report disagrees with the search";
    if (chosen.empty()) {
      EXPECT_FALSE(report.chosen.has_value());
    } else {
      ASSERT_TRUE(report.chosen.has_value());
      EXPECT_EQ(report.entries[*report.chosen].name, chosen);
    }
    EXPECT_EQ(LockedFiles(dir_.Path()), std::vector<std::string>{}) << "held after the report";
  }

  TempDir dir_;
  firmware::TargetDevice device_ = Device(kSerial);
  platform::Pauses pauses_{0.01};
  std::vector<std::string> tried_;
};

TEST_F(SelectFirmwareTest, NoFileWithoutEntriesEndingInDotHex) {
  EXPECT_EQ(Select().result, FirmwareSearchResult::NoFile);
  Put("upper.HEX", Image(kSuitableCode));
  Put("notes.txt", Image(kSuitableCode));
  Put("hex", Image(kSuitableCode));
  Put("image.hex.bak", Image(kSuitableCode));
  FirmwareSelection selection = Select();
  EXPECT_EQ(selection.result, FirmwareSearchResult::NoFile)
      << "the suffix is matched case-sensitively";
  EXPECT_TRUE(tried_.empty());
  ExpectReportAgrees(std::move(selection));
}

TEST_F(SelectFirmwareTest, NoFileWhenTheDirectoryCannotBeSearched) {
  Put("a.hex", Image(kSuitableCode));
  for (const std::string& directory : {dir_.File("missing"), std::string(), dir_.File("a.hex")}) {
    SCOPED_TRACE(directory);
    const FirmwareSelection selection = Select(directory);
    EXPECT_EQ(selection.result, FirmwareSearchResult::NoFile);
    EXPECT_FALSE(selection.image);
    EXPECT_FALSE(ImageEntries(directory)) << "the listing must fail, not come back empty";
  }
  EXPECT_FALSE(Locked(dir_.File("a.hex")));
}

struct EntriesCase {
  const char* name;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> entries;  // in creation order
  FirmwareSearchResult result;
};

void PrintTo(const EntriesCase& c, std::ostream* os) { *os << c.name; }

class SelectEntriesTest : public SelectFirmwareTest,
                          public ::testing::WithParamInterface<EntriesCase> {};

// Only the last entry tried decides the failure, and entries are tried in byte order of names.
TEST_P(SelectEntriesTest, LastEntryTriedDecides) {
  for (const auto& [name, content] : GetParam().entries) Put(name, content);
  FirmwareSelection selection = Select();
  EXPECT_EQ(selection.result, GetParam().result);
  EXPECT_FALSE(selection.image);
  EXPECT_FALSE(selection.stopped);
  EXPECT_EQ(tried_.size(), GetParam().entries.size()) << "a failure tries every entry";
  EXPECT_TRUE(std::is_sorted(tried_.begin(), tried_.end()));
  ExpectReportAgrees(std::move(selection));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SelectEntriesTest,
    ::testing::Values(
        EntriesCase{"WrongMagic", {{"a.hex", kWrongMagic}}, FirmwareSearchResult::InvalidFile},
        EntriesCase{"Empty", {{"a.hex", {}}}, FirmwareSearchResult::InvalidFile},
        EntriesCase{"NoDescriptor", {{"a.hex", kMagicOnly}}, FirmwareSearchResult::TypeError},
        EntriesCase{
            "OtherTarget", {{"a.hex", Image(kOtherTargetCode)}}, FirmwareSearchResult::TargetError},
        EntriesCase{"OtherTargetThenWrongMagic",
                    {{"b.hex", kWrongMagic}, {"a.hex", Image(kOtherTargetCode)}},
                    FirmwareSearchResult::InvalidFile},
        EntriesCase{"WrongMagicThenOtherTarget",
                    {{"b.hex", Image(kOtherTargetCode)}, {"a.hex", kWrongMagic}},
                    FirmwareSearchResult::TargetError},
        EntriesCase{"OtherTargetThenNoDescriptor",
                    {{"a.hex", Image(kOtherTargetCode)}, {"b.hex", kMagicOnly}},
                    FirmwareSearchResult::TypeError},
        // Byte order puts upper case first and "10" before "9".
        EntriesCase{"UpperCaseNameFirst",
                    {{"a.hex", kWrongMagic}, {"B.hex", Image(kOtherTargetCode)}},
                    FirmwareSearchResult::InvalidFile},
        EntriesCase{"DigitsInByteOrder",
                    {{"9.hex", kMagicOnly}, {"10.hex", kWrongMagic}},
                    FirmwareSearchResult::TypeError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SelectFirmwareTest, FirstSuitableEntryIsReturnedLoadedAndLaterOnesAreNotTried) {
  const auto chosen = Image(kSuitableCode, 0x000B, 0x0203);
  Put("e.hex", Image(kSuitableCode, 0x0005, 0x0110));
  Put("d.hex", chosen);
  Put("c.hex", Image(kOtherTargetCode));
  Put("b.hex", kMagicOnly);
  Put("a.hex", kWrongMagic);

  FirmwareSelection selection = Select();
  ASSERT_EQ(selection.result, FirmwareSearchResult::Suitable);
  ASSERT_TRUE(selection.image);
  EXPECT_EQ(tried_, (std::vector<std::string>{"a.hex", "b.hex", "c.hex", "d.hex"}));
  EXPECT_EQ(selection.info.fileName, "d.hex");
  EXPECT_EQ(BytesOf(*selection.image), chosen) << "exactly the chosen image is returned";
  EXPECT_EQ(selection.image->FileVersionWord(), 0x0B0203u) << "the chosen image is scanned";
  EXPECT_STREQ(selection.image->ProductCode(), kSuitableCode);
  EXPECT_EQ(selection.info.fileVersion, "11.02.03");
  EXPECT_EQ(selection.info.deviceVersion, "5.01.16");
  EXPECT_EQ(selection.info.partNumber, "KAVSBL0123");
  EXPECT_EQ(selection.info.serialNumber, "4567-89-0ABCDE");
  ExpectReportAgrees(std::move(selection));
}

// A stop request ends the search before the next entry; nothing it judged stays held.
TEST_F(SelectFirmwareTest, StopRequestEndsTheSearchBeforeTheNextEntry) {
  constexpr std::size_t kEntries = 20;
  for (std::size_t i = 0; i + 1 < kEntries; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "e%02zu.hex", i);
    Put(name, kWrongMagic);
  }
  Put("z.hex", Image(kSuitableCode));

  for (const std::size_t stopAfter : {0u, 1u, 3u}) {
    SCOPED_TRACE(stopAfter);
    std::stop_source stop;
    if (stopAfter == 0) stop.request_stop();
    std::vector<std::string> seen;
    const FirmwareSelection selection =
        SelectFirmware(dir_.Path(), device_, pauses_, stop.get_token(), [&](const EntryVerdict& v) {
          seen.push_back(v.name);
          if (seen.size() == stopAfter) stop.request_stop();
        });
    EXPECT_TRUE(selection.stopped);
    EXPECT_EQ(seen.size(), stopAfter) << "entries were tried after the stop request";
    EXPECT_FALSE(selection.image);
    EXPECT_EQ(selection.result,
              stopAfter == 0 ? FirmwareSearchResult::NoFile : FirmwareSearchResult::InvalidFile);
    EXPECT_EQ(LockedFiles(dir_.Path()), std::vector<std::string>{});
  }
}

// Entries that are no regular files are not loadable; a FIFO must not hang the search in open.
TEST_F(SelectFirmwareTest, DirectoryOrFifoNamedLikeAnImageIsNotLoadable) {
  std::filesystem::create_directory(dir_.File("x.hex"));
  EXPECT_EQ(Select().result, FirmwareSearchResult::InvalidFile);
  ASSERT_EQ(::mkfifo(dir_.File("y.hex").c_str(), 0600), 0);
  EXPECT_EQ(Select().result, FirmwareSearchResult::InvalidFile);

  std::filesystem::create_directory(dir_.File("a.hex"));
  Put("b.hex", Image(kSuitableCode));
  const FirmwareSelection selection = Select();
  EXPECT_EQ(selection.result, FirmwareSearchResult::Suitable);
  EXPECT_EQ(selection.info.fileName, "b.hex");
}

TEST_F(SelectFirmwareTest, PathsMustFitFiveHundredTwelveCharacters) {
  Put("a.hex", Image(kSuitableCode));
  // "<directory>/a.hex" is the directory's length plus 6; the NUL needs one more.
  EXPECT_EQ(Select(PaddedDirectory(dir_.Path(), 505)).result, FirmwareSearchResult::Suitable);
  for (const std::size_t length : {506u, 511u}) {
    const FirmwareSelection selection = Select(PaddedDirectory(dir_.Path(), length));
    EXPECT_EQ(selection.result, FirmwareSearchResult::InvalidFile) << length;
    ASSERT_EQ(tried_.size(), 1u);
  }
  const JudgedEntry judged = JudgeEntry(PaddedDirectory(dir_.Path(), 506), "a.hex", &device_);
  ASSERT_TRUE(judged.verdict.loadError.has_value());
  EXPECT_EQ(judged.verdict.loadError->check, LoadError::Check::PathTooLong);
  EXPECT_EQ(Select(PaddedDirectory(dir_.Path(), 512)).result, FirmwareSearchResult::NoFile);
  EXPECT_FALSE(Locked(dir_.File("a.hex")));
}

TEST_F(SelectFirmwareTest, OverlongEntrySkippedInFavourOfALaterOne) {
  const std::string directory = PaddedDirectory(dir_.Path(), 480);
  Put(std::string(30, 'a') + ".hex", Image(kSuitableCode));  // 480 + 1 + 34 > 511
  Put("b.hex", Image(kSuitableCode));
  const FirmwareSelection selection = Select(directory);
  EXPECT_EQ(selection.result, FirmwareSearchResult::Suitable);
  EXPECT_EQ(selection.info.fileName, "b.hex");
}

TEST_F(SelectFirmwareTest, WorkedSerialNumberTexts) {
  device_ = Device("ABCDEF12345678901234XY", 0x000B0203);
  Put("a.hex", Image("ABCDEF0000343490900000"));  // A and B exactly at both bounds
  const FirmwareSelection selection = Select();
  ASSERT_EQ(selection.result, FirmwareSearchResult::Suitable);
  EXPECT_EQ(selection.info.partNumber, "ABCDEF1234");
  EXPECT_EQ(selection.info.serialNumber, "5678-90-1234XY");
  EXPECT_EQ(selection.info.fileVersion, "5.01.16");
  EXPECT_EQ(selection.info.deviceVersion, "11.02.03");
}

TEST_F(SelectFirmwareTest, SerialBytesAfterATerminatorStillCount) {
  device_ = Device("ABCDEF12345678901234XY");
  device_.serialString[12] = '\0';  // the texts end there, the numbers are still read
  Put("a.hex", Image("ABCDEF0000343490900000"));
  const FirmwareSelection selection = Select();
  ASSERT_EQ(selection.result, FirmwareSearchResult::Suitable);
  EXPECT_EQ(selection.info.partNumber, "ABCDEF1234");
  EXPECT_EQ(selection.info.serialNumber, "56");
}

struct CompatibilityCase {
  const char* name;
  std::string code;
  std::string serial;
  int value;
};

// Product code: prefix, "0000", A lower, A upper, B lower, B upper, "0000".
std::string Code(const char* prefix, const char* lowA, const char* highA, const char* lowB,
                 const char* highB) {
  return std::string(prefix) + "0000" + lowA + highA + lowB + highB + "0000";
}

// Serial: prefix, "01", A, "4567", B, "0ABCDE".
std::string Serial(const char* prefix, const char* a, const char* b) {
  return std::string(prefix) + "01" + a + "4567" + b + "0ABCDE";
}

void PrintTo(const CompatibilityCase& c, std::ostream* os) { *os << c.name; }

class CompatibilityTest : public ::testing::TestWithParam<CompatibilityCase> {};

TEST_P(CompatibilityTest, Value) {
  const CompatibilityCase& c = GetParam();
  ASSERT_EQ(c.code.size(), 22u);
  ASSERT_EQ(c.serial.size(), 22u);
  EXPECT_EQ(CompatibilityValue(c.code.c_str(), c.serial.c_str()), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CompatibilityTest,
    ::testing::Values(CompatibilityCase{"AllPass", Code("KAVSBL", "00", "99", "00", "99"),
                                        Serial("KAVSBL", "23", "89"), 7},
                      CompatibilityCase{"PrefixLetterCase", Code("kavsbl", "00", "99", "00", "99"),
                                        Serial("KAVSBL", "23", "89"), 3},
                      CompatibilityCase{"AAtLowerBound", Code("KAVSBL", "23", "50", "00", "99"),
                                        Serial("KAVSBL", "23", "89"), 7},
                      CompatibilityCase{"AAtUpperBound", Code("KAVSBL", "10", "23", "00", "99"),
                                        Serial("KAVSBL", "23", "89"), 7},
                      CompatibilityCase{"AAboveUpperBound", Code("KAVSBL", "10", "22", "00", "99"),
                                        Serial("KAVSBL", "23", "89"), 6},
                      CompatibilityCase{"ABelowLowerBound", Code("KAVSBL", "24", "99", "00", "99"),
                                        Serial("KAVSBL", "23", "89"), 6},
                      CompatibilityCase{"BAtBothBounds", Code("KAVSBL", "00", "99", "89", "89"),
                                        Serial("KAVSBL", "23", "89"), 7},
                      CompatibilityCase{"BAboveUpperBound", Code("KAVSBL", "00", "99", "00", "88"),
                                        Serial("KAVSBL", "23", "89"), 5},
                      CompatibilityCase{"ExtremeDigits", Code("KAVSBL", "00", "99", "00", "99"),
                                        Serial("KAVSBL", "00", "99"), 7},
                      CompatibilityCase{"LettersReadAsZero", Code("KAVSBL", "00", "99", "00", "00"),
                                        Serial("KAVSBL", "AB", "XY"), 7},
                      CompatibilityCase{"LettersFailAboveZero",
                                        Code("KAVSBL", "01", "99", "00", "99"),
                                        Serial("KAVSBL", "AB", "89"), 6},
                      CompatibilityCase{"LeadingSpace", Code("KAVSBL", "07", "07", "00", "99"),
                                        Serial("KAVSBL", " 7", "89"), 7},
                      CompatibilityCase{"DigitThenLetter", Code("KAVSBL", "07", "07", "00", "99"),
                                        Serial("KAVSBL", "7A", "89"), 7},
                      CompatibilityCase{"LetterThenDigit", Code("KAVSBL", "07", "07", "00", "99"),
                                        Serial("KAVSBL", "A7", "89"), 6},
                      CompatibilityCase{"NegativeNumbers", Code("KAVSBL", "-5", "-1", "00", "99"),
                                        Serial("KAVSBL", "-3", "89"), 7},
                      CompatibilityCase{"PlusSign", Code("KAVSBL", "+5", "05", "00", "99"),
                                        Serial("KAVSBL", "+5", "89"), 7},
                      CompatibilityCase{"WorkedSerialAtBounds", "ABCDEF0000343490900000",
                                        "ABCDEF12345678901234XY", 7},
                      CompatibilityCase{"WorkedSerialAJustBelow", "ABCDEF0000359990900000",
                                        "ABCDEF12345678901234XY", 6},
                      CompatibilityCase{"WorkedSerialBJustBelow", "ABCDEF0000343491990000",
                                        "ABCDEF12345678901234XY", 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CompatibilityValue, NullInputIsNeverSuitable) {
  EXPECT_EQ(CompatibilityValue(nullptr, kSerial), 0);
  EXPECT_EQ(CompatibilityValue(kSuitableCode, nullptr), 0);
  EXPECT_EQ(CheckCompatibility(nullptr, kSerial).Text(), "no product code or serial");
}

TEST(VersionText, BytesAsDecimalWithTwoDigitMinimum) {
  EXPECT_EQ(VersionText(0x000B0203), "11.02.03");
  EXPECT_EQ(VersionText(0x00050110), "5.01.16");
  EXPECT_EQ(VersionText(0x00000000), "0.00.00");
  EXPECT_EQ(VersionText(0x00FFFFFF), "255.255.255");
  EXPECT_EQ(VersionText(0xAB0B0203), "11.02.03") << "bits 24..31 are not shown";
}

}  // namespace
}  // namespace kavori::firmware
