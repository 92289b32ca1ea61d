#include "device/device_inventory.hpp"

#include <algorithm>
#include <array>
#include <memory>

#include "device/device_link.hpp"
#include "firmware/product_ids.hpp"

namespace kavori::device {

namespace {

template <typename Query>
std::string HidString(Query query) {
  std::array<char, 256> field{};
  if (!query(reinterpret_cast<std::uint8_t*>(field.data()), platform::kHidStringQueryBytes))
    return {};
  NarrowHidString(field);
  return field.data();
}

bool AboutTheVendor(const std::vector<platform::Diagnostic>& causes) {
  return std::any_of(causes.begin(), causes.end(), [](const platform::Diagnostic& cause) {
    return cause.vendorId == firmware::kVendorId;
  });
}

}  // namespace

std::vector<NodeReport> InventoryKavoriNodes(DeviceLink& link) {
  std::vector<NodeReport> nodes;
  link.TakeDiagnostics();
  VisitInterfaces(link.Services(), [&](InterfaceSeen& seen) {
    NodeReport node;
    node.path = seen.path;
    if (!seen.attributes) {
      node.causes = link.TakeDiagnostics();
      if (!seen.handle && AboutTheVendor(node.causes)) nodes.push_back(std::move(node));
      return true;
    }
    const platform::HidAttributes& attributes = *seen.attributes;
    if (attributes.vendorId != firmware::kVendorId) {
      link.TakeDiagnostics();
      return true;
    }
    platform::HidHandle& handle = *seen.handle;
    node.opened = true;
    node.vendorId = attributes.vendorId;
    node.productId = attributes.productId;
    node.release = attributes.releaseNumber;
    node.mode = firmware::IsNormalModeId(attributes.productId)   ? "normal"
                : firmware::IsLoaderModeId(attributes.productId) ? "loader"
                                                                 : "unknown id";
    node.product = HidString([&](std::uint8_t* field, std::size_t length) {
      return handle.GetProductString(field, length);
    });
    node.serial = HidString([&](std::uint8_t* field, std::size_t length) {
      return handle.GetSerialNumberString(field, length);
    });
    platform::HidReportLengths lengths;
    if (handle.GetReportLengths(lengths)) {
      node.inputLength = lengths.input;
      node.outputLength = lengths.output;
    }
    node.causes = link.TakeDiagnostics();
    // In the words of the device search's refusal.
    if (link.Services().holders != nullptr) {
      for (const platform::LockHolder& holder : link.Services().holders->OtherHolders(seen.path))
        node.causes.push_back({"held open by another application, " + platform::HolderText(holder),
                               false, attributes.vendorId, true});
    }
    nodes.push_back(std::move(node));
    return true;
  });
  return nodes;
}

}  // namespace kavori::device
