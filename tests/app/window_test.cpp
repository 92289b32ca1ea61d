// The wizard window and the About box on Qt's offscreen platform, against the simulated Kavori.
// The step machine's texts and decisions are tested without widgets in tests/wizard; these tests
// prove the wiring: buttons, keys, boxes, colours, nested modal loops and the start-up.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QLabel>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/about_dlg.hpp"
#include "app/artwork.hpp"
#include "app/dialog_units.hpp"
#include "app/fwtool_app.hpp"
#include "app/fwtool_dlg.hpp"
#include "app/single_instance.hpp"
#include "firmware/image_builder.hpp"
#include "frontend/run_log.hpp"
#include "platform/pause.hpp"
#include "support/scratch_dir.hpp"
#include "support/state_home.hpp"
#include "wizard/wizard.hpp"

namespace kavori::app {
namespace {

constexpr int kWaitMs = 20000;
const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

// Answers the next modal QMessageBox with `button` from the event loop and remembers it.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(QMessageBox::StandardButton button) {
    QObject::connect(&timer_, &QTimer::timeout, [this, button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      timer_.stop();
      seen = true;
      title = box->windowTitle();
      text = box->text();
      icon = box->icon();
      box->button(button)->click();
    });
    timer_.start(5);
  }

  bool seen = false;
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;

 private:
  QTimer timer_;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A copy of our own: a loaded image is locked, and other tests may load theirs meanwhile.
    image_ = firmware::DemoImage().Build();
    ASSERT_TRUE(firmware::ImageBuilder().BytesAt(0, image_).WriteTo(firmware_.File("demo.hex")));
  }

  void TearDown() override { dialog_.reset(); }

  // The device's fixed pauses shrink a hundredfold unless `pauseScale` says otherwise.
  CFwToolDlg& Open(const std::string& options, const std::string& commandLine = "",
                   double pauseScale = 0.01, const std::string& folder = "") {
    std::string error;
    std::optional<sim::SimOptions> simulate = sim::ParseSimOptions(options, error);
    EXPECT_TRUE(simulate.has_value()) << error;
    dialog_.reset();
    dialog_ = std::make_unique<CFwToolDlg>(commandLine, simulate,
                                           folder.empty() ? firmware_.Path() : folder,
                                           platform::Pauses(pauseScale));
    return *dialog_;
  }

  // Opens the window on the Welcome page.
  CFwToolDlg& Show(const std::string& options, double pauseScale = 0.01,
                   const std::string& folder = "") {
    CFwToolDlg& dialog = Open(options, "", pauseScale, folder);
    EXPECT_TRUE(dialog.OnInitDialog());
    dialog.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    return dialog;
  }

  QPushButton& Button(const char* name) { return *dialog_->findChild<QPushButton*>(name); }
  QLabel& Label(const char* name) { return *dialog_->findChild<QLabel*>(name); }
  QString Status() { return Label("status").text(); }
  QColor StatusColour() { return Label("status").palette().color(QPalette::WindowText); }

  // Clicks `name` once it is enabled.
  void Click(const char* name) {
    QPushButton& button = Button(name);
    ASSERT_TRUE(QTest::qWaitFor([&] { return button.isEnabled(); }, kWaitMs))
        << name << " never enabled; status: " << Status().toStdString();
    QTest::mouseClick(&button, Qt::LeftButton);
  }

  // Next up to the information page.
  void WalkToInformationPage() {
    Click("next");
    Click("next");
    ASSERT_TRUE(WaitForStatus("Firmware file version and device version check"))
        << Label("message").text().toStdString();
  }

  bool WaitForStatus(const QString& status) {
    return QTest::qWaitFor([&] { return Status() == status; }, kWaitMs);
  }

  testing::ScratchDir firmware_;
  std::vector<std::uint8_t> image_;
  std::unique_ptr<CFwToolDlg> dialog_;
};

TEST_F(WindowTest, StartupRefusalsShowTheirBoxAndEndTheTool) {
  const struct {
    const char* options;
    const char* text;
  } cases[] = {
      {"devices=0", "No Kavori Device found.\nPlease connect one, and then try again."},
      {"devices=2",
       "More then one Kavori Devices are connected.\nPlease make sure that only the Kavori that "
       "needs a firmware upgrade is connected.\nThen try again."},
  };
  QApplication::setApplicationName(QString::fromLatin1(wizard::kApplicationTitle));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    CFwToolDlg& dialog = Open(c.options);
    BoxAnswerer box(QMessageBox::Ok);
    EXPECT_EQ(dialog.DoModal(), 0);
    EXPECT_TRUE(box.seen);
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.title, wizard::kApplicationTitle);
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_FALSE(dialog.isVisible()) << "the wizard was offered after the refusal";
    dialog_.reset();
  }
}

