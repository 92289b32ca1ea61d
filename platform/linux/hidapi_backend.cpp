#include "platform/linux/hidapi_backend.hpp"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/hid_conversions.hpp"
#include "platform/linux/report_descriptor.hpp"

namespace kavori::platform::host {
namespace {

// Guards hidapi's process-wide state (see the header).
std::mutex& HidapiMutex() {
  static std::mutex mutex;
  return mutex;
}

// hidapi turns the kernel's UTF-8 device strings into wide strings with mbstowcs, which follows
// LC_CTYPE: in a process that never set its locale ("C") every non-ASCII string would come back
// empty. Each call into hidapi therefore runs with a UTF-8 character type on its own thread.
locale_t Utf8CharacterType() {
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return utf8;
}

// One call into hidapi: serialised, and with UTF-8 string conversion.
class HidapiCall {
 public:
  HidapiCall() : lock_(HidapiMutex()) {
    if (Utf8CharacterType() != static_cast<locale_t>(0))
      previous_ = ::uselocale(Utf8CharacterType());
  }
  ~HidapiCall() {
    if (previous_ != static_cast<locale_t>(0)) ::uselocale(previous_);
  }
  HidapiCall(const HidapiCall&) = delete;
  HidapiCall& operator=(const HidapiCall&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  locale_t previous_ = static_cast<locale_t>(0);
};

struct HidDeviceCloser {
  void operator()(hid_device* device) const {
    const HidapiCall call;
    hid_close(device);
  }
};
using HidDevicePtr = std::unique_ptr<hid_device, HidDeviceCloser>;

// What the node says about itself before hidapi sees it: hidapi 0.13.1 crashes (frees an
// uninitialised pointer) when asked to open a node that opens but is not a hidraw node, so such
// a path never reaches it.
struct NodeProbe {
  int openError = 0;                   // errno of a failed open, 0 when it opened
  bool hidraw = false;                 // answers the hidraw descriptor size query
  bool descriptor = false;             // the report descriptor could be read
  std::optional<ReportLayout> layout;  // nullopt when the descriptor is unreadable or malformed
};

NodeProbe ProbeHidrawNode(const std::string& path) {
  NodeProbe probe;
  // Read and write, as the link will: a node this user may only read fails here with its reason.
  // Non-blocking, so that a FIFO or a terminal given as path cannot hang the open.
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    probe.openError = errno;
    return probe;
  }
  int size = 0;
  probe.hidraw = ::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0;
  if (probe.hidraw) {
    auto descriptor = std::make_unique<hidraw_report_descriptor>();
    descriptor->size = static_cast<std::uint32_t>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
    probe.descriptor = ::ioctl(fd, HIDIOCGRDESC, descriptor.get()) == 0;
    if (probe.descriptor)
      probe.layout = ParseReportDescriptor(std::span(descriptor->value, descriptor->size));
  }
  ::close(fd);
  return probe;
}

// The device number behind a node, 0 when it cannot be learnt.
dev_t DeviceNumber(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_rdev : 0;
}

class HidapiHandle final : public HidHandle {
 public:
  HidapiHandle(HidDevicePtr device, std::string path, std::optional<ReportLayout> layout)
      : device_(std::move(device)),
        path_(std::move(path)),
        layout_(layout),
        deviceNumber_(DeviceNumber(path_)) {}

  bool GetAttributes(HidAttributes& out) override {
    const HidapiCall call;
    const hid_device_info* info = hid_get_device_info(device_.get());
    if (info == nullptr) return false;
    out.vendorId = info->vendor_id;
    out.productId = info->product_id;
    out.releaseNumber = info->release_number;
    return true;
  }

  bool GetSerialNumberString(std::uint8_t* field, std::size_t length) override {
    return QueryString(hid_get_serial_number_string, field, length);
  }

  bool GetProductString(std::uint8_t* field, std::size_t length) override {
    return QueryString(hid_get_product_string, field, length);
  }

  bool GetReportLengths(HidReportLengths& out) override {
    if (!layout_) return false;
    out = layout_->lengths;
    return true;
  }

  bool Write(const std::uint8_t* report, std::size_t length) override {
    if (report == nullptr || length == 0 || length > kReportBufferSize) return false;
    const int written = hid_write(device_.get(), report, length);
    return written >= 0 && static_cast<std::size_t>(written) == length;
  }

