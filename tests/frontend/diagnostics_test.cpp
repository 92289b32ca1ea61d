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

}  // namespace
}  // namespace kavori::frontend
