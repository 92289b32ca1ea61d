#include "platform/linux/hidapi_backend.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace kavori::platform::host {
namespace {

// hidapi 0.13.1 crashes when it opens a node that is no hidraw node; the backend must refuse
// such paths itself. A FIFO must not hang the open either.
TEST(HidapiBackendTest, RefusesPathsThatAreNoHidrawNode) {
  const std::string fifo = ::testing::TempDir() + "kavori-hid-fifo-" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string file = ::testing::TempDir() + "kavori-hid-file-" + std::to_string(::getpid());
  FILE* created = std::fopen(file.c_str(), "w");
  ASSERT_NE(created, nullptr) << file;
  std::fclose(created);

  HidapiBackend backend;
  for (const std::string& path :
       {std::string("/dev/null"), std::string("/dev/zero"), file, fifo, ::testing::TempDir(),
        std::string("/dev/hidraw-kavori-test-missing"), std::string()}) {
    EXPECT_EQ(backend.Open(path), nullptr) << path;
  }
  ::unlink(fifo.c_str());
  ::unlink(file.c_str());
}

}  // namespace
}  // namespace kavori::platform::host
