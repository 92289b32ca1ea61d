#include "sim/simulated_world.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <mutex>
#include <span>
#include <utility>

#include "device/protocol.hpp"
#include "firmware/product_ids.hpp"
#include "sim/utf16.hpp"

namespace kavori::sim {
namespace detail {
namespace {

using Clock = std::chrono::steady_clock;
using Report = std::array<std::uint8_t, device::kReportLength>;

constexpr std::size_t kForeign = std::numeric_limits<std::size_t>::max();
constexpr std::uint16_t kForeignRelease = 0x4900;
constexpr char16_t kForeignProduct[] = u"USB Keyboard";
constexpr char kForeignInstance[] = "USB\\VID_046D&PID_C31C\\5&2F3A1B7&0&1";
// A handle that nobody reads (the link's write handle) keeps a bounded queue, as the kernel's
// does; here the latest replies survive.
constexpr std::size_t kQueueLimit = 64;

// As a HID string query does: UTF-16LE units into field[0, length), whole units only, with a
// terminating zero unit when it fits.
bool WriteHidString(const std::u16string& units, std::uint8_t* field, std::size_t length) {
  if (field == nullptr) return false;
  std::size_t k = 0;
  for (; k < units.size() && 2 * k + 1 < length; ++k) {
    field[2 * k] = static_cast<std::uint8_t>(units[k] & 0xFF);
    field[2 * k + 1] = static_cast<std::uint8_t>(units[k] >> 8);
  }
  if (k == units.size() && 2 * k + 1 < length) {
    field[2 * k] = 0;
    field[2 * k + 1] = 0;
  }
  return true;
}

std::u16string ToUnits(const std::string& utf8) {
  std::u16string units;
  detail::Utf8ToUtf16(utf8, units);  // invalid input shows as U+FFFD, as a host would show it
  return units;
}

// Device `index` > 0 of several gets its index in the last two serial characters.
std::string SerialFor(const std::string& serial, unsigned index) {
  if (index == 0) return serial;
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02u", index % 100);
  const bool asciiTail = serial.size() >= 2 &&
                         static_cast<unsigned char>(serial[serial.size() - 1]) < 0x80 &&
                         static_cast<unsigned char>(serial[serial.size() - 2]) < 0x80;
  if (asciiTail) return serial.substr(0, serial.size() - 2) + digits;
  return serial + digits;
}

std::string PathFor(unsigned number) { return "sim:hidraw" + std::to_string(number); }

struct Reappearance {
  Clock::time_point at;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
};

struct Device {
  explicit Device(const SimOptions& options) : model(options) {}

  KavoriModel model;
  std::string serial;
  std::u16string serialUnits;
  bool present = true;
  // Changes at every vanish, so handles of an earlier plug-in stay gone after a replug.
  std::uint64_t incarnation = 0;
  unsigned pathNumber = 0;
  std::optional<Reappearance> reappearance;
  std::optional<Clock::time_point> departure;  // a series unplugs it then
  std::vector<ReceivedReport> reports;
  unsigned opens = 0;
};

}  // namespace

struct QueuedReply {
  Report bytes{};
  Clock::time_point readyAt;
};

struct HandleState {
  std::size_t device = kForeign;
  std::uint64_t incarnation = 0;
  std::deque<QueuedReply> queue;
};

class SimCore : public std::enable_shared_from_this<SimCore> {
 public:
  explicit SimCore(SimOptions options) : options_(std::move(options)) {
    product_ = ToUnits(options_.product);
    const Clock::time_point now = Clock::now();
    const unsigned count = options_.series > 1 ? options_.series : options_.devices;
    for (unsigned i = 0; i < count; ++i) {
      Device device(options_);
      device.serial = SerialFor(options_.serial, i);
      device.serialUnits = ToUnits(device.serial);
      device.pathNumber = nextPath_++;
      // A series plugs its later devices in one after another (ActLocked).
      if (i > 0 && options_.series > 1) device.present = false;
      if (device.present && options_.arrival) {
        device.present = false;
        device.reappearance =
            Reappearance{now + *options_.arrival, device.model.ProductId(), device.model.Release()};
      }
      devices_.push_back(std::move(device));
    }
  }

  std::vector<std::string> Enumerate() {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    std::vector<std::string> paths{PathFor(kForeignPath)};
    for (const Device& device : devices_) {
      if (device.present) paths.push_back(PathFor(device.pathNumber));
    }
    return paths;
  }

  std::unique_ptr<platform::HidHandle> Open(const std::string& path);

  void Unregister(HandleState& handle) {
    std::lock_guard lock(mutex_);
    std::erase(handles_, &handle);
  }