TEST_F(WindowTest, ClickingThroughProgramsTheDeviceAndFinishEndsWithoutAQuestion) {
  CFwToolDlg& dialog = Show("pid=0x0005,replug=20,restart=10");
  EXPECT_EQ(dialog.windowTitle(), wizard::kApplicationTitle);
  EXPECT_EQ(Status(), "Welcome");
  EXPECT_EQ(StatusColour(), kBlack);
  // A bare machine without fonts renders every text as nothing, without an error.
  const QImage message = Label("message").grab().toImage();
  bool inked = false;
  for (int y = 0; y < message.height() && !inked; ++y)
    for (int x = 0; x < message.width() && !inked; ++x) inked = qGray(message.pixel(x, y)) < 96;
  EXPECT_TRUE(inked) << "the message text rendered blank: is a font installed?";

  WalkToInformationPage();
  Click("next");  // prepare; the simulated user replugs the device
  ASSERT_TRUE(WaitForStatus("Device is reconnected."));
  Click("next");
  ASSERT_TRUE(WaitForStatus("Programming completed successfully.")) << Status().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Button("finish").isEnabled(); }, kWaitMs));
  EXPECT_EQ(StatusColour(), kBlack);
  EXPECT_FALSE(Button("next").isEnabled());
  EXPECT_FALSE(Button("back").isEnabled());

  const std::optional<frontend::SimulatedDevice> device =
      dialog.Session().DescribeSimulatedDevice();
  ASSERT_TRUE(device.has_value());
  const QByteArray image(reinterpret_cast<const char*>(image_.data()),
                         static_cast<qsizetype>(image_.size()));
  EXPECT_EQ(device->flashSha256,
            QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex().toStdString());

  BoxAnswerer unexpected(QMessageBox::No);
  Click("finish");
  EXPECT_FALSE(unexpected.seen) << "a successful run asks nothing";
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(WindowTest, FailedRunShowsARedStatusAndFinishAsks) {
  CFwToolDlg& dialog = Show("pid=0x8105,nak=verify,restart=10");
  WalkToInformationPage();
  Click("next");
  ASSERT_TRUE(WaitForStatus("Verify failed !"));
  EXPECT_EQ(StatusColour(), kRed);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Button("finish").isEnabled(); }, kWaitMs));
  EXPECT_EQ(Label("message").palette().color(QPalette::WindowText),
            dialog.palette().color(QPalette::WindowText))
      << "only the status line turns red";

  {
    BoxAnswerer box(QMessageBox::No);
    Click("finish");
    EXPECT_TRUE(box.seen);
    EXPECT_EQ(box.text, "Close and exit ?");
    EXPECT_EQ(box.title, dialog.windowTitle());
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
  }
  EXPECT_TRUE(dialog.isVisible()) << "No must leave the wizard as it was";
  EXPECT_EQ(Status(), "Verify failed !");
  BoxAnswerer yes(QMessageBox::Yes);
  Click("finish");
  EXPECT_TRUE(yes.seen);
  EXPECT_FALSE(dialog.isVisible());
}

// After a mouse click on Next the step entry disabled the button that had the focus,
// and the next Enter took the OK path and ended the tool with the device in its loader. Now
// every complete page has the focus on its first enabled button of Next, Finish, Back, and
// Enter while a page is not complete yet does nothing.
TEST_F(WindowTest, EnterAfterEveryMouseClickNeverEndsTheToolMidUpgrade) {
  // The latency keeps the download going for a while: Enter lands in the middle of it.
  CFwToolDlg& dialog = Show("pid=0x0005,replug=300,restart=10,latency-us=2000");
  const auto enter = [&] {
    QWidget* target = dialog.focusWidget();
    QTest::keyClick(target != nullptr ? target : &dialog, Qt::Key_Return);
  };
  const auto focused = [&]() -> std::string {
    QWidget* focus = dialog.focusWidget();
    return focus == nullptr ? "nothing" : focus->objectName().toStdString();
  };
  EXPECT_EQ(focused(), "next") << "Welcome";

  Click("next");  // the device search completes at once
  EXPECT_EQ(focused(), "next") << Status().toStdString();

  Click("next");  // the firmware search goes on off the UI thread
  ASSERT_TRUE(dialog.Session().Wizard().EntryInProgress());
  enter();
  EXPECT_TRUE(dialog.isVisible()) << "Enter during the firmware search ended the tool";
  ASSERT_TRUE(WaitForStatus("Firmware file version and device version check"));
  EXPECT_EQ(focused(), "next");

  Click("next");  // prepare: the device is between its modes from here on
  ASSERT_TRUE(dialog.Session().Wizard().EntryInProgress());
  enter();
  EXPECT_TRUE(dialog.isVisible()) << "Enter in the pause after prepare ended the tool";
  ASSERT_TRUE(WaitForStatus("Preparing device done, waiting for reconnect ..."));
  EXPECT_EQ(focused(), "finish") << "the only enabled button while the device is away";
  {
    // Enter presses Finish, which asks; No keeps the wizard waiting for the device.
    BoxAnswerer no(QMessageBox::No);
    enter();
    EXPECT_TRUE(no.seen) << "Enter did not press Finish";
    EXPECT_TRUE(dialog.isVisible());
  }
  ASSERT_TRUE(WaitForStatus("Device is reconnected."));
  EXPECT_EQ(focused(), "next") << "Device is reconnected.";
  enter();  // presses Next: programming starts
  ASSERT_EQ(dialog.Session().Wizard().WizardStep(), 6) << Status().toStdString();
  ASSERT_TRUE(dialog.Session().Wizard().ProgrammingActive());
  enter();
  EXPECT_TRUE(dialog.isVisible()) << "Enter during programming ended the tool";
  ASSERT_TRUE(WaitForStatus("Programming completed successfully.")) << Status().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Button("finish").isEnabled(); }, kWaitMs));
  EXPECT_EQ(focused(), "finish");
  BoxAnswerer unexpected(QMessageBox::No);
  enter();  // presses Finish after a successful run: the end, without a question
  EXPECT_FALSE(unexpected.seen);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), 0) << "ended through the OK path, not through Finish";
}

