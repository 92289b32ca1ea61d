#include "hidraw/mock_hidraw.hpp"

#include <fcntl.h>
#include <link.h>
#include <linux/hidraw.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace kavori::testing {
namespace {

constexpr std::uint8_t kDoorbell = 0x01;
constexpr unsigned kBusUsb = 0x03;

// ioctl numbers of hidraw, told apart by type and number (the string queries carry a length).
constexpr unsigned kHidrawIoctlType = 'H';
constexpr unsigned kNrRawName = 0x04;
constexpr unsigned kNrRawPhys = 0x05;
constexpr unsigned kNrSetFeature = 0x06;
constexpr unsigned kNrGetFeature = 0x07;
constexpr unsigned kNrRawUniq = 0x08;
constexpr unsigned kNrSetInput = 0x09;
constexpr unsigned kNrGetInput = 0x0A;
constexpr unsigned kNrSetOutput = 0x0B;
constexpr unsigned kNrGetOutput = 0x0C;

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04x", value & 0xFFFF);
  return text;
}

std::string Hex8Upper(unsigned value) {
  char text[12];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

std::string TakeGString(gchar* text) {
  if (text == nullptr) throw std::runtime_error("umockdev returned no path");
  std::string copy(text);
  g_free(text);
  return copy;
}

// Adds a device with attributes and uevent properties given as name/value pairs.
std::string AddDevice(UMockdevTestbed* testbed, const char* subsystem, const std::string& name,
                      const std::string& parent, const std::vector<std::string>& attributes,
                      const std::vector<std::string>& properties) {
  const auto toArgv = [](const std::vector<std::string>& values) {
    std::vector<gchar*> argv;
    for (const std::string& value : values) argv.push_back(const_cast<gchar*>(value.c_str()));
    argv.push_back(nullptr);
    return argv;
  };
  std::vector<gchar*> attributeArgv = toArgv(attributes);
  std::vector<gchar*> propertyArgv = toArgv(properties);
  return TakeGString(umockdev_testbed_add_devicev(testbed, subsystem, name.c_str(),
                                                  parent.empty() ? nullptr : parent.c_str(),
                                                  attributeArgv.data(), propertyArgv.data()));
}

// Resolves the memory an ioctl argument points to; nullptr when the client's memory is unreachable.
UMockdevIoctlData* Resolve(UMockdevIoctlClient* client, std::size_t size) {
  return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
}

// Answers a string query of up to `size` bytes as the kernel does: the bytes and a terminator,
// cut to fit; the result is the number of bytes copied.
void CompleteStringQuery(UMockdevIoctlClient* client, std::size_t size, std::string_view text) {
  UMockdevIoctlData* data = Resolve(client, size);
  if (data == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  const std::size_t n = std::min(size, text.size() + 1);
  std::memcpy(data->data, text.data(), std::min(n, text.size()));
  if (n > text.size()) data->data[text.size()] = '\0';
  umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
  g_object_unref(data);
}

int FindPreload(dl_phdr_info* info, std::size_t, void* found) {
  if (std::strstr(info->dlpi_name, "libumockdev-preload") != nullptr) {
    *static_cast<bool*>(found) = true;
  }
  return 0;
}

}  // namespace

bool UmockdevPreloadActive() {
  bool found = false;
  dl_iterate_phdr(FindPreload, &found);
  return found;
}

MockHidrawDevice::MockHidrawDevice(UMockdevTestbed* testbed, std::string root,
                                   MockIdentity identity, int port, int hidrawNumber)
    : testbed_(testbed),
      root_(std::move(root)),
      identity_(std::move(identity)),
      port_(port),
      hidrawNumber_(hidrawNumber),
      node_("/dev/hidraw" + std::to_string(hidrawNumber)) {}

MockHidrawDevice::~MockHidrawDevice() {
  if (handler_ == nullptr) return;
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
}

void MockHidrawDevice::Plug() {
  // The node: a raw PTY, so that every doorbell byte is readable at once and nothing echoes.
  termios raw{};
  cfmakeraw(&raw);
  int master = -1;
  int slave = -1;
  char slaveName[64] = {};
  if (::openpty(&master, &slave, slaveName, &raw, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);
  struct stat st {};
  ::fstat(slave, &st);
  const std::string major = std::to_string(::major(st.st_rdev));
  const std::string minor = std::to_string(::minor(st.st_rdev));
  ptyName_ = slaveName;
  {
    const std::lock_guard lock(mutex_);
    masterFd_ = master;
    slaveFd_ = slave;
    plugged_ = true;
  }

  const std::string hidrawName = "hidraw" + std::to_string(hidrawNumber_);
  g_mkdir_with_parents((root_ + "/dev").c_str(), 0755);
  if (::symlink(slaveName, (root_ + node_).c_str()) != 0) {
    throw std::runtime_error("symlink " + root_ + node_ + ": " + std::strerror(errno));
  }

  // The handler must be in place before the node appears.
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(OnRead), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(OnWrite), this);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("attach_ioctl " + node_ + ": " + message);
  }
  attached_ = true;

  const std::string usbName = "1-" + std::to_string(port_);
  const std::string interfaceName = usbName + ":1.0";
  char hidName[32];
  std::snprintf(hidName, sizeof(hidName), "0003:%04X:%04X.%04X", identity_.vendorId,
                identity_.productId, port_);

  std::vector<std::string> usbAttributes = {
      "idVendor",     Hex4(identity_.vendorId), "idProduct", Hex4(identity_.productId),
      "bcdDevice",    Hex4(identity_.release),  "product",   identity_.product,
      "manufacturer", identity_.manufacturer};
  // A USB device without a serial number has no such attribute at all.
  if (!identity_.serial.empty()) {
    usbAttributes.insert(usbAttributes.end(), {"serial", identity_.serial});
  }
  paths_.usb =
      AddDevice(testbed_, "usb", "usb1/" + usbName, "", usbAttributes, {"DEVTYPE", "usb_device"});
  const std::string interface = AddDevice(testbed_, "usb", interfaceName, paths_.usb,
                                          {"bInterfaceNumber", "00"}, {"DEVTYPE", "usb_interface"});
  paths_.hid = AddDevice(
      testbed_, "hid", hidName, interface, {},
      {"HID_ID", "0003:" + Hex8Upper(identity_.vendorId) + ":" + Hex8Upper(identity_.productId),
       "HID_NAME", identity_.manufacturer + " " + identity_.product, "HID_UNIQ", identity_.serial});
  umockdev_testbed_set_attribute_binary(testbed_, paths_.hid.c_str(), "report_descriptor",
                                        const_cast<guint8*>(device::kReportDescriptor.data()),
                                        static_cast<gint>(device::kReportDescriptor.size()));
  paths_.hidraw =
      AddDevice(testbed_, "hidraw", "hidraw/" + hidrawName, paths_.hid,
                {"dev", major + ":" + minor}, {"DEVNAME", node_, "MAJOR", major, "MINOR", minor});
  // Filtered enumeration reads the HID device's uevent through this link.
  umockdev_testbed_set_attribute_link(testbed_, paths_.hidraw.c_str(), "device",
                                      ("../../../" + std::string(hidName)).c_str());

  paths_.links = {"/sys/class/hidraw/" + hidrawName,
                  "/sys/bus/usb/devices/" + usbName,
                  "/sys/bus/usb/devices/" + interfaceName,
                  "/sys/bus/hid/devices/" + std::string(hidName),
                  "/sys/dev/char/" + major + ":" + minor,
                  node_,
                  "/dev/.node/" + hidrawName};
}

