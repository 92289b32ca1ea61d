#include "platform/file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavori::platform {

std::unique_ptr<ExclusiveFile> ExclusiveFile::Open(const std::string& path) {
  // Non-blocking, so that a FIFO or a device node under a firmware name cannot hang the open;
  // only regular files are kept, and for them the flag changes nothing.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  // Stamped before the lock is taken, so that no change after the lock can be in the stamp.
  Stamp stamp;
  bool regular = false;
  if (!ReadStamp(fd, stamp, regular) || !regular || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(fd, stamp));
}

bool ExclusiveFile::ReadStamp(int fd, Stamp& stamp, bool& regular) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  regular = S_ISREG(st.st_mode);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified[0] = st.st_mtim.tv_sec;
  stamp.modified[1] = st.st_mtim.tv_nsec;
  stamp.changed[0] = st.st_ctim.tv_sec;
  stamp.changed[1] = st.st_ctim.tv_nsec;
  return true;
}

bool ExclusiveFile::ChangedSinceOpen() const {
  Stamp now;
  bool regular = false;
  return !ReadStamp(fd_, now, regular) || now != stamp_;
}

ExclusiveFile::~ExclusiveFile() { ::close(fd_); }

std::size_t ExclusiveFile::ReadFromStart(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<std::string> names;
  // A listing cut short by an error would change which entry comes last: report it whole or not.
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  const bool complete = errno == 0;
  ::closedir(dir);
  if (!complete) return std::nullopt;
  return names;
}

}  // namespace kavori::platform