  bool Attributes(const HandleState& handle, platform::HidAttributes& out) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (!PresentLocked(handle)) return false;
    if (handle.device == kForeign) {
      out = {kForeignVendorId, kForeignProductId, kForeignRelease};
    } else {
      const Device& device = devices_[handle.device];
      out = {firmware::kVendorId, device.model.ProductId(), device.model.Release()};
    }
    return true;
  }

  bool String(const HandleState& handle, bool serial, std::uint8_t* field, std::size_t length) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (!PresentLocked(handle)) return false;
    if (handle.device == kForeign)
      return WriteHidString(serial ? std::u16string() : std::u16string(kForeignProduct), field,
                            length);
    return WriteHidString(serial ? devices_[handle.device].serialUnits : product_, field, length);
  }

  bool ReportLengths(const HandleState& handle, platform::HidReportLengths& out) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (!PresentLocked(handle)) return false;
    out = {device::kReportLength, device::kReportLength};
    return true;
  }

  bool Write(const HandleState& handle, const std::uint8_t* report, std::size_t length) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    AdvanceLocked(now);
    if (!PresentLocked(handle) || report == nullptr || length == 0 ||
        length > device::kReportLength)
      return false;
    if (handle.device == kForeign) return true;
    ReceivedReport received;
    received.bytes.assign(report, report + length);
    received.command = length > 3 ? report[3] : 0;
    devices_[handle.device].reports.push_back(std::move(received));
    ActLocked(handle.device, std::span(report, length), now);
    return true;
  }

  platform::ReadResult Read(HandleState& handle, std::uint8_t* buffer, std::size_t length,
                            int timeoutMs) {
    if (buffer == nullptr || length == 0) return {platform::ReadStatus::Error, 0};
    std::unique_lock lock(mutex_);
    // Time matters only to queued replies and to waits: a handle's presence cannot change by
    // itself (a reappearance is a new incarnation), so a look at an empty queue needs no clock.
    if (timeoutMs <= 0 && handle.queue.empty())
      return {PresentLocked(handle) ? platform::ReadStatus::Timeout : platform::ReadStatus::Gone,
              0};
    // Every read has a bound; a negative one counts as 0, as on the real backend.
    auto now = Clock::now();
    const auto deadline = now + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (true) {
      AdvanceLocked(now);
      if (!PresentLocked(handle)) return {platform::ReadStatus::Gone, 0};
      if (!handle.queue.empty() && handle.queue.front().readyAt <= now) {
        const std::size_t n = std::min(length, device::kReportLength);
        std::copy_n(handle.queue.front().bytes.begin(), n, buffer);
        handle.queue.pop_front();
        return {platform::ReadStatus::Data, n};
      }
      if (now >= deadline) return {platform::ReadStatus::Timeout, 0};
      const auto wakeAt =
          handle.queue.empty() ? deadline : std::min(handle.queue.front().readyAt, deadline);
      changed_.wait_until(lock, wakeAt);
      now = Clock::now();
    }
  }

  platform::LockResult AcquireLock() {
    std::lock_guard lock(mutex_);
    if (options_.lockHeld || lockHeld_) return platform::LockResult::InUse;
    lockHeld_ = true;
    return platform::LockResult::Acquired;
  }

  void ReleaseLock() {
    std::lock_guard lock(mutex_);
    lockHeld_ = false;
  }

  bool LockHeld() const {
    std::lock_guard lock(mutex_);
    return lockHeld_;
  }

  // The `held-by` process holds the node of every present Kavori.
  std::vector<platform::LockHolder> OtherHolders(const std::string& path) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (!options_.heldBy) return {};
    for (const Device& device : devices_) {
      if (device.present && PathFor(device.pathNumber) == path) {
        platform::LockHolder holder;
        holder.pid = options_.heldBy->first;
        holder.command = options_.heldBy->second;
        return {holder};
      }
    }
    return {};
  }

  std::optional<std::vector<std::string>> Instances() {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (options_.listUnreadable) return std::nullopt;
    std::vector<std::string> list{kForeignInstance};
    for (const Device& device : devices_) {
      if (!device.present) continue;
      char prefix[32];
      std::snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X\\", firmware::kVendorId,
                    device.model.ProductId());
      list.push_back(prefix + device.serial);
    }
    return list;
  }

  std::size_t DeviceCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
  }

  std::optional<DeviceSnapshot> Snapshot(std::size_t index) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (index >= devices_.size()) return std::nullopt;
    const Device& device = devices_[index];
    DeviceSnapshot snapshot;
    snapshot.present = device.present;
    snapshot.loaderMode = IsSimLoaderId(device.model.ProductId());
    snapshot.productId = device.model.ProductId();
    snapshot.release = device.model.Release();
    snapshot.path = device.present ? PathFor(device.pathNumber) : std::string();
    snapshot.serial = device.serial;
    snapshot.flash = device.model.Flash();
    snapshot.download = device.model.Download();
    snapshot.reports = device.reports;
    snapshot.opens = device.opens;
    snapshot.openHandles = static_cast<unsigned>(
        std::count_if(handles_.begin(), handles_.end(),
                      [&](const HandleState* h) { return h->device == index; }));
    return snapshot;
  }

  void Unplug(std::size_t index) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (index >= devices_.size()) return;
    Device& device = devices_[index];
    device.reappearance.reset();
    if (device.present) VanishLocked(index);
  }

  // The world is going away: every device vanishes for good, so open handles report Gone and
  // blocked reads wake.
  void Shutdown() {
    std::lock_guard lock(mutex_);
    for (std::size_t index = 0; index < devices_.size(); ++index) {
      devices_[index].reappearance.reset();
      if (devices_[index].present) VanishLocked(index);
    }
    shutDown_ = true;
    changed_.notify_all();
  }

  void Plug(std::size_t index) {
    std::lock_guard lock(mutex_);
    AdvanceLocked(Clock::now());
    if (shutDown_ || index >= devices_.size() || devices_[index].present) return;
    AppearLocked(devices_[index]);
  }

 private:
  static constexpr unsigned kForeignPath = 0;

  bool PresentLocked(const HandleState& handle) const {
    if (handle.device == kForeign) return !shutDown_;
    const Device& device = devices_[handle.device];
    return device.present && device.incarnation == handle.incarnation;
  }

  // Brings reappearances that are due into effect; the lazy clock of the world.
  void AdvanceLocked(Clock::time_point now) {
    // Departures first: a series never shows two devices at once.
    for (std::size_t index = 0; index < devices_.size(); ++index) {
      Device& device = devices_[index];
      if (device.departure && *device.departure <= now) {
        // A return due before the departure came first, though nobody looked in between.
        if (!device.present && device.reappearance && device.reappearance->at <= *device.departure)
          AppearLocked(device);
        device.departure.reset();
        if (device.present) VanishLocked(index);
      }
    }
    for (Device& device : devices_) {
      if (!device.present && device.reappearance && device.reappearance->at <= now)
        AppearLocked(device);
    }
  }

  void AppearLocked(Device& device) {
    if (device.reappearance) {
      device.model.Reappear(device.reappearance->productId, device.reappearance->release);
      device.reappearance.reset();
    }
    device.present = true;
    device.pathNumber = nextPath_++;
  }

  void VanishLocked(std::size_t index) {
    Device& device = devices_[index];
    device.present = false;
    device.model.Vanished();
    ++device.incarnation;
    for (HandleState* handle : handles_) {
      if (handle->device == index) handle->queue.clear();
    }
    changed_.notify_all();
  }

  void ReplyLocked(std::size_t index, std::uint8_t code, Clock::time_point now) {
    QueuedReply reply;
    reply.bytes[0] = 0x00;
    reply.bytes[1] = code;
    reply.readyAt = now + options_.latency;
    for (HandleState* handle : handles_) {
      if (handle->device != index || handle->incarnation != devices_[index].incarnation) continue;
      if (handle->queue.size() >= kQueueLimit) handle->queue.pop_front();
      handle->queue.push_back(reply);
    }
    changed_.notify_all();
  }

  void ActLocked(std::size_t index, std::span<const std::uint8_t> report, Clock::time_point now) {
    Device& device = devices_[index];
    const ModelResponse response = device.model.Receive(report);
    if (response.reply) ReplyLocked(index, *response.reply, now);
    switch (response.presence) {
      case Presence::Stays:
        return;
      case Presence::Vanishes:
        VanishLocked(index);
        return;
      case Presence::Replugs:
        VanishLocked(index);
        device.reappearance =
            Reappearance{now + response.after, response.productId, response.release};
        // After its restart the bench takes the device away and plugs in the next one.
        if (report.size() > 3 && report[3] == device::CmdRestart && index + 1 < devices_.size() &&
            options_.series > 1) {
          const Clock::time_point gone = now + response.after + kSeriesUnplugAfter;
          device.departure = gone;
          Device& next = devices_[index + 1];
          next.reappearance =
              Reappearance{gone + kSeriesNextAfter, next.model.ProductId(), next.model.Release()};
        }
        return;
    }
  }

  const SimOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a reply was queued or a device vanished
  // Guarded by mutex_:
  std::u16string product_;
  std::vector<Device> devices_;
  std::vector<HandleState*> handles_;
  unsigned nextPath_ = kForeignPath + 1;
  bool lockHeld_ = false;
  bool shutDown_ = false;
};

