#include "frontend/text.hpp"

#include <gtest/gtest.h>

namespace kavori::frontend {
namespace {

TEST(Text, DecodesUtf8AndFallsBackToLatin1) {
  EXPECT_EQ(DecodeText("Kavori \xC3\xA9"), QString::fromUtf8("Kavori \xC3\xA9"));
  // A product string narrowed byte by byte: 0xE9 alone is no UTF-8.
  EXPECT_EQ(DecodeText("Kavori \xE9"), QString::fromUtf8("Kavori \xC3\xA9"));
}

}  // namespace
}  // namespace kavori::frontend
