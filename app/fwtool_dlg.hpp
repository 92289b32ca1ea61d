// The wizard window: the tool's one dialog. It shows what the step machine decides (texts, button
// states, the red status line after a failure) and turns clicks on Next, Back and Finish into
// step moves. Once a step's page is complete the keyboard focus is on its first enabled button of
// Next, Finish, Back. Escape, the close box and Enter on no button end it, except while the device
// is being programmed; Enter also does nothing while a step's page is not complete yet (the
// firmware search, the device's pause after prepare). Its About entry sits in the context menu
// and on F1.
//
// UI thread only. Worker threads reach it through the session's poster, also while a nested
// modal loop runs (the About box, the "Close and exit ?" question).
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontend/run_recorder.hpp"
#include "frontend/session.hpp"
#include "sim/sim_options.hpp"
#include "wizard/wizard_view.hpp"

namespace kavori::app {

inline constexpr char kAboutEntry[] = "&About Brimsel Kavori Sable Firmware Programming Tool ...";
// The command id of the About entry; ids 0x0010..0x001F all open the About box.
inline constexpr unsigned kAboutCommand = 0x0010;
// The results of the modal run when it ends through the OK and cancel paths.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

class CFwToolDlg final : public QDialog, public wizard::WizardView {
  Q_OBJECT

 public:
  // `commandLine` goes to the About box. `simulate`: a simulated Kavori instead of the host's
  // devices. Firmware files are searched in `firmwareDirectory`. `pauses`: the device's fixed
  // pauses, real unless a test shortens them. std::runtime_error when the session cannot be set
  // up.
  CFwToolDlg(std::string commandLine, std::optional<sim::SimOptions> simulate,
             std::string firmwareDirectory, platform::Pauses pauses = platform::Pauses{});
  ~CFwToolDlg() override;

  // OnInitDialog, then the window's own loop until it ends, unless OnInitDialog ended the dialog;
  // the result. The window is a top-level application window (its own taskbar entry), not
  // transient for any other.
  int DoModal();

  // The handlers.
  // Counts the devices: ends the dialog after the refusal (false), or shows the Welcome page.
  bool OnInitDialog();
  void OnSysCommand(unsigned id);
  void OnOK();
  void OnCancel();
  void OnNext();
  void OnBack();
  void OnFinish();
  // Once the wizard has started: appends the device's line to the history. Then stops the
  // workers, closes the device link and releases the firmware image. Idempotent.
  void DestroyWindow();

  // The wizard view.
  void StepEntered(unsigned step) override;
  // The keyboard focus goes to the first enabled button of Next, Finish, Back, so that Enter
  // presses a visible, enabled button rather than taking the OK path that ends the tool.
  void PageComplete() override;
  void SetMessage(const std::string& text, bool failed) override;
  void SetStatus(const std::string& text, bool failed, std::optional<int> progressPercent) override;
  void EnableNext(bool enabled) override;
  void EnableBack(bool enabled) override;
  void EnableFinish(bool enabled) override;
  void Beep() override;
  void BringToFront() override;
  bool AskYesNo(const std::string& text) override;
  void ShowStartupMessage(const std::string& text) override;
  // On stderr and into the history; and those that only Linux has (a node this user may not
  // open, one another application holds open) also below the page's texts, in the same words.
  void ShowDiagnostics(const std::vector<platform::Diagnostic>& causes) override;

  frontend::Session& Session() { return *session_; }

 protected:
  // Escape and the close box come here as the cancel path; Enter on no button as OK.
  void reject() override;
  void accept() override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void EndDialog(int result);
  // The history's line of the device's run, which ends now. A history that cannot be written is
  // named on stderr and changes nothing else.
  void KeepRecord();

  const std::string commandLine_;
  frontend::RunRecorder recorder_;
  bool recording_ = false;  // the wizard has started, and its line is not written yet
  unsigned enteredStep_ = 0;
  std::string lastStatus_;
  // While Finish goes ahead: the status line before Finish writes its own.
  std::optional<std::string> finishStatus_;
  std::vector<std::string> diagnostics_;  // the lines ShowDiagnostics wrote
  QLabel* status_;
  QLabel* picture_;
  QScrollArea* messageArea_;  // holds message_
  QLabel* message_;
  QPushButton* next_;
  QPushButton* back_;
  QPushButton* finish_;
  // Goes before the widgets (they go with the QWidget base): nothing posted finds them gone.
  std::unique_ptr<frontend::Session> session_;
};

}  // namespace kavori::app
