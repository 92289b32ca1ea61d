#include "device/device_link.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>

#include "device/commands.hpp"
#include "device/flags.hpp"
#include "device/results.hpp"
#include "firmware/product_ids.hpp"

namespace kavori::device {

using firmware::IsLoaderModeId;
using firmware::IsNormalModeId;
using firmware::kVendorId;

DeviceInfoRecord DeviceInfo;

namespace {

// The reader waits at most this long per read, so that CloseDeviceLink can stop it promptly.
constexpr int kReaderPollMs = 20;

struct DeviceLinkState {
  platform::Platform Services;
  bool LockHeld = false;
  std::unique_ptr<platform::HidHandle> DeviceHandle;  // queries and every output report
  std::unique_ptr<platform::HidHandle> ReadHandle;    // the reader thread's own handle
  std::jthread ReaderHandle;  // the reader thread, running exactly while the link is open
  std::uint16_t InputReportLength = 0;
  std::uint16_t OutputReportLength = 0;
};

// The wizard's order of steps already keeps the callers apart; the mutex makes that hold even
// for a teardown that races a worker, at no cost on the paths that matter.
std::mutex g_linkMutex;
DeviceLinkState DeviceLink;

// The read handle as the thread that reads replies sees it. Lock order: g_linkMutex, then
// g_readMutex, then the reply event's own.
struct ReplySource {
  platform::HidHandle* handle = nullptr;
  std::uint16_t length = 0;
};
std::mutex g_readMutex;
ReplySource g_replySource;  // guarded by g_readMutex
// Set while CloseDeviceLink takes the read handle away, so that a run reading in a loop cannot
// keep it from the lock.
std::atomic<bool> g_replySourceClosing{false};

std::uint16_t BoundedLength(std::uint16_t length) {
  return static_cast<std::uint16_t>(std::min<std::size_t>(length, platform::kReportBufferSize));
}

// Turns every input report into a reply code while no programming run reads for itself: store
// the code, then signal. After an unplug the handle fails at once; the reader then just waits
// for its stop request without spinning.
void ReaderThread(std::stop_token stop) {
  std::mutex idleMutex;
  std::condition_variable_any idle;
  while (!stop.stop_requested() && ReplyEvent.WaitUntilAbsent(stop)) {
    platform::ReadStatus status = platform::ReadStatus::Timeout;
    {
      std::lock_guard guard(g_readMutex);
      // A run that began since the check above reads for itself.
      if (!ReplyEvent.Exists()) {
        status = g_replySource.handle->Read(InputReport.data(), g_replySource.length, kReaderPollMs)
                     .status;
        // A read begun before a run signals the run's event; the run takes it.
        if (status == platform::ReadStatus::Data) ReplyEvent.StoreAndSignal(InputReport[1]);
      }
    }
    if (status != platform::ReadStatus::Data && status != platform::ReadStatus::Timeout) {
      std::unique_lock lock(idleMutex);
      idle.wait_for(lock, stop, std::chrono::milliseconds(kReaderPollMs), [] { return false; });
    }
  }
}

void ReleaseLinkLocked() {
  g_replySourceClosing = true;
  if (DeviceLink.ReaderHandle.joinable()) {
    DeviceLink.ReaderHandle.request_stop();
    DeviceLink.ReaderHandle.join();
  }
  {
    std::lock_guard guard(g_readMutex);
    g_replySource = {};
  }
  g_replySourceClosing = false;
  DeviceLink.DeviceHandle.reset();
  DeviceLink.ReadHandle.reset();
  if (DeviceLink.LockHeld) {
    DeviceLink.Services.lock->Release();
    DeviceLink.LockHeld = false;
  }
}

// Queries a HID string into a 256-byte field and narrows it. A failed query leaves an empty
// field rather than another device's string, which the firmware check would otherwise trust.
template <typename Query>
void ReadHidString(std::array<char, 256>& field, Query query) {
  if (!query(reinterpret_cast<std::uint8_t*>(field.data()), platform::kHidStringQueryBytes)) {
    field.fill('\0');
    return;
  }
  NarrowHidString(field);
}

// Says why the search passed over `path`.
void Note(const std::string& path, const std::string& why, std::optional<std::uint16_t> vendorId) {
  if (DeviceLink.Services.diagnostics == nullptr) return;
  DeviceLink.Services.diagnostics->Add({path + ": " + why, false, vendorId});
}

std::string IdsText(const platform::HidAttributes& attributes) {
  return "vendor " + platform::UsbIdText(attributes.vendorId) + " product " +
         platform::UsbIdText(attributes.productId);
}

// Used by OpenDeviceLink with the lock just taken: 0 (accepted and opened), -20, or -22.
int FindDevice() {
  DeviceLink.DeviceHandle.reset();
  platform::HidBackend& hid = *DeviceLink.Services.hid;
  for (const std::string& path : hid.EnumerateInterfaces()) {
    std::unique_ptr<platform::HidHandle> handle = hid.Open(path);
    platform::HidAttributes attributes;
    // The backend has said why it could not open the node.
    if (!handle) continue;
    if (!handle->GetAttributes(attributes)) {
      Note(path, "its USB ids cannot be read", std::nullopt);
      continue;
    }
    const std::uint16_t id = attributes.productId;
    if (attributes.vendorId != kVendorId || !(IsNormalModeId(id) || IsLoaderModeId(id))) {
      Note(path, IdsText(attributes) + " is not a Kavori", attributes.vendorId);
      continue;
    }

    const std::uint32_t versionWord =
        (static_cast<std::uint32_t>(id) << 16) | attributes.releaseNumber;
    if (IsNormalModeId(id) && WatchingReconnect) {
      Note(path, IdsText(attributes) + " still runs its normal firmware, not its loader",
           attributes.vendorId);
      DeviceInfo.ProductId = id;
      DeviceInfo.VersionWord = versionWord;
      LoaderMode = false;
      return kDeviceRefused;
    }

    // Without report lengths or a second handle the device cannot be driven: pass it over like
    // an interface that cannot be opened, leaving DeviceInfo to the device actually accepted.
    platform::HidReportLengths lengths;
    if (!handle->GetReportLengths(lengths)) {
      Note(path, IdsText(attributes) + ": its report lengths are unknown", attributes.vendorId);
      continue;
    }
    std::unique_ptr<platform::HidHandle> readHandle = hid.Open(path);
    if (!readHandle) continue;

    DeviceInfo.ProductId = id;
    DeviceInfo.VersionWord = versionWord;
    LoaderMode = IsLoaderModeId(id);
    ReadHidString(DeviceInfo.SerialString, [&](std::uint8_t* field, std::size_t length) {
      return handle->GetSerialNumberString(field, length);
    });
    ReadHidString(DeviceInfo.ProductString, [&](std::uint8_t* field, std::size_t length) {
      return handle->GetProductString(field, length);
    });

    DeviceLink.InputReportLength = BoundedLength(lengths.input);
    DeviceLink.OutputReportLength = BoundedLength(lengths.output);
    DeviceLink.DeviceHandle = std::move(handle);
    DeviceLink.ReadHandle = std::move(readHandle);
    return kOk;
  }
  return kNoDevice;
}

bool IsOpenLocked() { return DeviceLink.LockHeld; }

}  // namespace

bool UsePlatform(const platform::Platform& services) {
  std::lock_guard guard(g_linkMutex);
  if (IsOpenLocked()) return false;
  DeviceLink.Services = services;
  return true;
}

platform::Platform InstalledPlatform() {
  std::lock_guard guard(g_linkMutex);
  return DeviceLink.Services;
}

std::vector<platform::Diagnostic> TakeDiagnostics() {
  platform::DiagnosticsLog* log = InstalledPlatform().diagnostics;
  return log != nullptr ? log->Take() : std::vector<platform::Diagnostic>{};
}

int OpenDeviceLink() {
  std::lock_guard guard(g_linkMutex);
  if (DeviceLink.Services.lock == nullptr || DeviceLink.Services.hid == nullptr) return kNoDevice;
  switch (DeviceLink.Services.lock->Acquire()) {
    case platform::LockResult::Acquired:
      break;
    case platform::LockResult::InUse:
      if (DeviceLink.Services.diagnostics != nullptr)
        DeviceLink.Services.diagnostics->Add(
            {"the in-use lock is held by another application of the device", false, std::nullopt});
      return kDeviceInUse;
    case platform::LockResult::Failed:
      if (DeviceLink.Services.diagnostics != nullptr)
        DeviceLink.Services.diagnostics->Add(
            {"the in-use lock cannot be taken", false, std::nullopt});
      return kDeviceInUse;
  }
  DeviceLink.LockHeld = true;

  ClearInputReport();
  InitCommandReport();

  const int r = FindDevice();
  if (r != kOk) {
    ReleaseLinkLocked();
    return r;
  }
  {
    std::lock_guard readGuard(g_readMutex);
    g_replySource = {DeviceLink.ReadHandle.get(), DeviceLink.InputReportLength};
  }
  try {
    DeviceLink.ReaderHandle = std::jthread(ReaderThread);
  } catch (const std::system_error&) {
    ReleaseLinkLocked();
    return kDeviceRefused;
  }
  return kOk;
}

int CloseDeviceLink() {
  std::lock_guard guard(g_linkMutex);
  ReleaseLinkLocked();
  return kOk;
}

ReplyReadResult ReadLatestReply(int timeoutMs, std::uint8_t& code) {
  if (g_replySourceClosing.load())
    return ReplyEvent.Exists() ? ReplyReadResult::Failed : ReplyReadResult::NoEvent;
  std::lock_guard guard(g_readMutex);
  bool taken = false;
  switch (ReplyEvent.TakeIfSignalled(code)) {
    case ReplyEventSlot::State::Absent:
      return ReplyReadResult::NoEvent;
    case ReplyEventSlot::State::Signalled:
      taken = true;
      break;
    case ReplyEventSlot::State::Clear:
      break;
  }
  platform::HidHandle* handle = g_replySource.handle;
  if (handle == nullptr) return taken ? ReplyReadResult::Reply : ReplyReadResult::Failed;
  std::array<std::uint8_t, platform::kReportBufferSize> report{};
  platform::ReadResult r = handle->Read(report.data(), g_replySource.length, taken ? 0 : timeoutMs);
  while (r.status == platform::ReadStatus::Data) {
    code = report[1];
    taken = true;
    r = handle->Read(report.data(), g_replySource.length, 0);
  }
  if (!taken)
    return r.status == platform::ReadStatus::Timeout ? ReplyReadResult::Nothing
                                                     : ReplyReadResult::Failed;
  // A taken reply leaves ReplyCode cleared, also when the reader stored one before the run.
  // Nothing is ordered by it, so the store need not fence the hot path.
  ReplyCode.store(0, std::memory_order_relaxed);
  return ReplyReadResult::Reply;
}

void NarrowHidString(std::array<char, 256>& field) {
  std::size_t k = 1;
  while (2 * k < platform::kHidStringQueryBytes && field[2 * k] != '\0') {
    field[k] = field[2 * k];
    ++k;
  }
  field[k] = '\0';
}

bool IsDeviceLinkOpen() {
  std::lock_guard guard(g_linkMutex);
  return IsOpenLocked();
}

std::uint16_t InputReportLength() {
  std::lock_guard guard(g_linkMutex);
  return DeviceLink.InputReportLength;
}

std::uint16_t OutputReportLength() {
  std::lock_guard guard(g_linkMutex);
  return DeviceLink.OutputReportLength;
}

bool WriteOutputReport(const std::array<std::uint8_t, 65>& report) {
  std::lock_guard guard(g_linkMutex);
  if (!DeviceLink.DeviceHandle) return false;
  return DeviceLink.DeviceHandle->Write(report.data(), DeviceLink.OutputReportLength);
}

void ResetDeviceLinkForTests() {
  std::lock_guard guard(g_linkMutex);
  ReleaseLinkLocked();
  DeviceLink.InputReportLength = 0;
  DeviceLink.OutputReportLength = 0;
  DeviceInfo = DeviceInfoRecord{};
  CommandReport.fill(0);
  InputReport.fill(0);
  ReplyCode = 0;
}

}  // namespace kavori::device
