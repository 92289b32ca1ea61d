// The --diagnose report against the simulated Kavori and scratch folders: each refusal of the
// wizard has a line that names its cause.
#include "frontend/diagnose.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QProcess>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>

#include "device/sim_fixture.hpp"
#include "firmware/image_builder.hpp"
#include "platform/file.hpp"
#include "platform/linux/socket_lock.hpp"

namespace kavori::frontend {
namespace {

// A product code for the simulated serial "KAVSBL01234567890ABCDE" (number A 23, number B 89)
// with `prefix` and the two ranges.
std::string Code(const char* prefix, const char* rangeA, const char* rangeB) {
  return std::string(prefix) + "0000" + rangeA + rangeB + "0000";
}

class DiagnoseTest : public testing::SimFixture {
 protected:
  void Put(const std::string& name, const std::string& code) {
    ASSERT_TRUE(firmware::ImageBuilder()
                    .Magic()
                    .DeviceDescriptorAt(16, 0x0005, 0x0110)
                    .StringDescriptorAt(96, code)
                    .Size(400)
                    .WriteTo(dir_.File(name)));
  }

  const firmware::EntryVerdict& File(const DiagnoseReport& report, const std::string& name) {
    for (const firmware::EntryVerdict& file : report.files)
      if (file.name == name) return file;
    ADD_FAILURE() << "no entry " << name;
    return report.files.front();
  }

  // Whether every file of the folder can be opened for loading: no image of the report is alive.
  bool NoFileHeld() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
      if (!platform::ExclusiveFile::Open(entry.path().string())) return false;
    }
    return true;
  }

  testing::ScratchDir dir_;
};

TEST_F(DiagnoseTest, EveryFileGetsItsReasonAndTheFirstSuitableIsChosen) {
  MakeWorld("");
  ASSERT_TRUE(
      firmware::ImageBuilder().BytesAt(0, {0x07, 0xAA}).Size(64).WriteTo(dir_.File("a.hex")));
  ASSERT_TRUE(firmware::ImageBuilder().Magic().Size(64).WriteTo(dir_.File("b.hex")));
  Put("c.hex", Code("KAVSBX", "0099", "0099"));
  Put("d.hex", Code("KAVSBL", "3099", "0099"));
  Put("e.hex", Code("KAVSBL", "0099", "0088"));
  Put("f.hex", Code("KAVSBL", "0099", "0099"));
  Put("g.hex", Code("KAVSBL", "0099", "0099"));

  const DiagnoseReport report = Diagnose(Link(), dir_.Path());
  EXPECT_EQ(report.outcome, DiagnoseOutcome::Ready);
  EXPECT_EQ(report.verdict, "the wizard reaches its information page with f.hex");
  EXPECT_EQ(File(report, "a.hex").Text(), "not loadable: magic 07 AA, not 08 AA");
  EXPECT_EQ(File(report, "b.hex").Text(),
            "no Kavori product id with a product code after it in the image");
  EXPECT_EQ(File(report, "c.hex").Text(),
            "product code rejected at position 5: file has 0x58, serial 0x4C");
  EXPECT_EQ(File(report, "d.hex").Text(),
            "serial out of range: number A (serial 8-9) is 23, the file takes 30 to 99");
  EXPECT_EQ(File(report, "e.hex").Text(),
            "serial out of range: number B (serial 14-15) is 89, the file takes 0 to 88");
  ASSERT_TRUE(report.chosen.has_value());
  EXPECT_EQ(report.files[*report.chosen].name, "f.hex")
      << "only the first suitable file is the wizard's";
  EXPECT_EQ(File(report, "g.hex").Text(), "suitable");
  EXPECT_TRUE(NoFileHeld()) << "the report left an image loaded";
  EXPECT_FALSE(Link().IsDeviceLinkOpen()) << "the report left the link open";
}