  ReadResult Read(std::uint8_t* buffer, std::size_t length, int timeoutMs) override {
    if (gone_) return {ReadStatus::Gone, 0};
    if (!layout_ || buffer == nullptr || length == 0) return {ReadStatus::Error, 0};

    std::array<std::uint8_t, kReportBufferSize> raw{};
    errno = 0;
    const int n = hid_read_timeout(device_.get(), raw.data(), raw.size(), std::max(timeoutMs, 0));
    const int error = errno;
    if (n > 0) {
      const std::size_t capacity = std::min(length, kReportBufferSize);
      const std::size_t stored = NormaliseInputReport(raw.data(), static_cast<std::size_t>(n),
                                                      layout_->numbered, buffer, capacity);
      // A report is always as long as the descriptor says: what the device did not send reads
      // as zeros, never as the bytes of an earlier report (a stale acknowledgement).
      const std::size_t full = std::min<std::size_t>(capacity, layout_->lengths.input);
      if (stored < full) std::fill(buffer + stored, buffer + full, std::uint8_t{0});
      return {ReadStatus::Data, std::max(stored, full)};
    }
    if (n == 0) return {ReadStatus::Timeout, 0};
    // hidapi reports an unplug as a poll error without errno, so the node itself is asked too.
    // The kernel keeps a hidraw minor reserved while it is open, so a node of the same name and
    // number is still ours.
    if (error == ENODEV || error == EIO || NodeVanished()) {
      gone_ = true;
      return {ReadStatus::Gone, 0};
    }
    return {ReadStatus::Error, 0};
  }

 private:
  using StringQuery = int (*)(hid_device*, wchar_t*, std::size_t);

  bool QueryString(StringQuery query, std::uint8_t* field, std::size_t length) {
    if (field == nullptr) return false;
    std::array<wchar_t, kHidStringFieldSize> text{};
    {
      const HidapiCall call;
      if (query(device_.get(), text.data(), text.size()) != 0) return false;
    }
    const auto end = std::find(text.begin(), text.end(), L'\0');
    WriteUtf16Field(std::wstring_view(text.data(), static_cast<std::size_t>(end - text.begin())),
                    field, length);
    return true;
  }

  bool NodeVanished() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return true;
    return deviceNumber_ != 0 && st.st_rdev != deviceNumber_;
  }

  HidDevicePtr device_;
  const std::string path_;
  const std::optional<ReportLayout> layout_;
  const dev_t deviceNumber_;
  // Once gone, a handle stays gone; only the one thread using the handle touches this.
  bool gone_ = false;
};

}  // namespace

HidapiBackend::HidapiBackend(DiagnosticsLog* diagnostics) : diagnostics_(diagnostics) {
  const HidapiCall call;
  initialised_ = hid_init() == 0;
}

void HidapiBackend::Note(Diagnostic diagnostic) {
  if (diagnostics_ != nullptr) diagnostics_->Add(std::move(diagnostic));
}

std::optional<NodeIds> HidapiBackend::IdsOf(const std::string& path) {
  std::lock_guard guard(idsMutex_);
  const auto found = ids_.find(path);
  if (found == ids_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> HidapiBackend::EnumerateInterfaces() {
  std::vector<std::string> paths;
  if (!initialised_) {
    Note({"the HID library could not be initialised", false, std::nullopt});
    return paths;
  }
  std::map<std::string, NodeIds> ids;
  {
    const HidapiCall call;
    hid_device_info* list = hid_enumerate(0, 0);
    for (const hid_device_info* info = list; info != nullptr; info = info->next) {
      if (info->path == nullptr) continue;
      paths.emplace_back(info->path);
      ids[info->path] = NodeIds{info->vendor_id, info->product_id};
    }
    hid_free_enumeration(list);
  }
  std::lock_guard guard(idsMutex_);
  ids_.swap(ids);
  return paths;
}

std::unique_ptr<HidHandle> HidapiBackend::Open(const std::string& path) {
  if (!initialised_) return nullptr;
  const NodeProbe probe = ProbeHidrawNode(path);
  const std::optional<NodeIds> ids = IdsOf(path);
  const std::optional<std::uint16_t> vendor =
      ids ? std::optional<std::uint16_t>(ids->vendorId) : std::nullopt;
  if (probe.openError != 0) {
    Note(OpenFailure(path, ids, probe.openError));
    return nullptr;
  }
  if (!probe.hidraw) {
    Note({path + " is not a hidraw node", false, vendor});
    return nullptr;
  }
  if (!probe.layout) {
    Note({"report descriptor of " + path + (probe.descriptor ? " malformed" : " unreadable"), false,
          vendor});
  }
  HidDevicePtr device;
  {
    const HidapiCall call;
    device.reset(hid_open_path(path.c_str()));
  }
  if (!device) {
    Note({"the HID library could not open " + path, false, vendor});
    return nullptr;
  }
  return std::make_unique<HidapiHandle>(std::move(device), path, probe.layout);
}

}  // namespace kavori::platform::host
