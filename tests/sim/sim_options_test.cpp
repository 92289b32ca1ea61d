#include "sim/sim_options.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace kavori::sim {
namespace {

TEST(SimOptionsTest, EmptyTextGivesTheDefaultKavori) {
  std::string error = "stale";
  const auto options = ParseSimOptions("", error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(options->productId, 0x0005);
  EXPECT_EQ(options->release, 0x0103);
  EXPECT_EQ(options->product, "Kavori");
  EXPECT_EQ(options->serial, "KAVSBL01234567890ABCDE");
  EXPECT_EQ(options->devices, 1u);
  EXPECT_FALSE(options->lockHeld);
  EXPECT_FALSE(options->listUnreadable);
  ASSERT_TRUE(options->replugDelay);
  EXPECT_EQ(options->replugInto, ReplugTarget::Loader);
  EXPECT_EQ(options->latency.count(), 0);
  EXPECT_TRUE(options->faults.empty());
}

struct GoodCase {
  std::string text;
  std::function<bool(const SimOptions&)> holds;
  std::string what;
};

TEST(SimOptionsTest, EveryKeyTakesItsValues) {
  using std::chrono::microseconds;
  using std::chrono::milliseconds;
  const std::string serial126(126, 'S');
  const GoodCase cases[] = {
      {"pid=0x810A", [](auto& o) { return o.productId == 0x810A; }, "hex pid"},
      {"pid=0X000b", [](auto& o) { return o.productId == 0x000B; }, "upper-case 0X"},
      {"pid=65535", [](auto& o) { return o.productId == 0xFFFF; }, "largest decimal pid"},
      {"release=0x0102", [](auto& o) { return o.release == 0x0102; }, "release"},
      {"release=0", [](auto& o) { return o.release == 0; }, "release zero"},
      {"serial=ABCDEF12345678901234XY",
       [](auto& o) { return o.serial == "ABCDEF12345678901234XY"; }, "serial"},
      {"serial=", [](auto& o) { return o.serial.empty(); }, "empty serial"},
      {"serial=" + serial126, [&](auto& o) { return o.serial == serial126; }, "126 characters"},
      {"product=Kavori \xC3\xA9", [](auto& o) { return o.product == "Kavori \xC3\xA9"; },
       "UTF-8 product"},
      {"devices=0", [](auto& o) { return o.devices == 0u; }, "no device"},
      {"devices=16", [](auto& o) { return o.devices == 16u; }, "most devices"},
      {"lock=held", [](auto& o) { return o.lockHeld; }, "lock held"},
      {"lock=free", [](auto& o) { return !o.lockHeld; }, "lock free"},
      {"held-by=4242:softphone",
       [](auto& o) {
         return o.heldBy && o.heldBy->first == 4242 && o.heldBy->second == "softphone";
       },
       "node held by another process"},
      {"list=unreadable", [](auto& o) { return o.listUnreadable; }, "list unreadable"},
      {"replug=20", [](auto& o) { return o.replugDelay == milliseconds(20); }, "replug ms"},
      {"replug=never", [](auto& o) { return !o.replugDelay; }, "replug never"},
      {"replug-into=normal", [](auto& o) { return o.replugInto == ReplugTarget::Normal; },
       "replug into normal"},
      {"replug-into=loader", [](auto& o) { return o.replugInto == ReplugTarget::Loader; },
       "replug into loader"},
      {"restart=0", [](auto& o) { return o.restartDelay == milliseconds(0); }, "restart"},
      {"latency-us=0x10", [](auto& o) { return o.latency == microseconds(16); }, "latency"},
      {"nak=enter",
       [](auto& o) {
         return o.faults.size() == 1 && o.faults[0].kind == FaultKind::Nak &&
                o.faults[0].command == SimCommand::Enter && !o.faults[0].offset;
       },
       "nak at a command"},
      {"silent=data@0x1F8",
       [](auto& o) {
         return o.faults.size() == 1 && o.faults[0].kind == FaultKind::Silent &&
                o.faults[0].command == SimCommand::Data && o.faults[0].offset == 0x1F8u;
       },
       "silent at a hex offset"},
      {"unplug=data@70000",
       [](auto& o) {
         return o.faults.size() == 1 && o.faults[0].kind == FaultKind::Unplug &&
                o.faults[0].offset == 70000u;
       },
       "unplug at a decimal offset"},
      {"pid=0x810B,release=0x0102,devices=2,latency-us=5",
       [](auto& o) {
         return o.productId == 0x810B && o.release == 0x0102 && o.devices == 2u &&
                o.latency == microseconds(5);
       },
       "several keys"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto options = ParseSimOptions(c.text, error);
    ASSERT_TRUE(options) << c.what << ": \"" << c.text << "\" was refused: " << error;
    EXPECT_TRUE(c.holds(*options)) << c.what << ": \"" << c.text << "\" parsed wrongly";
  }
}

TEST(SimOptionsTest, FaultKeysAccumulateInOrder) {
  std::string error;
  const auto options =
      ParseSimOptions("nak=data@56,silent=burn,unplug=restart,nak=prepare,silent=verify", error);
  ASSERT_TRUE(options) << error;
  ASSERT_EQ(options->faults.size(), 5u);
  EXPECT_EQ(options->faults[0].command, SimCommand::Data);
  EXPECT_EQ(options->faults[1].kind, FaultKind::Silent);
  EXPECT_EQ(options->faults[1].command, SimCommand::Burn);
  EXPECT_EQ(options->faults[2].kind, FaultKind::Unplug);
  EXPECT_EQ(options->faults[2].command, SimCommand::Restart);
  EXPECT_EQ(options->faults[3].command, SimCommand::Prepare);
  EXPECT_EQ(options->faults[4].command, SimCommand::Verify);
}

struct BadCase {
  std::string text;
  std::string named;  // what the error message must name
};

TEST(SimOptionsTest, BadInputIsRefusedWithAnErrorNamingTheKey) {
  const BadCase cases[] = {
      {"colour=red", "\"colour\""},
      {"pid", "\"pid\""},
      {"pid=", "\"pid\""},
      {"pid=0x10000", "\"pid\""},
      {"pid=-1", "\"pid\""},
      {"pid=+5", "\"pid\""},
      {"pid= 5", "\"pid\""},
      {"pid=0x", "\"pid\""},
      {"pid=12ab", "\"pid\""},
      {"pid=99999999999999999999999", "\"pid\""},
      {"release=65536", "\"release\""},
      {"devices=17", "\"devices\""},
      {"devices=two", "\"devices\""},
      {"serial=" + std::string(127, 'S'), "\"serial\""},
      // 125 characters plus one that needs two UTF-16 units.
      {"serial=" + std::string(125, 'S') + "\xF0\x9F\x98\x80", "\"serial\""},
      {"product=\xFF", "\"product\""},
      {"product=\xC0\xAF", "\"product\""},
      {"lock=maybe", "\"lock\""},
      {"held-by=softphone", "\"held-by\""},
      {"held-by=0:softphone", "\"held-by\""},
      {"held-by=4242:", "\"held-by\""},
      {"held-by=4194305:softphone", "\"held-by\""},
      {"held-by=4242:a-name-of-16-char", "\"held-by\""},
      {"list=missing", "\"list\""},
      {"replug=soon", "\"replug\""},
      {"replug=600001", "\"replug\""},
      {"replug-into=sideways", "\"replug-into\""},
      {"restart=never", "\"restart\""},
      {"latency-us=600000001", "\"latency-us\""},
      {"nak=flash", "\"nak\""},
      {"nak=", "\"nak\""},
      {"silent=burn@0", "\"silent\""},
      {"unplug=data@", "\"unplug\""},
      {"unplug=data@0x1G", "\"unplug\""},
      {"nak=data@0x100000000", "\"nak\""},
      {"nak=data@29961", "no block start"},
      {"series=0", "\"series\""},
      {"series=17", "\"series\""},
      {"series=2,devices=2", "exclude each other"},
      {"arrive=soon", "\"arrive\""},
      {"pid=5,pid=6", "\"pid\""},
      {"pid=5,,release=1", "empty item"},
      {",", "empty item"},
      {"pid=5,", "empty item"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto options = ParseSimOptions(c.text, error);
    EXPECT_FALSE(options) << "\"" << c.text << "\" was accepted";
    EXPECT_NE(error.find(c.named), std::string::npos)
        << "the error for \"" << c.text << "\" does not name " << c.named << ": " << error;
  }
}

}  // namespace
}  // namespace kavori::sim
