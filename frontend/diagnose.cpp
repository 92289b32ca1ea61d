#include "frontend/diagnose.hpp"

#include <QFileInfo>
#include <QJsonArray>
#include <algorithm>
#include <sstream>
#include <system_error>

#include "device/device_count.hpp"
#include "device/results.hpp"
#include "firmware/firmware_selection.hpp"
#include "frontend/diagnostics.hpp"
#include "frontend/text.hpp"
#include "platform/user_identity.hpp"
#include "wizard/wizard.hpp"

namespace kavori::frontend {

namespace {

constexpr std::size_t kColumns = 80;

std::string Hex(std::uint16_t value) { return platform::UsbIdText(value); }

std::string SearchText(int result) {
  return result == device::kOk ? "found" : wizard::DeviceSearchRefusal(result);
}

std::string FirmwareResultText(firmware::FirmwareSearchResult result) {
  return result == firmware::FirmwareSearchResult::Suitable ? "suitable"
                                                            : wizard::FirmwareSearchStatus(result);
}

// Loaded and scanned: a Kavori image.
bool IsValid(const firmware::EntryVerdict& file) {
  return file.kind != firmware::EntryVerdict::Kind::NotLoadable &&
         file.kind != firmware::EntryVerdict::Kind::TypeError;
}

void TestLock(const platform::Platform& services, DiagnoseReport& report) {
  platform::InUseLock* lock = services.lock;
  if (lock == nullptr) return;
  switch (lock->Acquire()) {
    case platform::LockResult::Acquired:
      lock->Release();
      report.lock = DiagnoseReport::LockState::Free;
      return;
    case platform::LockResult::InUse:
      report.lock = DiagnoseReport::LockState::Held;
      report.holder = lock->Holder();
      return;
    case platform::LockResult::Failed:
      report.lock = DiagnoseReport::LockState::Unavailable;
      return;
  }
}

void CountDevices(const platform::Platform& services, DiagnoseReport& report) {
  std::uint32_t count = 0;
  report.listReadable =
      device::CountConnectedDevices(services, &count, &report.instances) == device::kOk;
  report.count = count;
}

// Splits `text` into lines of at most kColumns, each after the first indented by `indent`.
void Wrapped(std::ostringstream& out, const std::string& first, const std::string& text,
             std::size_t indent) {
  std::string line = first;
  std::istringstream words(text);
  std::string word;
  // A prefix that is only indentation takes the first word without a blank.
  bool empty = first.find_first_not_of(' ') == std::string::npos;
  while (words >> word) {
    if (!empty && line.size() + 1 + word.size() > kColumns) {
      out << line << '\n';
      line = std::string(indent, ' ');
      empty = indent == 0;
    }
    if (!empty) line += ' ';
    line += word;
    empty = false;
  }
  out << line << '\n';
}

}  // namespace

DiagnoseReport Diagnose(device::DeviceLink& link, const std::string& firmwareDirectory) {
  DiagnoseReport report;
  report.version = wizard::kVersionText;
  report.udevRule = UdevRulePath();
  report.ruleInstalled = QFileInfo::exists(QString::fromStdString(report.udevRule));
  report.groups = platform::host::CurrentUserGroups();
  report.seatSession = platform::host::ActiveSeatSession();
  report.directory = firmwareDirectory;
  report.nodes = device::InventoryKavoriNodes(link);
  std::vector<platform::Diagnostic> causes;
  for (const device::NodeReport& node : report.nodes)
    causes.insert(causes.end(), node.causes.begin(), node.causes.end());
  if (std::optional<std::string> hint = PermissionHint(causes)) {
    report.hints.push_back(*hint);
    // The rule reaches a user at the seat or in group plugdev: say which way is left.
    const bool plugdev =
        std::find(report.groups.begin(), report.groups.end(), "plugdev") != report.groups.end();
    if (report.seatSession != true && !plugdev)
      report.hints.push_back(
          "this user has no active seat session and is not in group plugdev: add it to the group "
          "(\"sudo adduser USER plugdev\") and log in again");
  }
  CountDevices(link.Services(), report);
  TestLock(link.Services(), report);

  link.TakeDiagnostics();
  report.searchResult = link.OpenDeviceLink();
  std::vector<platform::Diagnostic> searchCauses = link.TakeDiagnostics();
  // What the search adds to the inventory: the process holding the node that made it refuse (the
  // lock's holder has its own line).
  if (report.searchResult != device::kOk) {
    for (platform::Diagnostic& cause : searchCauses)
      if (cause.heldOpenByOther) report.searchCauses.push_back(std::move(cause));
  }
  std::optional<firmware::TargetDevice> target;
  if (report.searchResult == device::kOk) {
    const device::DeviceInfoRecord info = link.DeviceInfo();
    report.product = info.ProductString.data();
    report.serial = info.SerialString.data();
    report.loaderMode = link.LoaderMode();
    target.emplace();
    target->serialString = info.SerialString;
    target->versionWord = info.VersionWord;
    link.CloseDeviceLink();
  }
  // The search's own judgement of each entry, each file opened once.
  firmware::FolderReport folder = firmware::ReportFirmwareFolder(firmwareDirectory, target);
  report.files = std::move(folder.entries);
  report.chosen = folder.chosen;
  report.listError = folder.listError;

  if (report.count != 1) {
    report.verdict = report.count == 0 ? "the wizard stops at start: no Kavori is connected"
                                       : "the wizard stops at start: more than one Kavori is "
                                         "connected";
    report.outcome = DiagnoseOutcome::DeviceCount;
  } else if (report.searchResult != device::kOk) {
    report.verdict = "the device search stops: " + SearchText(report.searchResult);
    report.outcome = DiagnoseOutcome::DeviceSearch;
  } else if (folder.result == firmware::FirmwareSearchResult::Suitable) {
    report.verdict =
        "the wizard reaches its information page with " + report.files[*report.chosen].name;
    report.outcome = DiagnoseOutcome::Ready;
  } else {
    report.verdict = "the firmware search stops: " + FirmwareResultText(folder.result);
    report.outcome = DiagnoseOutcome::FirmwareSearch;
  }
  return report;
}

std::string DiagnoseText(const DiagnoseReport& report) {
  std::ostringstream out;
  out << "kavori-flash " << report.version << "\n\n";
  Wrapped(out, "Access: udev rule",
          report.udevRule + (report.ruleInstalled ? " installed" : " NOT installed"), 2);
  std::string groups;
  for (const std::string& group : report.groups)
    groups += (groups.empty() ? "" : ", ") + TerminalValue(group);
  Wrapped(out, "  groups:", groups, 4);
  out << "  active seat session: "
      << (!report.seatSession   ? "cannot be told"
          : *report.seatSession ? "yes"
                                : "no")
      << "\n\n";
  out << "Devices of vendor 0x0BEF (HID nodes):\n";
  if (report.nodes.empty()) out << "  none\n";
  for (const device::NodeReport& node : report.nodes) {
    out << "  " << TerminalValue(node.path) << '\n';
    if (node.opened) {
      out << "    " << Hex(node.vendorId) << ':' << Hex(node.productId) << ", " << node.mode
          << " mode, release " << Hex(node.release) << '\n';
      Wrapped(out, "    product:", '"' + TerminalValue(node.product) + '"', 6);
      Wrapped(out, "    serial:", '"' + TerminalValue(node.serial) + '"', 6);
      out << "    reports: input " << node.inputLength << ", output " << node.outputLength
          << " bytes\n";
    }
    // Why it could not be opened, or what could not be read of it.
    for (const platform::Diagnostic& cause : node.causes)
      Wrapped(out, node.opened ? "    note:" : "    not opened:", TerminalValue(cause.text), 6);
  }
  out << "\nStart-up count: ";
  if (!report.listReadable) {
    out << "the list of USB HID devices cannot be read\n";
  } else {
    out << report.count << '\n';
    for (const std::string& instance : report.instances)
      Wrapped(out, "  ", TerminalValue(instance), 4);
  }
  out << "\nIn-use lock: ";
  switch (report.lock) {
    case DiagnoseReport::LockState::Free:
      out << "free\n";
      break;
    case DiagnoseReport::LockState::Held:
      if (report.holder)
        out << "held by process " << report.holder->pid << " ("
            << TerminalValue(report.holder->command) << ")\n";
      else
        out << "held by a process this user cannot see\n";
      break;
    case DiagnoseReport::LockState::Unavailable:
      out << "cannot be tested\n";
      break;
  }
  out << "\nDevice search: " << SearchText(report.searchResult) << '\n';
  for (const platform::Diagnostic& cause : report.searchCauses)
    Wrapped(out, "  because", TerminalText(cause.text), 4);
  if (report.searchResult == device::kOk) {
    Wrapped(out, "  ",
            '"' + TerminalValue(report.product) + "\" serial \"" + TerminalValue(report.serial) +
                "\"" + (report.loaderMode ? ", loader mode" : ""),
            4);
  }
  Wrapped(out, "\nFirmware files in", TerminalValue(report.directory) + ":", 2);
  if (report.listError != 0)
    Wrapped(out, "  none: the folder cannot be listed:",
            std::generic_category().message(report.listError), 4);
  else if (report.files.empty())
    out << "  none\n";
  for (std::size_t k = 0; k < report.files.size(); ++k) {
    const firmware::EntryVerdict& file = report.files[k];
    std::string head = (report.chosen == k ? "* " : "  ") + TerminalValue(file.name);
    if (file.size) head += " (" + std::to_string(*file.size) + " bytes)";
    Wrapped(out, "", head, 4);
    if (IsValid(file))
      Wrapped(out, "    code",
              TerminalValue(file.productCode) + ", version " +
                  firmware::VersionText(file.fileVersionWord),
              6);
    Wrapped(out, "    ", file.Text(), 6);
  }
  for (const std::string& hint : report.hints) Wrapped(out, "\nNote:", TerminalValue(hint), 2);
  // The verdict may name the chosen file: decoded as the file list above decodes it.
  std::vector<std::string> names;
  if (report.chosen) names.push_back(report.files[*report.chosen].name);
  Wrapped(out, "\nVerdict:", TerminalText(report.verdict, names), 2);
  return out.str();
}

QJsonObject DiagnoseJson(const DiagnoseReport& report) {
  QJsonArray nodes;
  for (const device::NodeReport& node : report.nodes) {
    QJsonArray causes;
    for (const platform::Diagnostic& cause : node.causes) causes.append(DecodeText(cause.text));
    QJsonObject entry{{"path", DecodeText(node.path)}, {"opened", node.opened}};
    if (node.opened) {
      entry.insert("vendor_id", node.vendorId);
      entry.insert("product_id", node.productId);
      entry.insert("mode", QString::fromStdString(node.mode));
      entry.insert("release", node.release);
      entry.insert("product", DecodeText(node.product));
      entry.insert("serial", DecodeText(node.serial));
      entry.insert("input_length", node.inputLength);
      entry.insert("output_length", node.outputLength);
    }
    entry.insert("causes", causes);
    nodes.append(entry);
  }
  QJsonArray instances;
  for (const std::string& instance : report.instances) instances.append(DecodeText(instance));
  QJsonObject lock{{"state", report.lock == DiagnoseReport::LockState::Free   ? "free"
                             : report.lock == DiagnoseReport::LockState::Held ? "held"
                                                                              : "unavailable"}};
  if (report.holder) {
    lock.insert("pid", report.holder->pid);
    lock.insert("command", DecodeText(report.holder->command));
  }
  QJsonArray searchCauses;
  for (const platform::Diagnostic& cause : report.searchCauses)
    searchCauses.append(DecodeText(cause.text));
  QJsonObject search{{"result", report.searchResult},
                     {"text", QString::fromStdString(SearchText(report.searchResult))},
                     {"causes", searchCauses}};
  if (report.searchResult == device::kOk) {
    search.insert("product", DecodeText(report.product));
    search.insert("serial", DecodeText(report.serial));
    search.insert("mode", report.loaderMode ? "loader" : "normal");
  }
  QJsonArray files;
  for (std::size_t k = 0; k < report.files.size(); ++k) {
    const firmware::EntryVerdict& file = report.files[k];
    QJsonObject entry{{"name", DecodeText(file.name)},
                      {"valid", IsValid(file)},
                      {"suitable", file.kind == firmware::EntryVerdict::Kind::Suitable},
                      {"chosen", report.chosen == k},
                      {"verdict", QString::fromStdString(file.Text())}};
    if (file.size) entry.insert("size", static_cast<qint64>(*file.size));
    if (IsValid(file)) {
      entry.insert("product_code", DecodeText(file.productCode));
      entry.insert("file_version",
                   QString::fromStdString(firmware::VersionText(file.fileVersionWord)));
    }
    files.append(entry);
  }
  QJsonArray hints;
  for (const std::string& hint : report.hints) hints.append(DecodeText(hint));
  QJsonObject count{{"readable", report.listReadable},
                    {"count", static_cast<qint64>(report.count)},
                    {"instances", instances}};
  QJsonArray groups;
  for (const std::string& group : report.groups) groups.append(DecodeText(group));
  const QJsonObject access{
      {"udev_rule", QString::fromStdString(report.udevRule)},
      {"rule_installed", report.ruleInstalled},
      {"groups", groups},
      {"seat_session", report.seatSession ? QJsonValue(*report.seatSession) : QJsonValue()}};
  QJsonObject document{{"version", QString::fromStdString(report.version)},
                       {"access", access},
                       {"nodes", nodes},
                       {"count", count},
                       {"lock", lock},
                       {"device_search", search},
                       {"directory", DecodeText(report.directory)},
                       {"files", files},
                       {"hints", hints},
                       {"verdict", DecodeText(report.verdict)}};
  if (report.listError != 0)
    document.insert("list_error",
                    QString::fromStdString(std::generic_category().message(report.listError)));
  return document;
}

}  // namespace kavori::frontend
