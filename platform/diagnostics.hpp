// Why the device search passed over what it found, in words for whoever reads stderr or supports
// a user: a node that cannot be opened, a descriptor that cannot be read, a device of another
// maker. The platform services and the device link write here, the front ends read it; the
// wizard's own texts never change for it. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kavori::platform {

struct Diagnostic {
  std::string text;
  // The node exists but this user is not allowed to open it.
  bool permissionDenied = false;
  // The USB vendor of the node it is about, when known.
  std::optional<std::uint16_t> vendorId;
  // Another process holds the node open (the text names it). The in-use lock held by another
  // application is not such a cause: it has a page of its own.
  bool heldOpenByOther = false;
};

class DiagnosticsLog {
 public:
  // The newest entries are kept; a machine with a great many HID nodes cannot grow it further.
  static constexpr std::size_t kCapacity = 64;

  void Add(Diagnostic diagnostic);
  // Everything added since the last Take, oldest first; the log is empty afterwards.
  std::vector<Diagnostic> Take();

 private:
  std::mutex mutex_;
  std::vector<Diagnostic> entries_;
};

// "0x0BEF": the way every diagnostic writes a USB id.
std::string UsbIdText(std::uint16_t id);

}  // namespace kavori::platform