// A failed device search whose cause only Linux has keeps the wizard's texts and shows
// the cause and the way out below them, in the terminal's words; other causes change nothing.
TEST_F(WindowTest, LinuxOnlyCausesOfAFailedSearchShowBelowThePagesTexts) {
  const std::string inUse =
      "Kavori Device was NOT found.\n\nPlease Close Any Application that might using "
      "it.\n\nPlease click 'Back' and follow the prompted instructions.\n\nTo continue, "
      "click 'Back'.";
  const std::string notFound =
      "Kavori Device was NOT found.\n\nPlease Click 'Back' and follow the prompted "
      "instructions.\n\nTo continue, click 'Back'.";
  const struct {
    const char* options;
    std::string message;
  } cases[] = {
      {"held-by=4242:softphone",
       inUse + "\n\nsim:hidraw1: vendor 0x0BEF product 0x0005 is held open by another "
               "application, process 4242 (softphone)"},
      {"lock=held", inUse},
      {"pid=0x0006", notFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Show(c.options);
    Click("next");
    EXPECT_EQ(Label("message").text().toStdString(), c.message);
    EXPECT_EQ(dialog_->focusWidget(), &Button("back"));
  }

  // A Kavori this user may not open (the hidraw backend says so; the simulated one cannot): the
  // udev rule and its reload command.
  const platform::Diagnostic denied{"open /dev/hidraw3: Permission denied", true, 0x0BEF};
  dialog_->ShowDiagnostics({denied});
  const QString message = Label("message").text();
  EXPECT_TRUE(message.startsWith(QString::fromStdString(notFound) +
                                 "\n\nopen /dev/hidraw3: Permission denied\na Kavori is "
                                 "connected, but this user may not open it: install the udev rule"))
      << message.toStdString();
  EXPECT_TRUE(message.contains("sudo udevadm control --reload-rules && sudo udevadm trigger"));
  // All of it can be read: the area scrolls when the causes make it longer than the template.
  auto* area = dialog_->findChild<QScrollArea*>("messageArea");
  ASSERT_NE(area, nullptr);
  // The layout only: painting the window here would start Qt Gui's own pooled threads, whose
  // hand-over ThreadSanitizer cannot see (Qt is not instrumented).
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  QLabel& label = Label("message");
  EXPECT_GE(label.height(), label.heightForWidth(label.width())) << "the text is clipped";
  EXPECT_EQ(area->verticalScrollBar()->isVisible(), label.height() > area->viewport()->height());
}

// Escape, the close box and Enter on no button: refused while programming runs, the end of the
// tool at any other time.
TEST_F(WindowTest, CancelAndOkPathsAreRefusedOnlyWhileProgramming) {
  const struct {
    const char* name;
    std::function<void(CFwToolDlg&)> press;
    int result;
  } ways[] = {
      {"escape", [](CFwToolDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, kIdCancel},
      {"close box", [](CFwToolDlg& d) { d.close(); }, kIdCancel},
      {"enter on no button",
       [](CFwToolDlg& d) {
         if (QWidget* focus = d.focusWidget()) focus->clearFocus();
         QTest::keyClick(&d, Qt::Key_Return);
       },
       kIdOk},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    CFwToolDlg& dialog = Show("pid=0x8105,latency-us=3000,restart=10");
    WalkToInformationPage();
    Click("next");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Status().startsWith("Programming, "); }, kWaitMs));
    way.press(dialog);
    EXPECT_TRUE(dialog.isVisible()) << "the tool ended while programming";
    ASSERT_TRUE(WaitForStatus("Programming completed successfully."));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Button("finish").isEnabled(); }, kWaitMs));
    way.press(dialog);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), way.result);
    dialog_.reset();
  }
}