void MockHidrawDevice::Unplug() {
  if (!Plugged()) return;
  umockdev_testbed_uevent(testbed_, paths_.hidraw.c_str(), "remove");
  umockdev_testbed_uevent(testbed_, paths_.hid.c_str(), "remove");
  umockdev_testbed_uevent(testbed_, paths_.usb.c_str(), "remove");
  for (const std::string& link : paths_.links) ::unlink((root_ + link).c_str());

  {
    const std::lock_guard lock(mutex_);
    plugged_ = false;
    ::close(masterFd_);
    ::close(slaveFd_);
    masterFd_ = slaveFd_ = -1;
    queue_.clear();
  }
  if (attached_) {
    umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
    attached_ = false;
  }
}

bool MockHidrawDevice::Plugged() const {
  const std::lock_guard lock(mutex_);
  return plugged_;
}

std::vector<std::vector<std::uint8_t>> MockHidrawDevice::Received() const {
  const std::lock_guard lock(mutex_);
  return received_;
}

bool MockHidrawDevice::WaitForReceived(std::size_t count, std::chrono::milliseconds bound) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, bound, [&] { return received_.size() >= count; });
}

void MockHidrawDevice::SendInputReport(const MockInputReport& report) {
  const std::lock_guard lock(mutex_);
  if (plugged_) DeliverLocked(std::vector<std::uint8_t>(report.begin(), report.end()));
}

