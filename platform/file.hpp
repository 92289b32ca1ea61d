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

  std::uint64_t Size() const { return size_; }
  int Handle() const { return fd_; }
  // Reads from offset 0 until `length` bytes, end of file or an error; returns the count read.
  std::size_t ReadFromStart(void* buffer, std::size_t length);

 private:
  ExclusiveFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  std::uint64_t size_;
};

// Names of the entries of a directory (without "." and ".."), in no particular order; nullopt
// when the directory cannot be read whole.
std::optional<std::vector<std::string>> ListDirectory(const std::string& directory);

}  // namespace kavori::platform