// Each window whose wizard started leaves one line in the history when it ends, with the end
// kavori-flash would report on the same page: a programmed device; a page without Next (the
// device search refused); a page the user left while Next was offered.
TEST_F(WindowTest, EachRunEndsWithItsLineInTheHistory) {
  const std::string imageSha256 =
      QCryptographicHash::hash(QByteArray(reinterpret_cast<const char*>(image_.data()),
                                          static_cast<qsizetype>(image_.size())),
                               QCryptographicHash::Sha256)
          .toHex()
          .toStdString();
  constexpr char kSerial[] = "KAVSBL01234567890ABCDE";
  const auto escape = [this] { QTest::keyClick(dialog_.get(), Qt::Key_Escape); };
  const struct {
    const char* name;
    const char* options;
    std::function<void()> run;
    const char* result;
    int exitCode;
    int step;  // -1: none
    const char* status;
    const char* serial;  // empty when the device search accepted none
    bool image;
    const char* diagnostic;  // a part of one diagnostic line; null: none
  } cases[] = {
      {"programmed", "pid=0x8105,restart=10",
       [&] {
         WalkToInformationPage();
         Click("next");
         ASSERT_TRUE(WaitForStatus("Programming completed successfully."));
         Click("finish");
       },
       "ok", 0, -1, "Programming completed successfully.", kSerial, true, nullptr},
      {"device search refused", "held-by=4242:softphone",
       [&] {
         Click("next");
         escape();
       },
       "failed", 3, 1, "Kavori Device is in use by other application.", "", false,
       "process 4242 (softphone)"},
      {"left on the information page", "",
       [&] {
         WalkToInformationPage();
         escape();
       },
       "failed", 130, 2, "Firmware file version and device version check", kSerial, true, nullptr},
  };
  const QString history = QString::fromStdString(frontend::HistoryPath());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(history);
    Show(c.options);
    c.run();
    ASSERT_FALSE(dialog_->isVisible());
    QFile file(history);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << history.toStdString();
    const QByteArray lines = file.readAll();
    ASSERT_EQ(lines.count('\n'), 1) << lines.toStdString();
    const QJsonObject record = QJsonDocument::fromJson(lines).object();
    EXPECT_EQ(record["front_end"].toString().toStdString(), "kavori-fwtool");
    EXPECT_TRUE(record["simulated"].toBool());
    EXPECT_EQ(record["result"].toString().toStdString(), c.result);
    EXPECT_EQ(record["exit_code"].toInt(-1), c.exitCode);
    EXPECT_EQ(record["step"].toInt(-1), c.step);
    EXPECT_EQ(record["status"].toString().toStdString(), c.status);
    EXPECT_EQ(record["serial"].toString().toStdString(), c.serial);
    EXPECT_EQ(record["image"].toObject()["sha256"].toString().toStdString(),
              c.image ? imageSha256 : "");
    const QJsonArray diagnostics = record["diagnostics"].toArray();
    if (c.diagnostic == nullptr)
      EXPECT_TRUE(diagnostics.isEmpty()) << lines.toStdString();
    else
      EXPECT_TRUE(std::any_of(diagnostics.begin(), diagnostics.end(), [&](const QJsonValue& line) {
        return line.toString().contains(c.diagnostic);
      })) << lines.toStdString();
    dialog_.reset();
  }
}

// Escape while the firmware search goes through a crowded folder closes the window at once; the
// search is abandoned and nothing is sent to the device.
TEST_F(WindowTest, EscapeDuringTheFirmwareSearchClosesAtOnce) {
  testing::ScratchDir crowded;
  for (int k = 0; k < 3000; ++k)
    ASSERT_TRUE(firmware::ImageBuilder().Magic().Size(64).WriteTo(
        crowded.File("a" + std::to_string(10000 + k) + ".hex")));
  // Real pauses: the search takes 3 s at least.
  CFwToolDlg& dialog = Show("", 1.0, crowded.Path());
  Click("next");
  Click("next");
  ASSERT_EQ(Status(), "Searching a Kavori firmware file ...");
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible()) << "the window waited for the search";
  EXPECT_EQ(dialog.result(), kIdCancel);
  EXPECT_EQ(Status(), "Searching a Kavori firmware file ...") << "the search's result was shown";
}

TEST_F(WindowTest, SystemCommandsOfTheAboutRangeOpenTheAboutBox) {
  CFwToolDlg& dialog = Show("");
  for (const unsigned id : {0x0010u, 0x0015u, 0x001Fu, 0x0020u, 0xF060u}) {
    SCOPED_TRACE(id);
    bool opened = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      if (auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
        opened = true;
        about->accept();
      }
    });
    closer.start(5);
    dialog.OnSysCommand(id);
    EXPECT_EQ(opened, id < 0x0020u);
  }
}

// Worker tasks run inside the About box's nested loop: the whole run goes on behind it.
TEST_F(WindowTest, AboutBoxStaysOpenThroughAWholeProgrammingRun) {
  CFwToolDlg& dialog = Show("pid=0x8105,latency-us=2000,restart=10");
  WalkToInformationPage();
  Click("next");
  bool finishedBehindTheBox = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    if (about == nullptr || !Button("finish").isEnabled()) return;
    finishedBehindTheBox = Status() == "Programming completed successfully.";
    about->accept();
  });
  watcher.start(5);
  dialog.OnSysCommand(kAboutCommand);
  EXPECT_TRUE(finishedBehindTheBox) << Status().toStdString();
  EXPECT_TRUE(Label("message").text().startsWith("Programming completed successfully."));
}