void MockHidrawDevice::SendInputBytes(std::vector<std::uint8_t> report) {
  const std::lock_guard lock(mutex_);
  if (plugged_) DeliverLocked(std::move(report));
}

void MockHidrawDevice::DenyAccess() { ::chmod(ptyName_.c_str(), 0); }

int MockHidrawDevice::OpenClients() const {
  int own = -1;
  {
    const std::lock_guard lock(mutex_);
    own = slaveFd_;
  }
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    if (std::to_string(own) == entry.path().filename().string()) continue;
    if (std::filesystem::read_symlink(entry.path(), error) == ptyName_) ++count;
  }
  return count;
}

void MockHidrawDevice::DeliverLocked(std::vector<std::uint8_t> report) {
  queue_.push_back(std::move(report));
  const std::uint8_t doorbell = kDoorbell;
  if (::write(masterFd_, &doorbell, 1) != 1) std::perror("mock hidraw: doorbell");
}

bool MockHidrawDevice::Answer(const std::vector<std::uint8_t>& report,
                              MockInputReport& reply) const {
  const bool loader =
      identity_.vendorId == firmware::kVendorId && (identity_.productId & 0xFF00) == 0x8100;
  // usbhid left out the report id: every byte of the command report sits one place earlier.
  if (!loader || report.size() < device::kReportCommand ||
      !std::equal(device::kReportHeader.begin() + 1, device::kReportHeader.end(), report.begin()))
    return false;
  const std::uint8_t command = report[device::kReportCommand - 1];
  if (command != device::CmdEnterProgramming && command != device::CmdDataBlock &&
      command != device::CmdBurnFlash && command != device::CmdVerify)
    return false;
  reply.fill(0x00);
  reply[0] = device::ReplyAck;
  reply[1] = command;
  return true;
}

int MockHidrawDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<MockHidrawDevice*>(self)->HandleIoctl(client);
  return TRUE;
}

int MockHidrawDevice::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<MockHidrawDevice*>(self)->HandleRead(client);
  return TRUE;
}

int MockHidrawDevice::OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<MockHidrawDevice*>(self)->HandleWrite(client);
  return TRUE;
}

