// What the tool sees and why the wizard would refuse, before anything is written (kavori-flash
// --diagnose). It changes nothing on the device, writes no file, and takes the in-use lock only
// to test it, releasing it at once.
#pragma once

#include <QJsonObject>
#include <optional>
#include <string>
#include <vector>

#include "device/device_inventory.hpp"
#include "device/device_link.hpp"
#include "firmware/firmware_report.hpp"
#include "platform/in_use_lock.hpp"

namespace kavori::frontend {

// Where the wizard would stop.
enum class DiagnoseOutcome {
  DeviceCount,     // at start: not exactly one device listed
  DeviceSearch,    // step 1: device in use or not found
  FirmwareSearch,  // step 2: no suitable file
  Ready,           // the information page, with a file
};

struct DiagnoseReport {
  std::string version;  // the tool's
  // Who may open the device: the udev rule gives it to the user with an active seat session
  // (uaccess) and to group plugdev.
  std::string udevRule;  // where the package installs it
  bool ruleInstalled = false;
  std::vector<std::string> groups;
  std::optional<bool> seatSession;  // nullopt: the login manager cannot tell
  std::vector<device::NodeReport> nodes;
  // The start-up count.
  bool listReadable = false;
  unsigned count = 0;
  std::vector<std::string> instances;  // the listed entries of the vendor
  // The in-use lock.
  enum class LockState { Free, Held, Unavailable } lock = LockState::Unavailable;
  std::optional<platform::LockHolder> holder;
  // The device search, as step 1 runs it, and why it refused (another application holding the
  // node open is named here).
  int searchResult = 0;
  std::vector<platform::Diagnostic> searchCauses;
  std::string product;  // of the accepted device
  std::string serial;
  bool loaderMode = false;
  // The firmware folder, and the search's outcome on it.
  std::string directory;
  int listError = 0;  // errno when the folder cannot be listed
  // Every "*.hex" entry as the search judges it, and the one it would load.
  std::vector<firmware::EntryVerdict> files;
  std::optional<std::size_t> chosen;
  // What the wizard would reach.
  std::string verdict;
  DiagnoseOutcome outcome = DiagnoseOutcome::DeviceCount;
  // The way out for what this user may not open (each cause stands with its node).
  std::vector<std::string> hints;
};

// Gathers the report through `link`'s services, leaving the link closed. Reads every firmware
// file: not for the UI thread of a window.
DiagnoseReport Diagnose(device::DeviceLink& link, const std::string& firmwareDirectory);

// The report for a person, lines of at most 80 columns.
std::string DiagnoseText(const DiagnoseReport& report);
// The report as one JSON document.
QJsonObject DiagnoseJson(const DiagnoseReport& report);

}  // namespace kavori::frontend
