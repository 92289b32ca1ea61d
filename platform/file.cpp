#include "platform/file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavori::platform {

Result<std::unique_ptr<ExclusiveFile>, FileError> ExclusiveFile::Open(const std::string& path) {
  // Non-blocking, so that a FIFO or a device node under a firmware name cannot hang the open;
  // only regular files are kept, and for them the flag changes nothing.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Fail(FileError{FileError::Kind::Open, errno});
  // Stamped before the lock is taken, so that no change after the lock can be in the stamp.
  Stamp stamp;
  bool regular = false;
  FileError failure;
  if (const int error = ReadStamp(fd, stamp, regular); error != 0) {
    failure = {FileError::Kind::Examine, error};
  } else if (!regular) {
    failure = {FileError::Kind::NotRegular, 0};
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    failure = {FileError::Kind::Locked, errno == EWOULDBLOCK ? 0 : errno};
  } else {
    return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(fd, stamp));
  }
  ::close(fd);
  return Fail(failure);
}

int ExclusiveFile::ReadStamp(int fd, Stamp& stamp, bool& regular) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  regular = S_ISREG(st.st_mode);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified[0] = st.st_mtim.tv_sec;
  stamp.modified[1] = st.st_mtim.tv_nsec;
  stamp.changed[0] = st.st_ctim.tv_sec;
  stamp.changed[1] = st.st_ctim.tv_nsec;
  return 0;
}

bool ExclusiveFile::ChangedSinceOpen() const {
  Stamp now;
  bool regular = false;
  return ReadStamp(fd_, now, regular) != 0 || now != stamp_;
}

ExclusiveFile::~ExclusiveFile() { ::close(fd_); }

ReadOutcome ExclusiveFile::ReadFromStart(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  ReadOutcome outcome;
  while (outcome.count < length) {
    const ssize_t n = ::pread(fd_, out + outcome.count, length - outcome.count,
                              static_cast<off_t>(outcome.count));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) outcome.error = errno;
    if (n <= 0) break;
    outcome.count += static_cast<std::size_t>(n);
  }
  return outcome;
}

Result<std::vector<std::string>, int> ListDirectory(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return Fail(errno);
  std::vector<std::string> names;
  // A listing cut short by an error would change which entry comes last: report it whole or not.
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) return Fail(error);
  return names;
}

}  // namespace kavori::platform
