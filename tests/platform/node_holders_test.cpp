// The other holders of a node, seen through /proc as the device link asks for them before it uses
// the Kavori's node (a softphone holding the hidraw node open must not go unseen).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/linux/proc_node_holders.hpp"

namespace kavori::platform::host {
namespace {

// A child process named `name` that holds `path` open until it is killed.
class Holder {
 public:
  Holder(const std::string& path, const char* name) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_NAME, name);
      const int fd = ::open(path.c_str(), O_RDONLY);
      const char ok = fd >= 0 ? '1' : '0';
      if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char ok = '0';
    opened_ = ::read(ready[0], &ok, 1) == 1 && ok == '1';
    ::close(ready[0]);
  }
  ~Holder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  int Pid() const { return pid_; }
  bool Opened() const { return opened_; }

 private:
  int pid_ = -1;
  bool opened_ = false;
};

bool Contains(const std::vector<LockHolder>& holders, int pid) {
  return std::any_of(holders.begin(), holders.end(),
                     [pid](const LockHolder& h) { return h.pid == pid; });
}

TEST(ProcNodeHolders, AnotherProcessHoldingAFileIsNamedAndThisOneIsNot) {
  char path[] = "/tmp/kavori-holders-XXXXXX";
  const int own = ::mkstemp(path);
  ASSERT_GE(own, 0);
  ProcNodeHolders holders;
  EXPECT_TRUE(holders.OtherHolders(path).empty()) << "this process's own descriptor counted";
  {
    Holder other(path, "kavori-holder");
    ASSERT_TRUE(other.Opened());
    const std::vector<LockHolder> seen = holders.OtherHolders(path);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].pid, other.Pid());
    EXPECT_EQ(seen[0].command, "kavori-holder");
    EXPECT_EQ(HolderText(seen[0]), "process " + std::to_string(other.Pid()) + " (kavori-holder)");
  }
  EXPECT_TRUE(holders.OtherHolders(path).empty()) << "a holder that ended is still seen";
  ::close(own);
  ::unlink(path);
}

// A character device is the same device under any name: compared by its device number.
TEST(ProcNodeHolders, ACharacterDeviceIsMatchedByItsDeviceNumber) {
  Holder other("/dev/null", "kavori-nullhold");
  ASSERT_TRUE(other.Opened());
  ProcNodeHolders holders;
  const std::vector<LockHolder> seen = holders.OtherHolders("/dev/null");
  EXPECT_TRUE(Contains(seen, other.Pid()));
  EXPECT_FALSE(Contains(seen, static_cast<int>(::getpid())));
  EXPECT_TRUE(
      std::is_sorted(seen.begin(), seen.end(),
                     [](const LockHolder& a, const LockHolder& b) { return a.pid < b.pid; }));
  EXPECT_FALSE(Contains(holders.OtherHolders("/dev/zero"), other.Pid()));
}

TEST(ProcNodeHolders, AMissingNodeOrProcHasNoHolders) {
  EXPECT_TRUE(ProcNodeHolders().OtherHolders("/nonexistent/hidraw9").empty());
  EXPECT_TRUE(ProcNodeHolders("/nonexistent-proc").OtherHolders("/dev/null").empty());
}

}  // namespace
}  // namespace kavori::platform::host