// The watcher brings the device back while "Close and exit ?" waits for its answer: its advance
// runs inside the question's loop, and No leaves the wizard on the page it has reached.
TEST_F(WindowTest, DeviceComesBackWhileFinishAsks) {
  Show("pid=0x0005,replug=300,restart=10");
  WalkToInformationPage();
  Click("next");
  ASSERT_TRUE(WaitForStatus("Preparing device done, waiting for reconnect ..."));
  bool reconnectedBehindTheBox = false;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || Status() != "Device is reconnected.") return;
    reconnectedBehindTheBox = Button("next").isEnabled();
    box->button(QMessageBox::No)->click();
  });
  answerer.start(5);
  Click("finish");
  answerer.stop();
  ASSERT_TRUE(reconnectedBehindTheBox);
  EXPECT_TRUE(dialog_->isVisible());
  Click("next");
  EXPECT_TRUE(WaitForStatus("Programming completed successfully.")) << Status().toStdString();
}

// The two dialog templates, held by one table each, at the dialog
// font the tests render with: every control's rectangle from its dialog units, the texts and
// mnemonics, which button is the default, and the tab order. A changed rectangle, tab order or
// mnemonic fails here.
struct TemplateControl {
  const char* name;         // objectName
  int x, y, width, height;  // dialog units; width and height 0: sized by its picture
  const char* text;         // as the template gives it, or null (a picture)
  const char* mnemonic;     // the key sequence its "&" makes, or null
  bool isDefault;           // a default push button
};

struct DialogTemplate {
  const char* name;
  int width, height;
  const char* caption;
  std::vector<TemplateControl> controls;
  std::vector<const char*> tabOrder;  // the tab stops, in order, from the first
};

const DialogTemplate kWizardTemplate{
    "wizard dialog, template 102",
    317,
    137,
    wizard::kApplicationTitle,
    {
        {"status", 5, 120, 305, 10, "Status", nullptr, false},
        {"picture", 5, 5, 0, 0, nullptr, nullptr, false},
        {"messageArea", 100, 7, 205, 83, nullptr, nullptr, false},
        {"next", 195, 100, 45, 15, "&Next", "Alt+N", false},
        {"back", 130, 100, 45, 15, "&Back", "Alt+B", false},
        {"finish", 265, 100, 45, 15, "&Finish", "Alt+F", false},
    },
    {"next", "back", "finish"},
};

const DialogTemplate kAboutTemplate{
    "About box, template 100",
    202,
    101,
    kAboutCaption,
    {
        {"icon", 5, 5, 0, 0, nullptr, nullptr, false},
        {"version", 35, 10, 66, 8, "Version 1.0", nullptr, false},
        {"copyright", 5, 30, 160, 20, kCopyrightLine, nullptr, false},
        {"ok", 140, 5, 50, 14, "OK", nullptr, true},
        {"timeOutSlider", 10, 75, 160, 15, nullptr, nullptr, false},
        {"timeOut", 15, 65, 150, 8, "Time out: 5000 ms", nullptr, false},
    },
    {"ok", "timeOutSlider"},
};

void ExpectTemplate(QDialog& dialog, const DialogTemplate& t) {
  SCOPED_TRACE(t.name);
  // The fixed font: 8 points, the one the dialogs ask for.
  EXPECT_EQ(dialog.font(), DialogFont());
  EXPECT_EQ(dialog.font().pointSize(), 8);
  const DialogUnits du(dialog.font());
  EXPECT_EQ(dialog.windowTitle(), t.caption);
  EXPECT_EQ(dialog.size(), du.Size(t.width, t.height));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << "not of a fixed size";
  for (const TemplateControl& c : t.controls) {
    SCOPED_TRACE(c.name);
    auto* widget = dialog.findChild<QWidget*>(QString::fromLatin1(c.name));
    ASSERT_NE(widget, nullptr) << "no such control";
    if (c.width == 0) {
      // A picture static sizes itself to its picture, from the template's corner.
      EXPECT_EQ(widget->pos(), QPoint(du.X(c.x), du.Y(c.y)));
      auto* label = qobject_cast<QLabel*>(widget);
      ASSERT_NE(label, nullptr);
      ASSERT_FALSE(label->pixmap().isNull()) << "no picture";
      const int frame = 2 * label->frameWidth();
      EXPECT_EQ(widget->size(),
                label->pixmap().deviceIndependentSize().toSize() + QSize(frame, frame));
    } else {
      EXPECT_EQ(widget->geometry(), du.Rect(c.x, c.y, c.width, c.height));
    }
    if (c.text != nullptr) {
      QString text;
      if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
      if (auto* button = qobject_cast<QPushButton*>(widget)) text = button->text();
      EXPECT_EQ(text, c.text);
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_EQ(button->isDefault(), c.isDefault);
      if (!c.isDefault) {
        EXPECT_FALSE(button->autoDefault()) << "Enter would press it from afar";
      }
      EXPECT_EQ(button->shortcut(), c.mnemonic != nullptr
                                        ? QKeySequence(QString::fromLatin1(c.mnemonic))
                                        : QKeySequence());
    }
  }
  // The tab order: from the first tab stop through the others and back to the first.
  std::vector<std::string> order;
  QWidget* first = dialog.findChild<QWidget*>(QString::fromLatin1(t.tabOrder.front()));
  ASSERT_NE(first, nullptr);
  QWidget* w = first;
  do {
    if (w->focusPolicy() & Qt::TabFocus) order.push_back(w->objectName().toStdString());
    w = w->nextInFocusChain();
  } while (w != first && order.size() <= t.tabOrder.size() + 8);
  EXPECT_EQ(order, std::vector<std::string>(t.tabOrder.begin(), t.tabOrder.end()));
}

