#include "frontend/diagnostics.hpp"

#include <gtest/gtest.h>

namespace kavori::frontend {
namespace {

// The hint is for a Kavori this user may not open, and for nothing else: a keyboard that is
// root's only, or a Kavori that failed for another reason, must not send users to udev.
TEST(DiagnosticLines, HintOnlyForAKavoriThisUserMayNotOpen) {
  const struct {
    const char* name;
    platform::Diagnostic cause;
    bool hint;
  } cases[] = {
      {"kavori denied", {"open /dev/hidraw3: Permission denied", true, 0x0BEF}, true},
      {"other vendor denied", {"open /dev/hidraw0: Permission denied", true, 0x046D}, false},
      {"vendor unknown", {"open /dev/hidraw1: Permission denied", true, std::nullopt}, false},
      {"kavori gone", {"open /dev/hidraw3: No such file or directory", false, 0x0BEF}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> lines = DiagnosticLines({c.cause});
    ASSERT_EQ(lines.size(), c.hint ? 2u : 1u);
    EXPECT_EQ(lines.front(), c.cause.text);
    if (c.hint) {
      EXPECT_NE(lines.back().find(UdevRulePath()), std::string::npos) << lines.back();
      EXPECT_NE(lines.back().find("udevadm control --reload-rules"), std::string::npos);
    }
  }
}

// The window shows below its page only what the wizard's texts cannot tell, in the words
// of the terminal's lines.
TEST(WindowCauseLines, OnlyTheLinuxOnlyCausesWithTheirWayOut) {
  const platform::Diagnostic denied{"open /dev/hidraw3: Permission denied", true, 0x0BEF};
  const platform::Diagnostic held{
      "/dev/hidraw3: vendor 0x0BEF product 0x0005 is held open by another application, process "
      "4242 (softphone)",
      false, 0x0BEF, true};
  const platform::Diagnostic foreign{"/dev/hidraw0: vendor 0x046D product 0xC31C is not a Kavori",
                                     false, 0x046D};
  const platform::Diagnostic otherDenied{"open /dev/hidraw0: Permission denied", true, 0x046D};
  const platform::Diagnostic lock{"the in-use lock is held by another application of the device",
                                  false, std::nullopt};

  EXPECT_TRUE(WindowCauseLines({foreign, otherDenied, lock}).empty());
  EXPECT_EQ(WindowCauseLines({foreign, held}), std::vector<std::string>{held.text});
  const std::vector<std::string> deniedLines = WindowCauseLines({foreign, denied});
  EXPECT_EQ(deniedLines, (std::vector<std::string>{denied.text, *PermissionHint({denied})}));
  // The same words as the terminal's.
  const std::vector<std::string> terminal = DiagnosticLines({foreign, denied});
  EXPECT_EQ(deniedLines.back(), terminal.back());
}

}  // namespace
}  // namespace kavori::frontend
