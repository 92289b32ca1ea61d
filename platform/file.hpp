// Files and directories as the firmware search uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/result.hpp"

namespace kavori::platform {

// Why a file could not be opened for loading.
struct FileError {
  enum class Kind {
    Open,        // the system refused the open (`error` says why)
    Examine,     // its size and times cannot be read (`error` says why)
    NotRegular,  // a directory, FIFO, device node or the like
    Locked,      // another open holds its lock (`error` says why when it is not that)
  };
  Kind kind = Kind::Open;
  int error = 0;  // errno, 0 where none applies
};

// What a read from the start of a file got.
struct ReadOutcome {
  std::size_t count = 0;  // bytes read
  int error = 0;          // errno of the read that ended it early, 0 at end of file or when full
};

// A regular file opened read-only and locked exclusively (non-blocking flock) for as long as the
// object lives, so that a second open of the same file through this class fails meanwhile.
class ExclusiveFile {
 public:
  // Fails when the path cannot be opened, is not a regular file, or is locked already. Never
  // blocks, also not on a FIFO.
  static Result<std::unique_ptr<ExclusiveFile>, FileError> Open(const std::string& path);
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  std::uint64_t Size() const { return stamp_.size; }
  int Handle() const { return fd_; }
  // Reads from offset 0 until `length` bytes, end of file or an error.
  ReadOutcome ReadFromStart(void* buffer, std::size_t length);
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
  // An errno when the file cannot be examined, else 0.
  static int ReadStamp(int fd, Stamp& stamp, bool& regular);
  int fd_;
  Stamp stamp_;  // as at Open
};

// Names of the entries of a directory (without "." and ".."), in no particular order; the errno
// when the directory cannot be read whole.
Result<std::vector<std::string>, int> ListDirectory(const std::string& directory);

}  // namespace kavori::platform
