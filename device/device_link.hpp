// The link to the one connected device: the in-use lock, two handles on its HID interface (one
// for queries and writes, one for reading replies), its identity, the command report buffer and
// the reply channel. One object per session; a test builds its own.
//
// Thread contract: the wizard's order of steps keeps the UI thread, the reconnect watcher and the
// programming run apart; the link's operations are serialised all the same, so that a teardown
// racing a worker stays safe. The reply channel's wait runs on the programming run's thread.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/device_info.hpp"
#include "device/protocol.hpp"
#include "device/reply_channel.hpp"
#include "platform/platform.hpp"

namespace kavori::device {

class DeviceLink {
 public:
  // The services must outlive the link.
  explicit DeviceLink(const platform::Platform& services);
  ~DeviceLink();  // closes
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  const platform::Platform& Services() const { return services_; }
  // What the services and the device search have said since the last call about what they
  // passed over; empty without a diagnostics log. Any thread.
  std::vector<platform::Diagnostic> TakeDiagnostics();

  // Takes the in-use lock, finds and opens the device, fills DeviceInfo and attaches the reply
  // channel. 0, or -4 (lock held, by this process too; or another process holds the device's
  // node open, named in the diagnostics), -20 (no acceptable device), -22 (a normal-mode device
  // while `watchingReconnect`). A failure holds nothing.
  int OpenDeviceLink(bool watchingReconnect = false);
  // Takes the read handle from the reply channel, closes both handles and releases the lock.
  // Always 0; harmless when nothing is open. Returns promptly even while a reply wait reads.
  int CloseDeviceLink();
  bool IsDeviceLinkOpen() const;

  // Identity of the device last accepted; never cleared, also not by CloseDeviceLink.
  DeviceInfoRecord DeviceInfo() const;
  // The accepted device runs its loader (set by each search that accepts or refuses a device).
  bool LoaderMode() const { return loaderMode_.load(); }
  // Report lengths of the open link (kept after close), each at most 65.
  std::uint16_t InputReportLength() const;
  std::uint16_t OutputReportLength() const;

  // Writes the first OutputReportLength() bytes of `report` through the query/write handle.
  // False when no link is open or the write fails.
  bool WriteOutputReport(const std::array<std::uint8_t, kReportLength>& report);

  // The command report: every command but prepare is built here. OpenDeviceLink resets it; the
  // programming run's thread builds in it.
  std::array<std::uint8_t, kReportLength>& CommandReport() { return commandReport_; }
  ReplyChannel& Replies() { return replies_; }

  // The time-out of every reply wait, 1..32766 ms (30000 at start); read afresh at every wait,
  // so a change applies from the next one. Any thread.
  std::uint16_t ReplyTimeoutMs() const { return replyTimeoutMs_.load(); }
  void SetReplyTimeoutMs(std::uint16_t ms) {
    replyTimeoutMs_ = std::clamp<std::uint16_t>(ms, 1, 32766);
  }

 private:
  int FindDevice(bool watchingReconnect);
  void ReleaseLinkLocked();
  void Note(const std::string& path, const std::string& why, std::optional<std::uint16_t> vendor);

  const platform::Platform services_;
  mutable std::mutex mutex_;  // guards everything below but the atomics and the channel
  bool lockHeld_ = false;
  std::unique_ptr<platform::HidHandle> deviceHandle_;  // queries and every output report
  std::unique_ptr<platform::HidHandle> readHandle_;    // lent to the reply channel
  std::uint16_t inputReportLength_ = 0;
  std::uint16_t outputReportLength_ = 0;
  DeviceInfoRecord deviceInfo_;
  std::atomic<bool> loaderMode_{false};
  std::array<std::uint8_t, kReportLength> commandReport_{};
  ReplyChannel replies_;
  std::atomic<std::uint16_t> replyTimeoutMs_{30000};
};

// Narrows in place the UTF-16LE string a HID string query wrote into a 256-byte field.
void NarrowHidString(std::array<char, 256>& field);

// One HID interface as the device search meets it.
struct InterfaceSeen {
  std::string path;
  std::unique_ptr<platform::HidHandle> handle;        // null: not opened (the backend said why)
  std::optional<platform::HidAttributes> attributes;  // null: not opened or not readable
};
// The device search's walk: opens the interfaces in the system's order and shows each to `visit`
// until it returns false. Both the link's search and the inventory of what the computer sees go
// through it, so they meet the same interfaces in the same way.
void VisitInterfaces(const platform::Platform& services,
                     const std::function<bool(InterfaceSeen&)>& visit);

}  // namespace kavori::device
