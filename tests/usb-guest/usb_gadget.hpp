// One USB HID gadget on a dummy_hcd port, made through configfs: plugging it binds it to its
// UDC, so the guest's host side enumerates it through usbcore, usbhid and hidraw as it would a
// device on a cable. Errors throw std::runtime_error naming the step and the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavori::usbguest {

struct GadgetIdentity {
  std::uint16_t vendorId = 0;
  std::string product;  // UTF-8, as USB string descriptors carry any character
  std::string serial;
  std::vector<std::uint8_t> reportDescriptor;
  unsigned reportLength = 0;
  unsigned subclass = 0;
  unsigned protocol = 0;
};

class UsbGadget {
 public:
  // Creates the gadget NAME under configfs for `udc` (for example dummy_udc.0), unplugged.
  UsbGadget(std::string name, std::string udc, const GadgetIdentity& identity);
  // Unplugs and removes the configfs tree, so the name and the port are free again.
  ~UsbGadget();
  UsbGadget(const UsbGadget&) = delete;
  UsbGadget& operator=(const UsbGadget&) = delete;

  // Sets the product id and release, binds the UDC and opens the function's /dev/hidgN
  // (non-blocking). Plugged already: unplugs first.
  void Plug(std::uint16_t productId, std::uint16_t release);
  // Closes the node and unbinds the UDC: the host sees the cable pulled.
  void Unplug();

  bool Plugged() const { return fd_ >= 0; }
  // The open /dev/hidgN: 64-byte reads are output reports, writes input reports. -1 unplugged.
  int Fd() const { return fd_; }

 private:
  std::string Path(const std::string& relative) const;
  void Write(const std::string& relative, const std::string& value) const;
  void Remove() noexcept;

  const std::string root_;
  const std::string udc_;
  int fd_ = -1;
};

}  // namespace kavori::usbguest