TEST(DialogTemplates, EveryControlTextMnemonicAndTabStopAsTheTemplateGivesIt) {
  testing::ScratchDir folder;
  CFwToolDlg wizardDialog("", sim::SimOptions{}, folder.Path());
  ExpectTemplate(wizardDialog, kWizardTemplate);
  CAboutDlg about("", wizardDialog.Session().Wizard(), &wizardDialog);
  ExpectTemplate(about, kAboutTemplate);
}

// The artwork is rendered from its SVG at the device pixel ratio, so that the
// picture and the icon stay sharp at a scale factor of 2 (ctest runs this also with
// QT_SCALE_FACTOR=2, as HiDpi.ScaleFactor2).
TEST(HiDpi, ArtworkIsRenderedAtTheDevicePixelRatio) {
  testing::ScratchDir folder;
  CFwToolDlg dialog("", sim::SimOptions{}, folder.Path());
  const qreal ratio = dialog.devicePixelRatioF();
  if (qEnvironmentVariable("QT_SCALE_FACTOR") == "2") {
    EXPECT_EQ(ratio, 2.0);
  }
  const int scale = ratio > 1.0 ? 2 : 1;
  const QPixmap picture = dialog.findChild<QLabel*>("picture")->pixmap();
  EXPECT_EQ(picture.devicePixelRatio(), scale);
  EXPECT_EQ(picture.size(), QSize(125, 173) * scale) << "not rendered at this ratio";
  EXPECT_EQ(picture.deviceIndependentSize().toSize(), QSize(125, 173));
  // The window's icon has both renderings.
  const QList<QSize> sizes = dialog.windowIcon().availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(32, 32)));
  EXPECT_TRUE(sizes.contains(QSize(64, 64)));
  CAboutDlg about("", dialog.Session().Wizard(), &dialog);
  const QPixmap icon = about.findChild<QLabel*>("icon")->pixmap();
  EXPECT_EQ(icon.size(), QSize(32, 32) * scale);
  EXPECT_EQ(icon.deviceIndependentSize().toSize(), QSize(32, 32));
  // The 2x rendering has detail of its own, not the 1x one scaled up: some 2x2 block of it is
  // not flat.
  const QImage two = ArtworkPixmap("wizard-picture", 2.0).toImage();
  bool detail = false;
  for (int y = 0; y + 1 < two.height() && !detail; y += 2)
    for (int x = 0; x + 1 < two.width() && !detail; x += 2)
      detail = two.pixel(x, y) != two.pixel(x + 1, y) || two.pixel(x, y) != two.pixel(x, y + 1);
  EXPECT_TRUE(detail);
}

// Focus after each step entry, once its page is complete: the first enabled of Next, Finish,
// Back, for every kind of page a walk with Next reaches.
TEST_F(WindowTest, FocusAfterEachStepEntryIsOnTheFirstEnabledOfNextFinishBack) {
  testing::ScratchDir empty;
  testing::ScratchDir invalid;
  ASSERT_TRUE(firmware::ImageBuilder().Size(64).WriteTo(invalid.File("bad.hex")));
  const struct {
    const char* options;
    int nexts;
    const char* folder;  // null: the demo image's
    const char* status;  // of the complete page
    const char* focus;
  } rows[] = {
      {"", 0, nullptr, "Welcome", "next"},
      {"", 1, nullptr, "Kavori Device was found.", "next"},
      {"lock=held", 1, nullptr, "Kavori Device is in use by other application.", "back"},
      {"held-by=4242:softphone", 1, nullptr, "Kavori Device is in use by other application.",
       "back"},
      {"pid=0x0006", 1, nullptr, "Searching a Kavori Device ...", "back"},
      {"", 2, nullptr, "Firmware file version and device version check", "next"},
      {"", 2, "empty", "Firmware file not found !", "back"},
      {"", 2, "invalid", "Invalid firmware hex file !", "finish"},
      {"replug=never", 3, nullptr, "Preparing device done, waiting for reconnect ...", "finish"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.options) + ", " + std::to_string(row.nexts) + " x Next");
    const std::string folder = row.folder == nullptr                ? ""
                               : std::string(row.folder) == "empty" ? empty.Path()
                                                                    : invalid.Path();
    CFwToolDlg& dialog = Show(row.options, 0.01, folder);
    for (int k = 0; k < row.nexts; ++k) Click("next");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !dialog.Session().Wizard().EntryInProgress() && Status() == row.status; },
        kWaitMs))
        << Status().toStdString();
    QWidget* focus = dialog.focusWidget();
    EXPECT_EQ(focus != nullptr ? focus->objectName().toStdString() : "nothing", row.focus);
  }
}

// The box writes the reply time-out of a wizard's session.
class AboutBoxTest : public ::testing::Test {
 protected:
  wizard::Wizard& Wizard() { return owner_.Session().Wizard(); }

