#include "device/device_link.hpp"

#include <algorithm>
#include <string>

#include "device/commands.hpp"
#include "device/results.hpp"
#include "firmware/product_ids.hpp"

namespace kavori::device {

using firmware::IsLoaderModeId;
using firmware::IsNormalModeId;
using firmware::kVendorId;

namespace {

std::uint16_t BoundedLength(std::uint16_t length) {
  return static_cast<std::uint16_t>(std::min<std::size_t>(length, platform::kReportBufferSize));
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

std::string IdsText(const platform::HidAttributes& attributes) {
  return "vendor " + platform::UsbIdText(attributes.vendorId) + " product " +
         platform::UsbIdText(attributes.productId);
}

}  // namespace

DeviceLink::DeviceLink(const platform::Platform& services) : services_(services) {}

DeviceLink::~DeviceLink() { CloseDeviceLink(); }

std::vector<platform::Diagnostic> DeviceLink::TakeDiagnostics() {
  return services_.diagnostics != nullptr ? services_.diagnostics->Take()
                                          : std::vector<platform::Diagnostic>{};
}

void DeviceLink::Note(const std::string& path, const std::string& why,
                      std::optional<std::uint16_t> vendorId) {
  if (services_.diagnostics == nullptr) return;
  services_.diagnostics->Add({path + ": " + why, false, vendorId});
}

void DeviceLink::ReleaseLinkLocked() {
  replies_.Detach();
  deviceHandle_.reset();
  readHandle_.reset();
  if (lockHeld_) {
    services_.lock->Release();
    lockHeld_ = false;
  }
}

void VisitInterfaces(const platform::Platform& services,
                     const std::function<bool(InterfaceSeen&)>& visit) {
  if (services.hid == nullptr) return;
  for (const std::string& path : services.hid->EnumerateInterfaces()) {
    InterfaceSeen seen{path, services.hid->Open(path), std::nullopt};
    platform::HidAttributes attributes;
    if (seen.handle && seen.handle->GetAttributes(attributes)) {
      seen.attributes = attributes;
    } else if (seen.handle && services.diagnostics != nullptr) {
      services.diagnostics->Add({path + ": its USB ids cannot be read", false, std::nullopt});
    }
    if (!visit(seen)) return;
  }
}

// With the lock just taken: 0 (accepted and opened), -4 (another process holds the node open),
// -20, or -22.
int DeviceLink::FindDevice(bool watchingReconnect) {
  int result = kNoDevice;
  VisitInterfaces(services_, [&](InterfaceSeen& seen) {
    if (!seen.attributes) return true;
    const platform::HidAttributes& attributes = *seen.attributes;
    const std::string& path = seen.path;
    const std::uint16_t id = attributes.productId;
    if (attributes.vendorId != kVendorId || !(IsNormalModeId(id) || IsLoaderModeId(id))) {
      Note(path, IdsText(attributes) + " is not a Kavori", attributes.vendorId);
      return true;
    }

    const std::uint32_t versionWord =
        (static_cast<std::uint32_t>(id) << 16) | attributes.releaseNumber;
    if (IsNormalModeId(id) && watchingReconnect) {
      Note(path, IdsText(attributes) + " still runs its normal firmware, not its loader",
           attributes.vendorId);
      deviceInfo_.ProductId = id;
      deviceInfo_.VersionWord = versionWord;
      loaderMode_ = false;
      result = kDeviceRefused;
      return false;
    }

    // Another application holds the node open (other applications take no in-use lock on
    // Linux): the device is in use, as with the held lock. Asked before the node is opened for
    // use, that is before its strings, its second handle and any report.
    if (services_.holders != nullptr) {
      const std::vector<platform::LockHolder> holders = services_.holders->OtherHolders(path);
      if (!holders.empty()) {
        if (services_.diagnostics != nullptr) {
          for (const platform::LockHolder& holder : holders)
            services_.diagnostics->Add({path + ": " + IdsText(attributes) +
                                            " is held open by another application, " +
                                            platform::HolderText(holder),
                                        false, attributes.vendorId, true});
        }
        result = kDeviceInUse;
        return false;
      }
    }

    // Without report lengths or a second handle the device cannot be driven: pass it over like
    // an interface that cannot be opened, leaving DeviceInfo to the device actually accepted.
    platform::HidReportLengths lengths;
    if (!seen.handle->GetReportLengths(lengths)) {
      Note(path, IdsText(attributes) + ": its report lengths are unknown", attributes.vendorId);
      return true;
    }
    std::unique_ptr<platform::HidHandle> readHandle = services_.hid->Open(path);
    if (!readHandle) return true;

    deviceInfo_.ProductId = id;
    deviceInfo_.VersionWord = versionWord;
    loaderMode_ = IsLoaderModeId(id);
    platform::HidHandle& handle = *seen.handle;
    ReadHidString(deviceInfo_.SerialString, [&](std::uint8_t* field, std::size_t length) {
      return handle.GetSerialNumberString(field, length);
    });
    ReadHidString(deviceInfo_.ProductString, [&](std::uint8_t* field, std::size_t length) {
      return handle.GetProductString(field, length);
    });

    inputReportLength_ = BoundedLength(lengths.input);
    outputReportLength_ = BoundedLength(lengths.output);
    deviceHandle_ = std::move(seen.handle);
    readHandle_ = std::move(readHandle);
    result = kOk;
    return false;
  });
  return result;
}

int DeviceLink::OpenDeviceLink(bool watchingReconnect) {
  std::lock_guard guard(mutex_);
  if (services_.lock == nullptr || services_.hid == nullptr) return kNoDevice;
  // Held by this link already: a lock that would grant it twice must not replace the handles the
  // reply channel reads.
  if (lockHeld_) return kDeviceInUse;
  switch (services_.lock->Acquire()) {
    case platform::LockResult::Acquired:
      break;
    case platform::LockResult::InUse:
      if (services_.diagnostics != nullptr)
        services_.diagnostics->Add(
            {"the in-use lock is held by another application of the device", false, std::nullopt});
      return kDeviceInUse;
    case platform::LockResult::Failed:
      if (services_.diagnostics != nullptr)
        services_.diagnostics->Add({"the in-use lock cannot be taken", false, std::nullopt});
      return kDeviceInUse;
  }
  lockHeld_ = true;

  replies_.ClearInputReport();
  InitCommandReport(commandReport_);

  const int r = FindDevice(watchingReconnect);
  if (r != kOk) {
    ReleaseLinkLocked();
    return r;
  }
  replies_.Attach(readHandle_.get(), inputReportLength_);
  return kOk;
}

int DeviceLink::CloseDeviceLink() {
  std::lock_guard guard(mutex_);
  ReleaseLinkLocked();
  return kOk;
}

bool DeviceLink::IsDeviceLinkOpen() const {
  std::lock_guard guard(mutex_);
  return lockHeld_;
}

DeviceInfoRecord DeviceLink::DeviceInfo() const {
  std::lock_guard guard(mutex_);
  return deviceInfo_;
}

std::uint16_t DeviceLink::InputReportLength() const {
  std::lock_guard guard(mutex_);
  return inputReportLength_;
}

std::uint16_t DeviceLink::OutputReportLength() const {
  std::lock_guard guard(mutex_);
  return outputReportLength_;
}

bool DeviceLink::WriteOutputReport(const std::array<std::uint8_t, kReportLength>& report) {
  std::lock_guard guard(mutex_);
  if (!deviceHandle_) return false;
  return deviceHandle_->Write(report.data(), outputReportLength_);
}

void NarrowHidString(std::array<char, 256>& field) {
  std::size_t k = 1;
  while (2 * k < platform::kHidStringQueryBytes && field[2 * k] != '\0') {
    field[k] = field[2 * k];
    ++k;
  }
  field[k] = '\0';
}

}  // namespace kavori::device