namespace {

class SimHandle final : public platform::HidHandle {
 public:
  SimHandle(std::shared_ptr<SimCore> core, std::size_t device, std::uint64_t incarnation)
      : core_(std::move(core)) {
    state_.device = device;
    state_.incarnation = incarnation;
  }
  ~SimHandle() override { core_->Unregister(state_); }
  SimHandle(const SimHandle&) = delete;
  SimHandle& operator=(const SimHandle&) = delete;

  HandleState& State() { return state_; }

  bool GetAttributes(platform::HidAttributes& out) override {
    return core_->Attributes(state_, out);
  }
  bool GetSerialNumberString(std::uint8_t* field, std::size_t length) override {
    return core_->String(state_, true, field, length);
  }
  bool GetProductString(std::uint8_t* field, std::size_t length) override {
    return core_->String(state_, false, field, length);
  }
  bool GetReportLengths(platform::HidReportLengths& out) override {
    return core_->ReportLengths(state_, out);
  }
  bool Write(const std::uint8_t* report, std::size_t length) override {
    return core_->Write(state_, report, length);
  }
  platform::ReadResult Read(std::uint8_t* buffer, std::size_t length, int timeoutMs) override {
    return core_->Read(state_, buffer, length, timeoutMs);
  }

 private:
  std::shared_ptr<SimCore> core_;
  HandleState state_;
};

class SimHidBackend final : public platform::HidBackend {
 public:
  explicit SimHidBackend(std::shared_ptr<SimCore> core) : core_(std::move(core)) {}
  std::vector<std::string> EnumerateInterfaces() override { return core_->Enumerate(); }
  std::unique_ptr<platform::HidHandle> Open(const std::string& path) override {
    return core_->Open(path);
  }

