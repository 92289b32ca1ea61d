#include "app/fwtool_dlg.hpp"

#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollArea>
#include <QShortcut>
#include <iostream>
#include <utility>

#include "app/about_dlg.hpp"
#include "app/artwork.hpp"
#include "app/dialog_units.hpp"
#include "frontend/diagnostics.hpp"
#include "frontend/exit_codes.hpp"
#include "frontend/run_log.hpp"
#include "frontend/text.hpp"
#include "wizard/wizard.hpp"

namespace kavori::app {

namespace {
constexpr char kToolName[] = "kavori-fwtool";

QLabel* MakeStatic(QWidget* parent, const char* name, const QRect& geometry) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  // Ampersands are shown as they are.
  label->setTextFormat(Qt::PlainText);
  label->setGeometry(geometry);
  return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* text,
                        const QRect& geometry) {
  auto* button = new QPushButton(QString::fromLatin1(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  // No default button: Enter on a button presses that button, elsewhere it is the OK path.
  button->setAutoDefault(false);
  button->setGeometry(geometry);
  return button;
}
}  // namespace

CFwToolDlg::CFwToolDlg(std::string commandLine, std::optional<sim::SimOptions> simulate,
                       std::string firmwareDirectory, platform::Pauses pauses)
    // A top-level application window, not a dialog: Qt's xcb plugin makes a parentless dialog
    // transient for its hidden leader window, and taskbars then give it no entry of its own.
    : QDialog(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      commandLine_(std::move(commandLine)),
      recorder_(kToolName, simulate.has_value(), firmwareDirectory) {
  LoadArtwork();
  setWindowTitle(QString::fromLatin1(wizard::kApplicationTitle));
  setWindowIcon(AppIcon());
  setFont(DialogFont());
  const DialogUnits du(font());
  setFixedSize(du.Size(317, 137));

  // In template order, which is also the tab order.
  status_ = MakeStatic(this, "status", du.Rect(5, 120, 305, 10));
  status_->setText(QStringLiteral("Status"));
  status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status_->setLineWidth(1);
  status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  status_->setAutoFillBackground(false);

  picture_ = MakeStatic(this, "picture", QRect());
  picture_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  picture_->setLineWidth(1);
  picture_->setPixmap(ArtworkPixmap("wizard-picture", devicePixelRatioF()));
  picture_->move(du.X(5), du.Y(5));
  picture_->adjustSize();

  // The message text in a frameless area of the template's rectangle: a page's own texts fit it,
  // and the causes a failed search adds below them (ShowDiagnostics) scroll when they do not.
  messageArea_ = new QScrollArea(this);
  messageArea_->setObjectName(QStringLiteral("messageArea"));
  messageArea_->setGeometry(du.Rect(100, 7, 205, 83));
  messageArea_->setFrameShape(QFrame::NoFrame);
  messageArea_->setFocusPolicy(Qt::NoFocus);
  messageArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  messageArea_->setWidgetResizable(true);
  messageArea_->viewport()->setAutoFillBackground(false);
  message_ = MakeStatic(nullptr, "message", QRect());
  message_->setWordWrap(true);
  message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  message_->setAutoFillBackground(false);
  messageArea_->setWidget(message_);

  next_ = MakeButton(this, "next", "&Next", du.Rect(195, 100, 45, 15));
  back_ = MakeButton(this, "back", "&Back", du.Rect(130, 100, 45, 15));
  finish_ = MakeButton(this, "finish", "&Finish", du.Rect(265, 100, 45, 15));
  setTabOrder(next_, back_);
  setTabOrder(back_, finish_);
  connect(next_, &QPushButton::clicked, this, [this] { OnNext(); });
  connect(back_, &QPushButton::clicked, this, [this] { OnBack(); });
  connect(finish_, &QPushButton::clicked, this, [this] { OnFinish(); });

  auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(about, &QShortcut::activated, this, [this] { OnSysCommand(kAboutCommand); });

  session_ = std::make_unique<frontend::Session>(*this, std::move(firmwareDirectory),
                                                 std::move(simulate), pauses);
}

CFwToolDlg::~CFwToolDlg() { session_.reset(); }

int CFwToolDlg::DoModal() {
  if (!OnInitDialog()) return result();
  // The wizard is the application's only window: it needs no modality (which would mark it as a
  // modal dialog to the window manager), only a loop of its own that ends with it.
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
  show();
  if (isVisible()) loop.exec(QEventLoop::DialogExec);
  return result();
}

bool CFwToolDlg::OnInitDialog() {
  recorder_.Begin();
  if (session_->Wizard().Start()) {
    recording_ = true;
    return true;
  }
  EndDialog(0);
  return false;
}

void CFwToolDlg::OnSysCommand(unsigned id) {
  if ((id & 0xFFF0u) != kAboutCommand) return;
  CAboutDlg about(commandLine_, session_->Wizard(), this);
  about.DoModal();
}

void CFwToolDlg::OnOK() {
  if (session_->Wizard().OnOK()) EndDialog(kIdOk);
}

void CFwToolDlg::OnCancel() {
  if (session_->Wizard().OnCancel()) EndDialog(kIdCancel);
}

void CFwToolDlg::OnNext() { session_->Wizard().OnNext(); }

void CFwToolDlg::OnBack() { session_->Wizard().OnBack(); }

void CFwToolDlg::OnFinish() {
  // Finish writes a status line of its own when it goes ahead; the run ended with the one before.
  finishStatus_ = lastStatus_;
  if (session_->Wizard().OnFinish())
    EndDialog(0);
  else
    finishStatus_.reset();
}

void CFwToolDlg::DestroyWindow() {
  if (recording_) KeepRecord();
  session_->End();
}

void CFwToolDlg::KeepRecord() {
  recording_ = false;
  const wizard::Wizard& wizard = session_->Wizard();
  // Ended where the wizard could have gone on (Next offered, or the page still being made): the
  // user stopped it, as Ctrl-C stops kavori-flash. Otherwise the page's own end.
  const bool stopped = next_->isEnabled() || wizard.EntryInProgress();
  const int code =
      stopped ? frontend::kExitInterrupted
              : frontend::PageExitCode(static_cast<int>(enteredStep_), wizard.ProgrammingFailed());
  const frontend::ResultReport result =
      recorder_.Result(wizard, code, enteredStep_, finishStatus_.value_or(lastStatus_));
  const QByteArray line =
      frontend::LogLine(recorder_.Record(wizard, result, std::exchange(diagnostics_, {})));
  const std::string path = frontend::HistoryPath();
  if (path.empty()) return;
  if (const std::optional<std::string> error = frontend::AppendToHistory(path, line))
    std::cerr << kToolName << ": history: " << frontend::TerminalValue(*error) << '\n';
}

void CFwToolDlg::EndDialog(int result) {
  DestroyWindow();
  QDialog::done(result);
}

void CFwToolDlg::reject() { OnCancel(); }

void CFwToolDlg::accept() { OnOK(); }

void CFwToolDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    auto* button = qobject_cast<QPushButton*>(focusWidget());
    if (button != nullptr && button->isEnabled()) button->click();
    // The page is not complete yet (the search or the pause after prepare goes on), and the
    // device may be between its modes: nothing ends now.
    else if (!session_->Wizard().EntryInProgress())
      OnOK();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CFwToolDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* about = menu.addAction(QString::fromLatin1(kAboutEntry));
  if (menu.exec(event->globalPos()) == about) OnSysCommand(kAboutCommand);
}

void CFwToolDlg::StepEntered(unsigned step) {
  enteredStep_ = step;
  recorder_.StepEntered(step);
}

void CFwToolDlg::PageComplete() {
  recorder_.PageShown(session_->Wizard(), enteredStep_, next_->isEnabled());
  for (QPushButton* button : {next_, finish_, back_}) {
    if (button->isEnabled()) {
      button->setFocus(Qt::OtherFocusReason);
      return;
    }
  }
}

void CFwToolDlg::SetMessage(const std::string& text, bool) {
  message_->setText(frontend::DecodeText(text));
}

void CFwToolDlg::SetStatus(const std::string& text, bool failed, std::optional<int>) {
  lastStatus_ = text;
  QPalette palette = status_->palette();
  palette.setColor(QPalette::WindowText, failed ? QColor(255, 0, 0) : QColor(0, 0, 0));
  status_->setPalette(palette);
  status_->setText(frontend::DecodeText(text));
}

void CFwToolDlg::EnableNext(bool enabled) { next_->setEnabled(enabled); }

void CFwToolDlg::EnableBack(bool enabled) { back_->setEnabled(enabled); }

void CFwToolDlg::EnableFinish(bool enabled) { finish_->setEnabled(enabled); }

void CFwToolDlg::Beep() { QApplication::beep(); }

void CFwToolDlg::BringToFront() {
  raise();
  activateWindow();
}

bool CFwToolDlg::AskYesNo(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, windowTitle(), frontend::DecodeText(text),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::Yes);
  const bool yes = box.exec() == QMessageBox::Yes;
  // The page may have moved on behind the question.
  if (finishStatus_) finishStatus_ = lastStatus_;
  return yes;
}

void CFwToolDlg::ShowStartupMessage(const std::string& text) {
  QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), frontend::DecodeText(text),
                  QMessageBox::Ok);
  box.exec();
}

void CFwToolDlg::ShowDiagnostics(const std::vector<platform::Diagnostic>& causes) {
  for (const std::string& line : frontend::DiagnosticLines(causes)) {
    std::cerr << kToolName << ": " << frontend::TerminalValue(line) << '\n';
    diagnostics_.push_back(line);
  }
  // A user who started the window from the desktop menu never reads stderr: the causes that only
  // Linux has go below the page's own texts, which stay as they are.
  const std::vector<std::string> shown = frontend::WindowCauseLines(causes);
  if (shown.empty()) return;
  QString text = message_->text() + QStringLiteral("\n");
  for (const std::string& line : shown) text += QStringLiteral("\n") + frontend::DecodeText(line);
  message_->setText(text);
}

}  // namespace kavori::app
