// Firmware folders that a careless or hostile user could hand the search: entries that are no
// image, cannot be opened, hang an open, are held by another process, change while read, or come
// by the ten thousand. The search must end, report the right page, and hold nothing it rejected.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "firmware/firmware_selection.hpp"
#include "firmware/image_builder.hpp"
#include "platform/pause.hpp"
#include "test_support.hpp"

namespace kavori::firmware {
namespace {

using test::BytesOf;
using test::TempDir;
using test::WriteFile;

constexpr const char* kSerial = "KAVSBL01234567890ABCDE";
constexpr const char* kOtherTargetCode = "OTHERX0000009900990000";

std::vector<std::uint8_t> Image(std::string_view code, std::size_t size = 0x180) {
  return ImageBuilder()
      .Magic()
      .DeviceDescriptorAt(0x20, kDemoProductId, kDemoBcdDevice)
      .StringDescriptorAt(0x80, code)
      .Size(size)
      .Build();
}

TargetDevice Device() {
  TargetDevice device;
  device.versionWord = 0x00050110;
  std::memcpy(device.serialString.data(), kSerial, std::strlen(kSerial));
  return device;
}

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

// Makes the hostile entry at `path`; false (with `why`) when this system cannot make it.
using Maker = bool (*)(const std::string& path, std::string& why);

struct HostileEntry {
  const char* name;
  Maker make;
};

void PrintTo(const HostileEntry& entry, std::ostream* os) { *os << entry.name; }

bool Bytes(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& why) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  why = "cannot write " + path;
  return out.good();
}

bool SystemCall(bool ok, const char* what, std::string& why) {
  if (!ok) why = std::string(what) + ": " + std::strerror(errno);
  return ok;
}

const HostileEntry kHostileEntries[] = {
    {"Empty", [](const std::string& p, std::string& why) { return Bytes(p, {}, why); }},
    {"OneByte", [](const std::string& p, std::string& why) { return Bytes(p, {0x08}, why); }},
    {"WrongMagic",
     [](const std::string& p, std::string& why) {
       return Bytes(p, {0xAA, 0x08, 0x12, 0x00}, why);
     }},
    {"Directory",
     [](const std::string& p, std::string& why) {
       return SystemCall(::mkdir(p.c_str(), 0700) == 0, "mkdir", why);
     }},
    // An open that waited for a writer would hang the search here.
    {"Fifo",
     [](const std::string& p, std::string& why) {
       return SystemCall(::mkfifo(p.c_str(), 0600) == 0, "mkfifo", why);
     }},
    {"Socket",
     [](const std::string& p, std::string& why) {
       sockaddr_un address{};
       address.sun_family = AF_UNIX;
       if (p.size() >= sizeof address.sun_path) {
         why = "path too long for a socket: " + p;
         return false;
       }
       std::memcpy(address.sun_path, p.c_str(), p.size() + 1);
       const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
       const bool bound =
           fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
       if (fd >= 0) ::close(fd);  // the socket file stays behind, as after a crashed server
       return SystemCall(bound, "bind", why);
     }},
    {"DanglingSymlink",
     [](const std::string& p, std::string& why) {
       return SystemCall(::symlink("no-such-target.hex", p.c_str()) == 0, "symlink", why);
     }},
    {"SymlinkLoop",
     [](const std::string& p, std::string& why) {
       const std::string name = std::filesystem::path(p).filename().string();
       return SystemCall(::symlink(name.c_str(), p.c_str()) == 0, "symlink", why);
     }},
    // Reading it would never end.
    {"SymlinkToEndlessDevice",
     [](const std::string& p, std::string& why) {
       return SystemCall(::symlink("/dev/zero", p.c_str()) == 0, "symlink", why);
     }},
    // Larger than any image may be; a 32-bit size would wrap to a small image that is not the file.
    {"LargerThan4GiB",
     [](const std::string& p, std::string& why) {
       if (!Bytes(p, Image(kDemoProductCode), why)) return false;
       std::error_code error;
       std::filesystem::resize_file(p, (std::uint64_t{1} << 32) + 0x180, error);
       why = "no sparse file of 4 GiB here: " + error.message();
       return !error;
     }},
};

// The search with the product's pauses shortened a hundredfold.
class HostileFolderTest : public ::testing::Test {
 protected:
  FirmwareSelection Select() { return SelectFirmware(dir_.Path(), device_, pauses_); }

