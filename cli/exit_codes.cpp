#include "cli/exit_codes.hpp"

#include "frontend/exit_codes.hpp"

namespace kavori::cli {

std::string ExitReason(int code) {
  switch (code) {
    case frontend::kExitProgrammed:
      return "";
    case frontend::kExitFailed:
      return "programming failed or could not start";
    case frontend::kExitDeviceCount:
      return "not exactly one Kavori is connected";
    case frontend::kExitDeviceSearch:
      return "the device search failed";
    case frontend::kExitFirmwareSearch:
      return "the firmware search failed";
    case frontend::kExitNoReconnect:
      return "the device did not come back in its loader within the --wait time";
    case frontend::kExitNotConfirmed:
      return "not confirmed (answer y on a terminal, or pass --yes)";
    case frontend::kExitVersionRefused:
      return "the image is not newer than the device's firmware (see --allow-reinstall, "
             "--allow-older)";
    case frontend::kExitUsage:
      return "bad command line";
    case frontend::kExitInterrupted:
      return "interrupted";
    default:
      return "ended with code " + std::to_string(code);
  }
}

}  // namespace kavori::cli