TEST_F(DiagnoseTest, EachRefusalNamesItsCause) {
  const struct {
    const char* options;
    DiagnoseOutcome outcome;
    const char* verdict;
  } cases[] = {
      {"devices=2", DiagnoseOutcome::DeviceCount,
       "the wizard stops at start: more than one Kavori is connected"},
      {"devices=0", DiagnoseOutcome::DeviceCount,
       "the wizard stops at start: no Kavori is connected"},
      {"lock=held", DiagnoseOutcome::DeviceSearch,
       "the device search stops: Kavori Device is in use by other application."},
      {"held-by=4242:softphone", DiagnoseOutcome::DeviceSearch,
       "the device search stops: Kavori Device is in use by other application."},
      {"pid=0x0006", DiagnoseOutcome::DeviceSearch,
       "the device search stops: Kavori Device was NOT found."},
      {"", DiagnoseOutcome::FirmwareSearch, "the firmware search stops: Firmware file not found !"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    MakeWorld(c.options);
    const DiagnoseReport report = Diagnose(Link(), dir_.Path());
    EXPECT_EQ(report.outcome, c.outcome);
    EXPECT_EQ(report.verdict, c.verdict);
  }
}

TEST_F(DiagnoseTest, LoaderModeDeviceAndTwoDevicesAreListed) {
  MakeWorld("pid=0x8105,devices=2");
  const DiagnoseReport report = Diagnose(Link(), dir_.Path());
  ASSERT_EQ(report.nodes.size(), 2u);
  EXPECT_EQ(report.nodes[0].mode, "loader");
  EXPECT_EQ(report.nodes[0].inputLength, 65);
  EXPECT_EQ(report.count, 2u);
  EXPECT_EQ(report.instances.size(), 2u);
}

// The application that holds the node open is named with the node and the search.
TEST_F(DiagnoseTest, TheNodesHolderIsNamed) {
  MakeWorld("held-by=4242:softphone");
  const DiagnoseReport report = Diagnose(Link(), dir_.Path());
  ASSERT_EQ(report.searchCauses.size(), 1u);
  EXPECT_TRUE(report.searchCauses[0].heldOpenByOther);
  const std::string text = DiagnoseText(report);
  EXPECT_NE(text.find("    note: held open by another application, process 4242 (softphone)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Device search: Kavori Device is in use by other application.\n  because "),
            std::string::npos)
      << text;
  const QJsonObject json = DiagnoseJson(report);
  EXPECT_TRUE(json["device_search"]["causes"][0].toString().endsWith(
      "held open by another application, process 4242 (softphone)"));
}

// Support asks who holds the device: the process is named.
TEST_F(DiagnoseTest, TheLockHoldersProcessIsNamed) {
  MakeWorld("");
  const std::string name =
      "kavori-diagnose-test-" + std::to_string(QCoreApplication::applicationPid());
  QProcess holder;
  holder.start(QStringLiteral(KAVORI_LOCK_HOLDER), {QString::fromStdString(name)});
  ASSERT_TRUE(holder.waitForReadyRead(10000));
  ASSERT_EQ(holder.readLine(), "Acquired\n");
  platform::host::AbstractSocketLock probe(name);
  platform::Platform services = services_;
  services.lock = &probe;
  device::DeviceLink link(services);
  const DiagnoseReport report = Diagnose(link, dir_.Path());
  EXPECT_EQ(report.lock, DiagnoseReport::LockState::Held);
  ASSERT_TRUE(report.holder.has_value());
  EXPECT_EQ(report.holder->pid, holder.processId());
  holder.kill();
  holder.waitForFinished();
}

// Names and product codes come from whoever made the files: in the text, none of them may move
// the cursor or start a line of its own; the JSON keeps them exact.
TEST_F(DiagnoseTest, HostileNamesAndCodesStayOnTheirLine) {
  MakeWorld("");
  const std::string name = "x\nVerdict: forged\x1B]0;t\x07.hex";
  Put(name, Code("\x1B[2JKA", "0099", "0099"));
  const DiagnoseReport report = Diagnose(Link(), dir_.Path());
  const std::string text = DiagnoseText(report);
  EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
  EXPECT_EQ(text.find("\nVerdict: forged"), std::string::npos) << text;
  EXPECT_NE(text.find("x?Verdict: forged?]0;t?.hex"), std::string::npos) << text;
  EXPECT_NE(text.find("code ?[2JKA"), std::string::npos) << text;
  const QJsonObject file = DiagnoseJson(report)["files"].toArray().first().toObject();
  EXPECT_EQ(file["name"].toString().toStdString(), name);
}

TEST_F(DiagnoseTest, AFolderThatCannotBeListedSaysWhy) {
  MakeWorld("");
  const DiagnoseReport report = Diagnose(Link(), dir_.Path() + "/missing");
  EXPECT_NE(DiagnoseText(report).find("cannot be listed: No such file or directory"),
            std::string::npos)
      << DiagnoseText(report);
  EXPECT_EQ(DiagnoseJson(report)["list_error"].toString(), "No such file or directory");
}

TEST_F(DiagnoseTest, JsonDocumentHasItsDocumentedShape) {
  MakeWorld("");
  Put("f.hex", Code("KAVSBL", "0099", "0099"));
  const QJsonObject document = DiagnoseJson(Diagnose(Link(), dir_.Path()));
  EXPECT_EQ(document.keys(), (QStringList{"access", "count", "device_search", "directory", "files",
                                          "hints", "lock", "nodes", "verdict", "version"}));
  EXPECT_EQ(document["access"].toObject().keys(),
            (QStringList{"groups", "rule_installed", "seat_session", "udev_rule"}));
  const QJsonObject node = document["nodes"].toArray().first().toObject();
  EXPECT_EQ(node.keys(),
            (QStringList{"causes", "input_length", "mode", "opened", "output_length", "path",
                         "product", "product_id", "release", "serial", "vendor_id"}));
  const QJsonObject file = document["files"].toArray().first().toObject();
  EXPECT_EQ(file.keys(), (QStringList{"chosen", "file_version", "name", "product_code", "size",
                                      "suitable", "valid", "verdict"}));
  EXPECT_EQ(document["lock"].toObject()["state"].toString(), "free");
  EXPECT_EQ(document["device_search"].toObject()["mode"].toString(), "normal");
}

}  // namespace
}  // namespace kavori::frontend
