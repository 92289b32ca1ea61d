#include "usb_gadget.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kavori::usbguest {
namespace {

constexpr char kGadgetRoot[] = "/sys/kernel/config/usb_gadget/";
constexpr char kFunction[] = "functions/hid.usb0";

std::runtime_error Failure(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

// The /dev node of the function's character device ("MAJ:MIN" in its dev attribute): udev does
// not run in the guest, devtmpfs names it hidgN.
std::string NodeOf(const std::string& devAttribute) {
  std::ifstream in(devAttribute);
  unsigned major = 0;
  unsigned minor = 0;
  char colon = 0;
  if (!(in >> major >> colon >> minor) || colon != ':')
    throw std::runtime_error("cannot read " + devAttribute);
  for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
    if (!entry.path().filename().string().starts_with("hidg")) continue;
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
        st.st_rdev == makedev(major, minor))
      return entry.path().string();
  }
  throw std::runtime_error("no /dev/hidg node for " + devAttribute);
}

}  // namespace

UsbGadget::UsbGadget(std::string name, std::string udc, const GadgetIdentity& identity)
    : root_(kGadgetRoot + name), udc_(std::move(udc)) {
  for (const char* dir : {"", "/strings/0x409", "/configs/c.1", "/functions/hid.usb0"}) {
    const std::string path = root_ + dir;
    if (::mkdir(path.c_str(), 0755) != 0) {
      const auto error = Failure("cannot create", path);
      Remove();
      throw error;
    }
  }
  try {
    Write("idVendor", Hex(identity.vendorId));
    Write("bcdUSB", "0x0200");
    Write("strings/0x409/product", identity.product);
    Write("strings/0x409/serialnumber", identity.serial);
    Write("configs/c.1/MaxPower", "100");
    Write(std::string(kFunction) + "/protocol", std::to_string(identity.protocol));
    Write(std::string(kFunction) + "/subclass", std::to_string(identity.subclass));
    Write(std::string(kFunction) + "/report_length", std::to_string(identity.reportLength));
    Write(std::string(kFunction) + "/report_desc",
          std::string(identity.reportDescriptor.begin(), identity.reportDescriptor.end()));
    const std::string link = Path("configs/c.1/hid.usb0");
    if (::symlink(Path(kFunction).c_str(), link.c_str()) != 0) throw Failure("cannot link", link);
  } catch (...) {
    Remove();
    throw;
  }
}

UsbGadget::~UsbGadget() { Remove(); }

std::string UsbGadget::Path(const std::string& relative) const { return root_ + "/" + relative; }

void UsbGadget::Write(const std::string& relative, const std::string& value) const {
  const std::string path = Path(relative);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw Failure("cannot open", path);
  // configfs takes an attribute in one write; an empty one needs the newline to be seen at all.
  const std::string text = value.empty() ? "\n" : value;
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int error = errno;
  ::close(fd);
  errno = error;
  if (written != static_cast<ssize_t>(text.size())) throw Failure("cannot write", path);
}

void UsbGadget::Plug(std::uint16_t productId, std::uint16_t release) {
  if (Plugged()) Unplug();
  Write("idProduct", Hex(productId));
  Write("bcdDevice", Hex(release));
  Write("UDC", udc_);
  const std::string node = NodeOf(Path(std::string(kFunction) + "/dev"));
  fd_ = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw Failure("cannot open", node);
}

void UsbGadget::Unplug() {
  // Closed first: the node goes with the binding.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  Write("UDC", "");
}

void UsbGadget::Remove() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  // Each step may fail when construction stopped before it; what exists goes, deepest first.
  if (const int fd = ::open(Path("UDC").c_str(), O_WRONLY | O_CLOEXEC); fd >= 0) {
    [[maybe_unused]] const ssize_t ignored = ::write(fd, "\n", 1);
    ::close(fd);
  }
  ::unlink(Path("configs/c.1/hid.usb0").c_str());
  for (const char* dir : {"/configs/c.1", "/functions/hid.usb0", "/strings/0x409", ""})
    ::rmdir((root_ + dir).c_str());
}

}  // namespace kavori::usbguest
