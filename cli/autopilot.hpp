// What kavori-flash presses on the page the wizard shows: the user's clicks, decided from the
// page alone so that the same page always gets the same answer.
#pragma once

#include <cstdint>

namespace kavori::cli {

// How the chosen image's version stands to the device's. Unknown for a device in its loader,
// which reports no firmware version.
enum class ImageVersion { Unknown, Newer, Same, Older };

// Compares the versions as the information page shows them (bits 23..0 of each word).
ImageVersion CompareImageVersion(bool loaderMode, std::uint32_t fileVersionWord,
                                 std::uint32_t deviceVersionWord);

// The page as the view saw it after the wizard's last UI task.
struct Page {
  int enteredStep = -1;  // argument of the last EnterStep, -1 before the first
  bool next = false;
  bool back = false;
  bool finish = false;
};

struct Situation {
  Page page;
  bool entryInProgress = false;                       // wizard::Wizard::EntryInProgress()
  bool watchingReconnect = false;                     // wizard::Wizard::WaitingForDevice()
  bool programmingFailed = false;                     // wizard::Wizard::ProgrammingFailed()
  ImageVersion imageVersion = ImageVersion::Unknown;  // on the information page
};

struct Policy {
  bool dryRun = false;
  bool confirmed = false;    // --yes, or the user answered yes
  bool interactive = false;  // stdin and stdout are terminals
  // --yes: nobody reads the information page, so the version policy stands in for the reader:
  // the same version only with allowReinstall, an older one only with allowOlder.
  bool unattended = false;
  bool allowReinstall = false;
  bool allowOlder = false;
};

// Whether the policy lets an image of `version` be programmed unattended.
bool VersionAllowed(ImageVersion version, const Policy& policy);

enum class Move {
  Wait,  // a worker will move the wizard on
  PressNext,
  AskConfirmation,  // ask the user before leaving the information page
  AwaitReconnect,   // step 3: wait (bounded) for the replugged device
  PressFinish,      // end with exitCode through Finish
  Cancel,           // end with exitCode through the cancel path
};

struct Decision {
  Move move = Move::Wait;
  int exitCode = 0;  // for PressFinish and Cancel
};

Decision Decide(const Situation& situation, const Policy& policy);

}  // namespace kavori::cli
