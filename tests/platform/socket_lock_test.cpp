#include "platform/linux/socket_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kavori::platform::host {
namespace {

// A name no other test run or running tool uses.
std::string UniqueLockName() {
  static std::atomic<int> counter{0};
  return "kavori-test-lock-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

// The helper program holding a lock in a process of its own. Its stdin is a pipe that this
// object keeps open, so the helper also ends when the test process dies.
class LockHolderProcess {
 public:
  explicit LockHolderProcess(const std::string& lockName) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) return;
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
      ::close(toChild[0]);
      ::close(toChild[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::string program = KAVORI_LOCK_HOLDER;
    std::string name = lockName;
    char* argv[] = {program.data(), name.data(), nullptr};
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    stdin_ = toChild[1];
    stdout_ = fromChild[0];
  }

  ~LockHolderProcess() {
    Kill();
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
  }

  // The helper's report line, or "" when it ended without one.
  std::string ReadReport() {
    std::string line;
    char c = 0;
    while (stdout_ >= 0 && ::read(stdout_, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }

  // SIGKILL and reap: the lock must be freed by the kernel, not by the helper.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

TEST(AbstractSocketLockTest, SecondAcquireThroughTheSameObjectSeesItHeld) {
  AbstractSocketLock lock(UniqueLockName());
  EXPECT_EQ(lock.Acquire(), LockResult::Acquired);
  EXPECT_EQ(lock.Acquire(), LockResult::InUse);
  lock.Release();
  EXPECT_EQ(lock.Acquire(), LockResult::Acquired) << "Release did not free the name";
}

TEST(AbstractSocketLockTest, AnotherObjectOfThisProcessSeesItHeldUntilRelease) {
  const std::string name = UniqueLockName();
  AbstractSocketLock first(name);
  AbstractSocketLock second(name);
  ASSERT_EQ(first.Acquire(), LockResult::Acquired);
  EXPECT_EQ(second.Acquire(), LockResult::InUse);
  second.Release();  // not held by `second`: must not free the name of `first`
  EXPECT_EQ(second.Acquire(), LockResult::InUse);
  first.Release();
  first.Release();
  EXPECT_EQ(second.Acquire(), LockResult::Acquired);
}

TEST(AbstractSocketLockTest, DestructionReleases) {
  const std::string name = UniqueLockName();
  {
    AbstractSocketLock lock(name);
    ASSERT_EQ(lock.Acquire(), LockResult::Acquired);
  }
  AbstractSocketLock again(name);
  EXPECT_EQ(again.Acquire(), LockResult::Acquired);
}

TEST(AbstractSocketLockTest, NameTooLongForAnAbstractAddressFails) {
  AbstractSocketLock lock(std::string(200, 'k'));
  EXPECT_EQ(lock.Acquire(), LockResult::Failed);
}

TEST(AbstractSocketLockTest, ConcurrentAcquiresOnOneObjectGrantItOnce) {
  AbstractSocketLock lock(UniqueLockName());
  std::atomic<int> acquired{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if (lock.Acquire() == LockResult::Acquired) ++acquired;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(acquired.load(), 1);
}

TEST(AbstractSocketLockTest, HeldByAnotherProcessUntilThatProcessIsKilled) {
  const std::string name = UniqueLockName();
  LockHolderProcess holder(name);
  ASSERT_TRUE(holder.Started()) << "could not start " << KAVORI_LOCK_HOLDER;
  ASSERT_EQ(holder.ReadReport(), "Acquired");

  AbstractSocketLock lock(name);
  EXPECT_EQ(lock.Acquire(), LockResult::InUse) << "another process's lock went unnoticed";
  // Support asks who holds the device: the process is named.
  const std::optional<LockHolder> who = lock.Holder();
  ASSERT_TRUE(who.has_value());
  EXPECT_EQ(who->pid, holder.Pid());
  EXPECT_EQ(who->command, std::string("kavori_lock_holder").substr(0, 15));

  holder.Kill();
  EXPECT_FALSE(lock.Holder().has_value()) << "a dead process still named as the holder";
  EXPECT_EQ(lock.Acquire(), LockResult::Acquired) << "the dead holder's lock stayed";
}

TEST(AbstractSocketLockTest, AnotherProcessSeesThisProcesssLock) {
  const std::string name = UniqueLockName();
  AbstractSocketLock lock(name);
  ASSERT_EQ(lock.Acquire(), LockResult::Acquired);
  LockHolderProcess holder(name);
  ASSERT_TRUE(holder.Started());
  EXPECT_EQ(holder.ReadReport(), "InUse");
}

}  // namespace
}  // namespace kavori::platform::host
