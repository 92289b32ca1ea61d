#include "cli/exit_codes.hpp"

namespace kavori::cli {

std::string ExitReason(int code) {
  switch (code) {
    case kExitProgrammed:
      return "";
    case kExitFailed:
      return "programming failed or could not start";
    case kExitDeviceCount:
      return "not exactly one Kavori is connected";
    case kExitDeviceSearch:
      return "the device search failed";
    case kExitFirmwareSearch:
      return "the firmware search failed";
    case kExitNoReconnect:
      return "the device did not come back in its loader within the --wait time";
    case kExitNotConfirmed:
      return "not confirmed (answer y on a terminal, or pass --yes)";
    case kExitVersionRefused:
      return "the image is not newer than the device's firmware (see --allow-reinstall, "
             "--allow-older)";
    case kExitUsage:
      return "bad command line";
    case kExitInterrupted:
      return "interrupted";
    default:
      return "ended with code " + std::to_string(code);
  }
}

}  // namespace kavori::cli