 private:
  std::shared_ptr<SimCore> core_;
};

class SimInUseLock final : public platform::InUseLock {
 public:
  explicit SimInUseLock(std::shared_ptr<SimCore> core) : core_(std::move(core)) {}
  platform::LockResult Acquire() override { return core_->AcquireLock(); }
  void Release() override { core_->ReleaseLock(); }

 private:
  std::shared_ptr<SimCore> core_;
};

class SimNodeHolders final : public platform::NodeHolders {
 public:
  explicit SimNodeHolders(std::shared_ptr<SimCore> core) : core_(std::move(core)) {}
  std::vector<platform::LockHolder> OtherHolders(const std::string& path) override {
    return core_->OtherHolders(path);
  }

 private:
  std::shared_ptr<SimCore> core_;
};

class SimInstanceList final : public platform::DeviceInstanceList {
 public:
  explicit SimInstanceList(std::shared_ptr<SimCore> core) : core_(std::move(core)) {}
  std::optional<std::vector<std::string>> Read() override { return core_->Instances(); }

 private:
  std::shared_ptr<SimCore> core_;
};

}  // namespace

std::unique_ptr<platform::HidHandle> SimCore::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  AdvanceLocked(Clock::now());
  std::size_t index = kForeign;
  if (path != PathFor(kForeignPath)) {
    const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const Device& device) {
      return device.present && PathFor(device.pathNumber) == path;
    });
    if (it == devices_.end()) return nullptr;
    index = static_cast<std::size_t>(it - devices_.begin());
    ++it->opens;
  }
  const std::uint64_t incarnation = index == kForeign ? 0 : devices_[index].incarnation;
  // Reserved first: a failing push_back would destroy the handle, whose unregistering needs the
  // mutex held here.
  handles_.reserve(handles_.size() + 1);
  auto handle = std::make_unique<SimHandle>(shared_from_this(), index, incarnation);
  handles_.push_back(&handle->State());
  return handle;
}

}  // namespace detail

SimulatedWorld::SimulatedWorld(SimOptions options)
    : core_(std::make_shared<detail::SimCore>(std::move(options))),
      hid_(std::make_unique<detail::SimHidBackend>(core_)),
      lock_(std::make_unique<detail::SimInUseLock>(core_)),
      instances_(std::make_unique<detail::SimInstanceList>(core_)),
      holders_(std::make_unique<detail::SimNodeHolders>(core_)) {}

SimulatedWorld::~SimulatedWorld() { core_->Shutdown(); }

platform::Platform SimulatedWorld::Services() {
  return {hid_.get(), lock_.get(), instances_.get(), nullptr, platform::Pauses{}, holders_.get()};
}

std::size_t SimulatedWorld::DeviceCount() const { return core_->DeviceCount(); }

std::optional<DeviceSnapshot> SimulatedWorld::Snapshot(std::size_t index) const {
  return core_->Snapshot(index);
}

bool SimulatedWorld::LockHeld() const { return core_->LockHeld(); }

void SimulatedWorld::Unplug(std::size_t index) { core_->Unplug(index); }

void SimulatedWorld::Plug(std::size_t index) { core_->Plug(index); }

}  // namespace kavori::sim
