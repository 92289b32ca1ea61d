#include "cli/autopilot.hpp"

#include "frontend/exit_codes.hpp"
#include "wizard/wizard.hpp"

namespace kavori::cli {

namespace {
constexpr int StepNumber(wizard::Step step) { return static_cast<int>(step); }
constexpr int kFirmwareSearchStep = StepNumber(wizard::Step::FirmwareSearch);
constexpr int kPreparingStep = StepNumber(wizard::Step::Preparing);
constexpr int kProgrammingStep = StepNumber(wizard::Step::Programming);
}  // namespace

ImageVersion CompareImageVersion(bool loaderMode, std::uint32_t fileVersionWord,
                                 std::uint32_t deviceVersionWord) {
  if (loaderMode) return ImageVersion::Unknown;
  const std::uint32_t file = fileVersionWord & 0xFFFFFF;
  const std::uint32_t device = deviceVersionWord & 0xFFFFFF;
  if (file == device) return ImageVersion::Same;
  return file > device ? ImageVersion::Newer : ImageVersion::Older;
}

bool VersionAllowed(ImageVersion version, const Policy& policy) {
  switch (version) {
    case ImageVersion::Same:
      return policy.allowReinstall;
    case ImageVersion::Older:
      return policy.allowOlder;
    case ImageVersion::Unknown:
    case ImageVersion::Newer:
      break;
  }
  return true;
}

Decision Decide(const Situation& situation, const Policy& policy) {
  const Page& page = situation.page;
  // The page is not complete yet: the step's entry action goes on off the UI thread.
  if (situation.entryInProgress) return {Move::Wait, 0};
  if (page.next) {
    // Next on the information page starts changing the device: the last point to stop.
    if (page.enteredStep == kFirmwareSearchStep) {
      if (policy.dryRun) return {Move::Cancel, frontend::kExitProgrammed};
      if (policy.unattended && !VersionAllowed(situation.imageVersion, policy))
        return {Move::Cancel, frontend::kExitVersionRefused};
      if (!policy.confirmed)
        return {policy.interactive ? Move::AskConfirmation : Move::Cancel,
                policy.interactive ? 0 : frontend::kExitNotConfirmed};
    }
    return {Move::PressNext, 0};
  }
  if (page.enteredStep == kProgrammingStep && !page.finish && !page.back) return {Move::Wait, 0};
  if (page.enteredStep == kPreparingStep && situation.watchingReconnect && page.finish &&
      !page.back)
    return {Move::AwaitReconnect, 0};
  const int code = frontend::PageExitCode(page.enteredStep, situation.programmingFailed);
  return {page.finish ? Move::PressFinish : Move::Cancel, code};
}

}  // namespace kavori::cli