void MockHidrawDevice::HandleIoctl(UMockdevIoctlClient* client) {
  if (!Plugged()) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* data = Resolve(client, sizeof(int));
    if (data == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    const int size = static_cast<int>(device::kReportDescriptor.size());
    std::memcpy(data->data, &size, sizeof(size));
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(data);
    return;
  }
  if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* data = Resolve(client, sizeof(hidraw_report_descriptor));
    if (data == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    auto* descriptor = reinterpret_cast<hidraw_report_descriptor*>(data->data);
    if (descriptor->size > HID_MAX_DESCRIPTOR_SIZE) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
    } else {
      const std::size_t n =
          std::min<std::size_t>(descriptor->size, device::kReportDescriptor.size());
      std::memcpy(descriptor->value, device::kReportDescriptor.data(), n);
      umockdev_ioctl_client_complete(client, 0, 0);
    }
    g_object_unref(data);
    return;
  }
  if (request == HIDIOCGRAWINFO) {
    UMockdevIoctlData* data = Resolve(client, sizeof(hidraw_devinfo));
    if (data == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    hidraw_devinfo info{};
    info.bustype = kBusUsb;
    info.vendor = static_cast<__s16>(identity_.vendorId);
    info.product = static_cast<__s16>(identity_.productId);
    std::memcpy(data->data, &info, sizeof(info));
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(data);
    return;
  }
  if (_IOC_TYPE(request) == kHidrawIoctlType) {
    const std::size_t size = _IOC_SIZE(request);
    switch (_IOC_NR(request)) {
      case kNrRawName:
        return CompleteStringQuery(client, size, identity_.manufacturer + " " + identity_.product);
      case kNrRawPhys:
        return CompleteStringQuery(client, size,
                                   "usb-0000:00:14.0-" + std::to_string(port_) + "/input0");
      case kNrRawUniq:
        return CompleteStringQuery(client, size, identity_.serial);
      case kNrSetFeature:
      case kNrGetFeature:
      case kNrSetInput:
      case kNrGetInput:
      case kNrSetOutput:
      case kNrGetOutput:
        // A Kavori has no such reports: the device stalls the request.
        return umockdev_ioctl_client_complete(client, -1, EPIPE);
      default:
        break;
    }
  }
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
}

void MockHidrawDevice::HandleRead(UMockdevIoctlClient* client) {
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  std::unique_lock lock(mutex_);
  if (!plugged_) {
    lock.unlock();
    umockdev_ioctl_client_complete(client, -1, EIO);
    return;
  }
  if (queue_.empty()) {
    lock.unlock();
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  const std::vector<std::uint8_t> report = std::move(queue_.front());
  queue_.pop_front();
  std::uint8_t doorbell = 0;
  if (::read(slaveFd_, &doorbell, 1) != 1) std::perror("mock hidraw: doorbell back");
  lock.unlock();
  const std::size_t n = std::min<std::size_t>(report.size(), buffer->data_len);
  std::memcpy(buffer->data, report.data(), n);
  umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
}

void MockHidrawDevice::HandleWrite(UMockdevIoctlClient* client) {
  const UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  std::unique_lock lock(mutex_);
  if (!plugged_) {
    lock.unlock();
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  // As usbhid does for a device without report ids: the leading 0x00 never reaches the device.
  const std::uint8_t* begin = buffer->data;
  const std::uint8_t* end = buffer->data + std::max(buffer->data_len, 0);
  if (begin != end && *begin == 0x00) ++begin;
  received_.emplace_back(begin, end);
  changed_.notify_all();
  MockInputReport reply{};
  if (Answer(received_.back(), reply))
    DeliverLocked(std::vector<std::uint8_t>(reply.begin(), reply.end()));
  lock.unlock();
  umockdev_ioctl_client_complete(client, buffer->data_len, 0);
}

MockHidrawBed::MockHidrawBed() : testbed_(umockdev_testbed_new()) {
  root_ = TakeGString(umockdev_testbed_get_root_dir(testbed_));
}

MockHidrawBed::~MockHidrawBed() {
  for (const auto& device : devices_) device->Unplug();
  // Handlers go before the testbed so that no callback can reach a device that is gone.
  devices_.clear();
  g_object_unref(testbed_);
}

MockHidrawDevice& MockHidrawBed::Plug(const MockIdentity& identity) {
  int number = 0;
  const auto taken = [&](int n) {
    return std::any_of(devices_.begin(), devices_.end(), [&](const auto& device) {
      return device->hidrawNumber_ == n && (device->Plugged() || device->OpenClients() > 0);
    });
  };
  while (taken(number)) ++number;
  const int port = nextPort_++;
  devices_.push_back(std::unique_ptr<MockHidrawDevice>(
      new MockHidrawDevice(testbed_, root_, identity, port, number)));
  devices_.back()->Plug();
  return *devices_.back();
}

}  // namespace kavori::testing
