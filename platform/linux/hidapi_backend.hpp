// The HID interface on hidapi's hidraw backend.
//
// Thread contract: hidapi 0.13 keeps process-wide state without a lock, so every call that
// touches it (init, enumerate, open, close, device info and string queries) runs under one
// process-wide mutex; reads and writes on an open handle do not take it. Each handle is used by
// one thread at a time, as HidHandle requires.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/diagnostics.hpp"
#include "platform/hid.hpp"
#include "platform/linux/hid_conversions.hpp"

namespace kavori::platform::host {

// Open accepts hidraw nodes only and reads the node's report descriptor once, at open (hidapi
// 0.13 offers no such query). When it cannot be read or parsed, the handle still answers
// attributes and strings and writes, but GetReportLengths returns false and Read returns Error:
// without the layout a report's id cannot be told apart from its data. Write refuses (false)
// lengths of 0 or above kReportBufferSize. Read waits at most timeoutMs (a negative bound counts as
// 0) and never stores more than kReportBufferSize bytes. Why a node could not be opened, or its
// descriptor read, goes to the diagnostics log given at construction (if any), with the USB ids
// that the last enumeration listed for it.
class HidapiBackend final : public HidBackend {
 public:
  explicit HidapiBackend(DiagnosticsLog* diagnostics = nullptr);
  // hidapi's global state stays initialised: handles may outlive this object.
  ~HidapiBackend() override = default;
  HidapiBackend(const HidapiBackend&) = delete;
  HidapiBackend& operator=(const HidapiBackend&) = delete;

  std::vector<std::string> EnumerateInterfaces() override;
  std::unique_ptr<HidHandle> Open(const std::string& path) override;

 private:
  void Note(Diagnostic diagnostic);
  std::optional<NodeIds> IdsOf(const std::string& path);

  bool initialised_;
  DiagnosticsLog* const diagnostics_;
  std::mutex idsMutex_;
  std::map<std::string, NodeIds> ids_;  // of the last enumeration, by path
};

}  // namespace kavori::platform::host
