// Kavori devices on the real hidraw path without hardware. umockdev fakes the sysfs tree and the
// /dev node for this process (which must run with umockdev's preload library, see
// preload_main.cpp), so hidapi, libudev and the device link run unmodified against them.
//
// Each device is a USB device, its interface, the HID device (with HID_ID, HID_NAME, HID_UNIQ and
// the Kavori's report descriptor) and a hidraw node. The node is a PTY whose reads, writes and
// ioctls go to handlers on umockdev's worker thread. poll() is not intercepted: for each queued
// input report the device writes one "doorbell" byte to the PTY master and takes it back when the
// report is read; closing the master on unplug gives pollers POLLHUP.
//
// The device answers like a Kavori (device/protocol.hpp): in loader mode (product id 0x81xx) it
// answers ReplyAck, then the command, to enter, data block, burn and verify; it answers nothing
// else. All readers of one node share one queue of input reports (the device link reads through
// one handle only). A read finds a report whenever poll said so; one without a report queued fails
// with EAGAIN as on a non-blocking node (hidapi polls before every read with a time-out, the only
// reads the backend makes).
//
// Thread contract: the bed and the devices' Plug/Unplug are used by the test thread; the other
// device methods may be called from any thread.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/protocol.hpp"
#include "firmware/product_ids.hpp"

using UMockdevTestbed = struct _UMockdevTestbed;
using UMockdevIoctlBase = struct _UMockdevIoctlBase;
using UMockdevIoctlClient = struct _UMockdevIoctlClient;

namespace kavori::testing {

// Input and output reports of the mocked device, without report id.
inline constexpr std::size_t kMockReportSize = device::kReportLength - 1;
using MockInputReport = std::array<std::uint8_t, kMockReportSize>;

struct MockIdentity {
  std::uint16_t vendorId = firmware::kVendorId;
  std::uint16_t productId = 0x0005;
  std::uint16_t release = 0x0102;
  std::string manufacturer = "Kavori";
  std::string product = "Kavori Sable";
  std::string serial = "KAVSBL01234567890ABCDE";  // empty: the device has none
};

// True when umockdev's preload library is loaded into this process.
bool UmockdevPreloadActive();

class MockHidrawDevice {
 public:
  MockHidrawDevice(const MockHidrawDevice&) = delete;
  MockHidrawDevice& operator=(const MockHidrawDevice&) = delete;
  ~MockHidrawDevice();

  const MockIdentity& Identity() const { return identity_; }
  // The node as hidapi names it, such as "/dev/hidraw0".
  const std::string& Node() const { return node_; }
  bool Plugged() const;

  // Every output report the device received, as the device sees it (report id 0x00 stripped).
  std::vector<std::vector<std::uint8_t>> Received() const;
  // Waits until at least `count` reports were received; false when the bound ran out first.
  bool WaitForReceived(std::size_t count, std::chrono::milliseconds bound) const;
  // Sends an input report of the device's own accord.
  void SendInputReport(const MockInputReport& report);
  // The same with a report of any length, such as one shorter than the descriptor says.
  void SendInputBytes(std::vector<std::uint8_t> report);
  // Takes every permission off the node, as on a machine without the udev rule; only a process
  // that overrides file permissions can still open it.
  void DenyAccess();
  // File descriptors of this process open on the node now (umockdev reports no close, so they
  // are counted in /proc/self/fd).
  int OpenClients() const;

  // Unplugs the device: "remove" uevent, the sysfs and /dev links go (files are never deleted one
  // by one: hidapi 0.13.1 crashes when it enumerates a half-removed device), the PTY master
  // closes, later reads fail with EIO, writes and ioctls with ENODEV.
  void Unplug();

 private:
  friend class MockHidrawBed;

  struct Paths {
    std::string usb;                 // the USB device's syspath
    std::string hid;                 // the HID device's syspath
    std::string hidraw;              // the hidraw node's syspath
    std::vector<std::string> links;  // below the testbed root, unlinked on unplug
  };

  MockHidrawDevice(UMockdevTestbed* testbed, std::string root, MockIdentity identity, int port,
                   int hidrawNumber);
  void Plug();

  static int OnIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
  static int OnRead(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
  static int OnWrite(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);

  void HandleIoctl(UMockdevIoctlClient* client);
  void HandleRead(UMockdevIoctlClient* client);
  void HandleWrite(UMockdevIoctlClient* client);
  // The device's answer to one output report, if it gives one.
  bool Answer(const std::vector<std::uint8_t>& report, MockInputReport& reply) const;
  // Queues a report and rings the doorbell for it.
  void DeliverLocked(std::vector<std::uint8_t> report);

  UMockdevTestbed* const testbed_;
  const std::string root_;
  const MockIdentity identity_;
  const int port_;
  const int hidrawNumber_;
  const std::string node_;
  std::string ptyName_;  // the PTY slave behind the node, such as "/dev/pts/3"
  Paths paths_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool attached_ = false;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool plugged_ = false;  // guarded by mutex_
  int masterFd_ = -1;     // guarded by mutex_
  int slaveFd_ = -1;      // guarded by mutex_; the device's own, non-blocking
  std::deque<std::vector<std::uint8_t>> queue_;      // guarded by mutex_
  std::vector<std::vector<std::uint8_t>> received_;  // guarded by mutex_
};

// One umockdev testbed with its devices; one per test (it sets UMOCKDEV_DIR for the process).
class MockHidrawBed {
 public:
  MockHidrawBed();
  ~MockHidrawBed();
  MockHidrawBed(const MockHidrawBed&) = delete;
  MockHidrawBed& operator=(const MockHidrawBed&) = delete;

  // Plugs a device in at a new USB port (1-1, 1-2, ...). Its node takes the lowest hidraw number
  // that no plugged device uses and no unplugged one still has open, as the kernel does.
  MockHidrawDevice& Plug(const MockIdentity& identity);

 private:
  UMockdevTestbed* testbed_;
  std::string root_;
  int nextPort_ = 1;
  std::vector<std::unique_ptr<MockHidrawDevice>> devices_;
};

}  // namespace kavori::testing
