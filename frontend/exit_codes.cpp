#include "frontend/exit_codes.hpp"

#include "wizard/wizard.hpp"

namespace kavori::frontend {

int PageExitCode(int enteredStep, bool programmingFailed) {
  switch (enteredStep) {
    case static_cast<int>(wizard::Step::DeviceSearch):
      return kExitDeviceSearch;
    case static_cast<int>(wizard::Step::FirmwareSearch):
      return kExitFirmwareSearch;
    case static_cast<int>(wizard::Step::Finished):
      return programmingFailed ? kExitFailed : kExitProgrammed;
    default:
      // The failed prepare write (step 3), the programming run that could not start (step 6).
      return kExitFailed;
  }
}

}  // namespace kavori::frontend
