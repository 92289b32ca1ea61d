// Files and directories as the firmware search uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kavori::platform {

// A regular file opened read-only and locked exclusively (non-blocking flock) for as long as the
// object lives, so that a second open of the same file through this class fails meanwhile.
class ExclusiveFile {
 public:
  // nullptr when the path cannot be opened, is not a regular file, or is locked already. Never
  // blocks, also not on a FIFO.
  static std::unique_ptr<ExclusiveFile> Open(const std::string& path);
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  std::uint64_t Size() const { return stamp_.size; }
  int Handle() const { return fd_; }
  // Reads from offset 0 until `length` bytes, end of file or an error; returns the count read.
  std::size_t ReadFromStart(void* buffer, std::size_t length);
  // True when the file's size or its modification or change time is no longer what it was at
  // Open, or cannot be read: the lock is advisory, so a writer that ignores it may have
  // truncated or rewritten the file under a read. Changes within one tick of the file system's
  // clock after an earlier change can go unseen.
  bool ChangedSinceOpen() const;

 private:
  struct Stamp {
    std::uint64_t size = 0;
    std::int64_t modified[2] = {0, 0};  // seconds, nanoseconds
    std::int64_t changed[2] = {0, 0};
    bool operator==(const Stamp&) const = default;
  };
  ExclusiveFile(int fd, const Stamp& stamp) : fd_(fd), stamp_(stamp) {}
  // False when the file cannot be examined.
  static bool ReadStamp(int fd, Stamp& stamp, bool& regular);
  int fd_;
  Stamp stamp_;  // as at Open
};

// Names of the entries of a directory (without "." and ".."), in no particular order; nullopt
// when the directory cannot be read whole.
std::optional<std::vector<std::string>> ListDirectory(const std::string& directory);

}  // namespace kavori::platform
