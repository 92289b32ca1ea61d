// Every HID node of the Kavori's vendor as the device search meets it, opened or not, for the
// people who ask what the computer sees. Takes no lock, writes nothing, keeps nothing open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/diagnostics.hpp"

namespace kavori::device {

struct NodeReport {
  std::string path;
  bool opened = false;
  // Why it could not be opened or read, as the services said (with the vendor where known), and
  // the other processes that hold it open.
  std::vector<platform::Diagnostic> causes;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
  std::string mode;  // "normal", "loader" or "unknown id"
  std::string product;
  std::string serial;
  std::uint16_t inputLength = 0;  // with the report id byte; 0 when unknown
  std::uint16_t outputLength = 0;
};

class DeviceLink;

// Uses the link's services and their diagnostics log (which it empties); the link stays closed.
std::vector<NodeReport> InventoryKavoriNodes(DeviceLink& link);

}  // namespace kavori::device