  // Drags the thumb far beyond `towardsRight`'s end of the channel and lets go.
  static void DragThumb(QSlider& slider, bool towardsRight) {
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.orientation = slider.orientation();
    option.minimum = slider.minimum();
    option.maximum = slider.maximum();
    option.sliderPosition = slider.sliderPosition();
    option.sliderValue = slider.value();
    const QRect thumb = slider.style()->subControlRect(QStyle::CC_Slider, &option,
                                                       QStyle::SC_SliderHandle, &slider);
    const QPoint end(towardsRight ? slider.width() + 200 : -200, thumb.center().y());
    QTest::mousePress(&slider, Qt::LeftButton, {}, thumb.center());
    QTest::mouseMove(&slider, (thumb.center() + end) / 2);
    QTest::mouseMove(&slider, end);
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, end);
  }

  testing::ScratchDir folder_;
  CFwToolDlg owner_{"", sim::SimOptions{}, folder_.Path()};
};

TEST_F(AboutBoxTest, OnlyTheExactServiceCodeShowsTheSlider) {
  for (const char* commandLine : {"4630275", "4630275 ", "x4630275", "", "463027"}) {
    SCOPED_TRACE(commandLine);
    CAboutDlg about(commandLine, Wizard(), nullptr);
    about.OnInitDialog();
    const bool service = std::string(commandLine) == kServiceCode;
    EXPECT_EQ(about.Slider().isVisibleTo(&about), service);
    EXPECT_EQ(about.TimeOutLabel().isVisibleTo(&about), service);
    EXPECT_EQ(about.Slider().value(), 30000);
    EXPECT_EQ(about.TimeOutLabel().text(), "Time Out: 30000 ms");
    EXPECT_EQ(about.VersionLabel().text(), "1.0.3.0");
    EXPECT_EQ(about.windowTitle(), kAboutCaption);
  }
}

TEST_F(AboutBoxTest, OnlyDraggingTheThumbSetsTheTimeout) {
  CAboutDlg about(kServiceCode, Wizard(), nullptr);
  about.OnInitDialog();
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  QSlider& slider = about.Slider();

  for (const Qt::Key key : {Qt::Key_Left, Qt::Key_PageDown, Qt::Key_Home, Qt::Key_End}) {
    QTest::keyClick(&slider, key);
  }
  EXPECT_NE(slider.value(), 30000) << "the keys did not reach the slider";
  EXPECT_EQ(Wizard().ReplyTimeoutMs(), 30000) << "a key changed the time-out";
  EXPECT_EQ(about.TimeOutLabel().text(), "Time Out: 30000 ms");

  DragThumb(slider, false);
  EXPECT_EQ(Wizard().ReplyTimeoutMs(), 1);
  EXPECT_EQ(about.TimeOutLabel().text(), "Time Out: 1 ms");
  DragThumb(slider, true);
  EXPECT_EQ(Wizard().ReplyTimeoutMs(), 32766);
  EXPECT_EQ(about.TimeOutLabel().text(), "Time Out: 32766 ms");

  // Another control's notification, or another code, changes nothing.
  about.OnHScroll(CAboutDlg::kThumbTrack, 500, &about);
  about.OnHScroll(1, 500, &slider);
  EXPECT_EQ(Wizard().ReplyTimeoutMs(), 32766);

  CAboutDlg reopened(kServiceCode, Wizard(), nullptr);
  reopened.OnInitDialog();
  EXPECT_EQ(reopened.Slider().value(), 32766) << "a fresh box starts from the value last set";
  EXPECT_EQ(reopened.TimeOutLabel().text(), "Time Out: 32766 ms");
}

TEST(CommandLine, ArgumentsAreJoinedBySingleBlanks) {
  const struct {
    std::vector<const char*> argv;
    const char* line;
  } cases[] = {
      {{"kavori-fwtool"}, ""},
      {{"kavori-fwtool", "4630275"}, "4630275"},
      {{"kavori-fwtool", "4630275 "}, "4630275 "},
      {{"kavori-fwtool", "a", "b c"}, "a b c"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CommandLineOf(static_cast<int>(c.argv.size()), c.argv.data()), c.line);
}

// A display of our own, so that a wizard running on this machine is not disturbed.
void UseOwnDisplay() {
  qputenv("DISPLAY", ":kavori-test-" + QByteArray::number(QCoreApplication::applicationPid()));
}

// kavori-fwtool against the default simulated Kavori, on the offscreen platform.
void StartWindow(QProcess& process) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("KAVORI_SIMULATE"), QString());
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  process.setProcessEnvironment(environment);
  process.start(QStringLiteral(KAVORI_FWTOOL_PATH), {});
}

bool WaitForEnd(QProcess& process) {
  const bool ended =
      QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kWaitMs);
  if (!ended) process.kill();
  return ended;
}

TEST(SingleInstance, ASecondStartAsksTheFirstToComeForwardAndExitsAtOnce) {
  UseOwnDisplay();
  SingleInstanceGuard first(InstanceName());
  ASSERT_TRUE(first.Claim());
  int requests = 0;
  first.OnComeForward([&] { ++requests; });

  QProcess second;
  QElapsedTimer elapsed;
  elapsed.start();
  StartWindow(second);
  const bool ended = WaitForEnd(second);
  ::testing::Test::RecordProperty("second_start_ms", static_cast<int>(elapsed.elapsed()));
  ASSERT_TRUE(ended) << "the second start opened a wizard of its own";
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(requests, 1);
}