  TempDir dir_;
  TargetDevice device_ = Device();
  platform::Pauses pauses_{0.01};
};

class HostileEntryTest : public HostileFolderTest,
                         public ::testing::WithParamInterface<HostileEntry> {
 protected:
  void MakeHostile(const std::string& name) {
    std::string why;
    if (!GetParam().make(dir_.File(name), why)) GTEST_SKIP() << why;
  }
};

// Entries are tried in byte order of names and the last one tried decides among failures.
TEST_P(HostileEntryTest, IsAnInvalidFileThatNeitherStopsNorHangsTheSearch) {
  const std::size_t descriptors = OpenDescriptors();

  MakeHostile("m.hex");
  if (IsSkipped()) return;
  {
    const FirmwareSelection alone = Select();
    EXPECT_EQ(alone.result, FirmwareSearchResult::InvalidFile) << "alone";
    EXPECT_FALSE(alone.image);
  }
  WriteFile(dir_.File("a.hex"), Image(kOtherTargetCode));
  EXPECT_EQ(Select().result, FirmwareSearchResult::InvalidFile) << "tried after a wrong target";

  WriteFile(dir_.File("z.hex"), Image(kDemoProductCode));
  {
    const FirmwareSelection selection = Select();
    EXPECT_EQ(selection.result, FirmwareSearchResult::Suitable) << "tried before a suitable file";
    EXPECT_EQ(selection.info.fileName, "z.hex");
    ASSERT_TRUE(selection.image);
    EXPECT_EQ(BytesOf(*selection.image), Image(kDemoProductCode));
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
    std::filesystem::remove_all(entry.path());
  EXPECT_EQ(OpenDescriptors(), descriptors) << "a rejected entry was left open";
}

INSTANTIATE_TEST_SUITE_P(Entries, HostileEntryTest, ::testing::ValuesIn(kHostileEntries),
                         [](const auto& info) { return std::string(info.param.name); });

// Another process that holds the image file locked: opened with flock in a child of this test.
class ChildLock {
 public:
  explicit ChildLock(const std::string& path) {
    int ready[2];
    int hold[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    if (::pipe2(hold, O_CLOEXEC) != 0) {
      ::close(ready[0]);
      ::close(ready[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls in the child. Its copy of the write end would keep its own
      // read from ever seeing the end of the pipe.
      ::close(hold[1]);
      ::close(ready[0]);
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      const char report = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'L' : 'F';
      if (::write(ready[1], &report, 1) != 1) ::_exit(1);
      char byte = 0;
      while (::read(hold[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    holdFd_ = hold[1];
    char report = 0;
    locked_ = pid_ > 0 && ::read(ready[0], &report, 1) == 1 && report == 'L';
    ::close(ready[0]);
  }
  ~ChildLock() { Release(); }
  ChildLock(const ChildLock&) = delete;
  ChildLock& operator=(const ChildLock&) = delete;

  bool Locked() const { return locked_; }

  // Ends the child; its lock goes with it.
  void Release() {
    if (holdFd_ >= 0) ::close(holdFd_);
    holdFd_ = -1;
    if (pid_ <= 0) return;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int holdFd_ = -1;
  bool locked_ = false;
};

TEST_F(HostileFolderTest, ImageLockedByAnotherProcessIsInvalidUntilReleased) {
  WriteFile(dir_.File("a.hex"), Image(kDemoProductCode));
  ChildLock other(dir_.File("a.hex"));
  ASSERT_TRUE(other.Locked()) << "the child could not lock the file";
  const FirmwareSelection refused = Select();
  EXPECT_EQ(refused.result, FirmwareSearchResult::InvalidFile);
  EXPECT_FALSE(refused.image);
  other.Release();
  EXPECT_EQ(Select().result, FirmwareSearchResult::Suitable);
}

// The image is read whole while the file is locked; what happens to the file afterwards (the
// lock is advisory) must not reach the download, which sends the loaded bytes.
TEST_F(HostileFolderTest, FileTruncatedAfterLoadKeepsTheLoadedImage) {
  const auto image = Image(kDemoProductCode, 4096);
  WriteFile(dir_.File("a.hex"), image);
  const FirmwareSelection selection = Select();
  ASSERT_TRUE(selection.image);
  std::filesystem::resize_file(dir_.File("a.hex"), 0);
  EXPECT_EQ(selection.image->Size(), image.size());
  EXPECT_EQ(BytesOf(*selection.image), image);
}

// How another program, which ignores the lock, changes the image file under a load: `fd` is open
// for writing, `other` is what the file becomes. Rewrites go in slices with pauses between, so
// that they overlap the load's read.
struct ChangeCase {
  const char* name;
  void (*change)(int fd, const std::vector<std::uint8_t>& other);
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

void RewriteInSlices(int fd, const std::vector<std::uint8_t>& bytes) {
  constexpr std::size_t kSlice = std::size_t{1} << 20;
  for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
    const std::size_t n = std::min(kSlice, bytes.size() - at);
    if (::pwrite(fd, bytes.data() + at, n, static_cast<off_t>(at)) != static_cast<ssize_t>(n))
      return;
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
}

const ChangeCase kChanges[] = {
    {"Shrinks",
     [](int fd, const std::vector<std::uint8_t>& other) {
       (void)!::ftruncate(fd, static_cast<off_t>(other.size() / 2));
     }},
    {"RewrittenInPlace", RewriteInSlices},
    // As a copy over the file does it.
    {"TruncatedAndRewritten",
     [](int fd, const std::vector<std::uint8_t>& other) {
       (void)!::ftruncate(fd, 0);
       RewriteInSlices(fd, other);
     }},
};

// Whether some process holds a flock on the file with inode `inode`, as /proc/locks lists it.
bool FlockHeld(ino_t inode) {
  std::ifstream locks("/proc/locks");
  const std::string needle = ":" + std::to_string(inode) + " ";
  for (std::string line; std::getline(locks, line);) {
    if (line.find("FLOCK") != std::string::npos && line.find(needle) != std::string::npos)
      return true;
  }
  return false;
}

class ChangedDuringLoadTest : public ::testing::TestWithParam<ChangeCase> {
 protected:
  TempDir dir_;
};

// The load keeps the file as it was or as it became, or refuses it as changed or cut short; never
// a mix of the two, nor zeros where bytes went missing. The change starts once the load holds the
// file's lock and mostly overlaps its read; where exactly is up to the scheduler, so only that
// rule is asserted.
TEST_P(ChangedDuringLoadTest, LoadsOneWholeVersionOrRefuses) {
  constexpr std::size_t kSize = std::size_t{32} << 20;
  std::vector<std::uint8_t> before(kSize, 0x40);
  std::vector<std::uint8_t> after(kSize, 0x41);
  before[0] = after[0] = 0x08;
  before[1] = after[1] = 0xAA;
  const std::string path = dir_.File("a.hex");

  int kept = 0;
  int changed = 0;
  int refused = 0;
  for (int round = 0; round < 4; ++round) {
    WriteFile(path, before);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    // The change must fall in a later tick of the file system's clock than this write.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::atomic<bool> loadEnded{false};
    std::thread other([&] {
      while (!FlockHeld(st.st_ino)) {
        if (loadEnded) return;
        std::this_thread::yield();
      }
      const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) return;
      GetParam().change(fd, after);
      ::close(fd);
    });
    std::vector<std::uint8_t> loaded;
    std::optional<LoadError> refusal;
    {
      const auto result = LoadFirmwareFile(path);
      if (result)
        loaded = BytesOf(result.value());
      else
        refusal = result.error();
    }  // released before the other program may give up waiting for the lock
    loadEnded = true;
    other.join();
    if (refusal) {
      ++refused;
      // Emptied before the magic was read, shorter than its size, or changed under the read.
      EXPECT_TRUE(refusal->check == LoadError::Check::Magic ||
                  refusal->check == LoadError::Check::ShortRead ||
                  refusal->check == LoadError::Check::Changed)
          << "round " << round << ": " << refusal->Text();
      continue;
    }
    if (loaded == before)
      ++kept;
    else if (loaded == after)
      ++changed;
    else
      ADD_FAILURE() << "round " << round << ": the loaded image mixes the file's versions";
  }
  std::printf("loads: %d as before, %d as after, %d refused\n", kept, changed, refused);
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedDuringLoadTest, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// Nothing held per entry. The cost of each entry at the product's real 1 ms pause is measured in
// bench/firmware_search_bench.cpp.
TEST_F(HostileFolderTest, TenThousandEntriesAreAllTriedAndNoneLeftOpen) {
  constexpr int kEntries = 10000;
  for (int i = 0; i < kEntries - 1; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "e%05d.hex", i);
    WriteFile(dir_.File(name), {0xAA, 0x08});
  }
  WriteFile(dir_.File("z.hex"), Image(kDemoProductCode));
  const std::size_t descriptors = OpenDescriptors();

  int judged = 0;
  const FirmwareSelection selection =
      SelectFirmware(dir_.Path(), device_, pauses_, {}, [&](const EntryVerdict&) { ++judged; });

  EXPECT_EQ(selection.result, FirmwareSearchResult::Suitable);
  EXPECT_EQ(judged, kEntries);
  EXPECT_EQ(selection.info.fileName, "z.hex") << "the search stopped before the last entry";
  EXPECT_EQ(OpenDescriptors(), descriptors + 1) << "only the chosen image stays open";
}

}  // namespace
}  // namespace kavori::firmware
