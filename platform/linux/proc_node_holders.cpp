#include "platform/linux/proc_node_holders.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace kavori::platform::host {

namespace {

bool IsNumber(const char* name) {
  if (*name == '\0') return false;
  for (const char* c = name; *c != '\0'; ++c)
    if (*c < '0' || *c > '9') return false;
  return true;
}

bool SameNode(const struct stat& a, const struct stat& b) {
  const bool device = S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode);
  if (device) return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

}  // namespace

ProcNodeHolders::ProcNodeHolders(std::string procRoot) : procRoot_(std::move(procRoot)) {}

std::vector<LockHolder> ProcNodeHolders::OtherHolders(const std::string& path) {
  std::vector<LockHolder> holders;
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) return holders;
  const std::string self = std::to_string(::getpid());
  const Dir processes(::opendir(procRoot_.c_str()));
  if (!processes) return holders;
  while (const dirent* process = ::readdir(processes.get())) {
    if (!IsNumber(process->d_name) || self == process->d_name) continue;
    const std::string fdDir = procRoot_ + "/" + process->d_name + "/fd";
    // EACCES for another user's process: this user may not see what it holds.
    const Dir fds(::opendir(fdDir.c_str()));
    if (!fds) continue;
    while (const dirent* fd = ::readdir(fds.get())) {
      if (!IsNumber(fd->d_name)) continue;
      struct stat target {};
      // stat follows the link to what the descriptor leads to, without opening it.
      if (::stat((fdDir + "/" + fd->d_name).c_str(), &target) != 0 || !SameNode(node, target))
        continue;
      LockHolder holder;
      holder.pid = std::atoi(process->d_name);
      std::ifstream comm(procRoot_ + "/" + process->d_name + "/comm");
      std::getline(comm, holder.command);
      holders.push_back(std::move(holder));
      break;
    }
  }
  std::sort(holders.begin(), holders.end(),
            [](const LockHolder& a, const LockHolder& b) { return a.pid < b.pid; });
  return holders;
}

}  // namespace kavori::platform::host
