#include "firmware/firmware_report.hpp"

namespace kavori::firmware {

FolderReport ReportFirmwareFolder(const std::string& directory,
                                  const std::optional<TargetDevice>& device) {
  FolderReport report;
  const auto entries = ImageEntries(directory);
  if (!entries) {
    report.listError = entries.error();
    return report;
  }
  const TargetDevice* target = device ? &*device : nullptr;
  for (const std::string& name : entries.value()) {
    report.entries.push_back(JudgeEntry(directory, name, target).verdict);
    if (!report.chosen && report.entries.back().kind == EntryVerdict::Kind::Suitable)
      report.chosen = report.entries.size() - 1;
  }
  // The search stops at the first suitable entry: only the entries up to it decide.
  const std::size_t tried = report.chosen ? *report.chosen + 1 : report.entries.size();
  report.result = SearchResultOf(
      {report.entries.begin(), report.entries.begin() + static_cast<std::ptrdiff_t>(tried)});
  return report;
}

}  // namespace kavori::firmware
