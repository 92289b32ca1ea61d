// The hidraw tests need umockdev's preload library in the process from its first instruction on.
// When it is not there, the binary starts itself again with LD_PRELOAD set, so that the tests run
// the same from ctest, by hand or under a debugger. A sanitizer runtime that the binary loads must
// stay first in the list of loaded libraries (AddressSanitizer refuses to start otherwise), so it
// goes in front of the preload library.
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hidraw/mock_hidraw.hpp"

namespace {

constexpr char kRestartedMark[] = "KAVORI_HIDRAW_TESTS_RESTARTED";

int CollectSanitizerRuntimes(dl_phdr_info* info, std::size_t, void* out) {
  static constexpr const char* kRuntimes[] = {"/libasan.so", "/libhwasan.so", "/libtsan.so",
                                              "/liblsan.so", "/libubsan.so"};
  for (const char* runtime : kRuntimes) {
    if (std::strstr(info->dlpi_name, runtime) != nullptr) {
      static_cast<std::vector<std::string>*>(out)->emplace_back(info->dlpi_name);
    }
  }
  return 0;
}

// Starts this binary again with the preload library; returns only when that fails.
void RestartWithPreload(char** argv) {
  std::vector<std::string> preload;
  dl_iterate_phdr(CollectSanitizerRuntimes, &preload);
  preload.emplace_back(KAVORI_UMOCKDEV_PRELOAD);
  if (const char* earlier = std::getenv("LD_PRELOAD"); earlier != nullptr && *earlier != '\0') {
    preload.emplace_back(earlier);
  }
  std::string list;
  for (const std::string& entry : preload) list += (list.empty() ? "" : ":") + entry;
  ::setenv("LD_PRELOAD", list.c_str(), 1);
  // GLib's slice allocator hands memory between threads in ways sanitizers cannot follow.
  ::setenv("G_SLICE", "always-malloc", 1);
  ::setenv(kRestartedMark, "1", 1);
  ::execv("/proc/self/exe", argv);
  std::perror("kavori_hidraw_tests: restart with the umockdev preload library");
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// The mock's libraries are not instrumented, and GLib hands objects and work between threads with
// atomics and futexes that ThreadSanitizer cannot see; umockdev's preload library also maps
// descriptors to paths in unguarded static buffers. Races with a frame in those libraries, or on
// umockdev's worker thread (created inside GLib), are therefore not reported. That thread runs
// only the mock device; the threads of the code under test stay checked, except for accesses
// that the preload library itself makes on their behalf.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so.0\n"
         "race:libgobject-2.0.so.0\n"
         "race:libgio-2.0.so.0\n"
         "race:libumockdev.so.0\n"
         "race:libumockdev-preload.so.0\n";
}
#endif

int main(int argc, char** argv) {
  if (!kavori::testing::UmockdevPreloadActive() && std::getenv(kRestartedMark) == nullptr) {
    RestartWithPreload(argv);
  }
  // The mocked nodes are PTYs: should one become this process's controlling terminal, closing its
  // master on unplug would hang up the process.
  std::signal(SIGHUP, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