// SIGTERM, Ctrl-C and Ctrl-\ (SIGQUIT) in the terminal that started it end the window through its
// cancel path, which programming refuses, instead of killing the process on the spot (and, for
// SIGQUIT, dumping a core).
TEST(Signals, TerminationEndsTheWindowThroughItsCancelPath) {
  UseOwnDisplay();
  for (const int signal : {SIGTERM, SIGINT, SIGQUIT}) {
    SCOPED_TRACE(signal);
    QProcess window;
    StartWindow(window);
    // Once it answers on its instance socket, its signals are routed to the UI thread.
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
          QLocalSocket probe;
          probe.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
          probe.connectToServer(InstanceName());
          return probe.waitForConnected(100);
        },
        kWaitMs));
    ::kill(static_cast<pid_t>(window.processId()), signal);
    ASSERT_TRUE(WaitForEnd(window));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit) << "killed by the signal";
    EXPECT_EQ(window.exitCode(), kExitNormal);
  }
}

// Without a display the tool ends with exit status 1 and one line, never Qt's abort (SIGABRT, a
// core dump), and --help and --version print without opening the window.
struct DisplayCase {
  const char* name;
  const char* qpa;      // QT_QPA_PLATFORM, or null for none
  const char* display;  // DISPLAY, or null for none
  const char* wayland;  // WAYLAND_DISPLAY, or null for none
};

QProcessEnvironment WithDisplay(const DisplayCase& c) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "KAVORI_SIMULATE"})
    environment.remove(QString::fromLatin1(name));
  environment.insert(QStringLiteral("KAVORI_SIMULATE"), QString());
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir::tempPath());
  if (c.qpa) environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QString::fromLatin1(c.qpa));
  if (c.display) environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(c.display));
  if (c.wayland)
    environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QString::fromLatin1(c.wayland));
  return environment;
}

TEST(Startup, WithoutAUsableDisplayOneLineAndExitOne) {
  const DisplayCase cases[] = {
      {"no display named", nullptr, nullptr, nullptr},
      {"an X display nobody serves", nullptr, ":4711", nullptr},
      {"xcb chosen, nobody serves it", "xcb", ":4711", nullptr},
      {"wayland chosen, nobody serves it", "wayland", nullptr, "kavori-nobody"},
  };
  for (const DisplayCase& c : cases) {
    SCOPED_TRACE(c.name);
    QProcess window;
    window.setProcessEnvironment(WithDisplay(c));
    window.start(QStringLiteral(KAVORI_FWTOOL_PATH), {});
    ASSERT_TRUE(WaitForEnd(window));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit) << "aborted";
    EXPECT_EQ(window.exitCode(), kExitCannotStart);
    const QByteArray err = window.readAllStandardError();
    EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
    EXPECT_TRUE(err.startsWith("kavori-fwtool: no ")) << err.toStdString();
  }
}

TEST(Startup, HelpAndVersionNeedNoDisplay) {
  for (const char* argument : {"--help", "-h", "--version"}) {
    SCOPED_TRACE(argument);
    QProcess window;
    window.setProcessEnvironment(WithDisplay({"none", nullptr, nullptr, nullptr}));
    window.start(QStringLiteral(KAVORI_FWTOOL_PATH), {QString::fromLatin1(argument)});
    ASSERT_TRUE(WaitForEnd(window));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(window.exitCode(), kExitNormal);
    const QByteArray out = window.readAllStandardOutput();
    EXPECT_TRUE(std::string(argument) == "--version"
                    ? out == QByteArray(wizard::kVersionText) + "\n"
                    : out.startsWith("Usage: kavori-fwtool"))
        << out.toStdString();
    EXPECT_TRUE(window.readAllStandardError().isEmpty());
  }
}

// A session that cannot start says why in a box (a user started from the menu sees no stderr),
// and on stderr.
TEST(Startup, ABadSimulationShowsItsReasonInABox) {
  UseOwnDisplay();
  qputenv("KAVORI_SIMULATE", "nak=dance");
  QApplication::setApplicationName(QString::fromLatin1(wizard::kApplicationTitle));
  CFwToolApp app("", nullptr);
  BoxAnswerer box(QMessageBox::Ok);
  app.InitInstance();
  qunsetenv("KAVORI_SIMULATE");
  EXPECT_TRUE(box.seen) << "no box";
  EXPECT_EQ(box.title, wizard::kApplicationTitle);
  EXPECT_TRUE(box.text.contains("KAVORI_SIMULATE: simulation option \"nak\""))
      << box.text.toStdString();
  EXPECT_EQ(box.icon, QMessageBox::Critical);
  EXPECT_EQ(app.ExitCode(), kExitBadEnvironment);
}

}  // namespace
}  // namespace kavori::app

int main(int argc, char** argv) {
  // Also when ctest lists the tests: no display is needed, nor used when there is one.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  const kavori::testing::OwnStateHome stateHome;
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
