// The About box: the tool's version and our copyright line, and, when the tool was started with
// the service code as its whole command line, the slider that sets the reply time-out. Only
// dragging the thumb changes the time-out; keys, page steps and clicks on the channel move the
// slider and change nothing else. UI thread only.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <string>

#include "wizard/wizard.hpp"

namespace kavori::app {

inline constexpr char kServiceCode[] = "4630275";
inline constexpr char kAboutCaption[] = "About Brimsel Kavori Sable Firmware Programming Tool";
inline constexpr char kCopyrightLine[] =
    "Copyright (C) 2026 The Kavori firmware tool developers. All rights reserved.";

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  // The scroll codes that move the time-out: the thumb released, and the thumb being dragged.
  static constexpr int kThumbPosition = 4;
  static constexpr int kThumbTrack = 5;

  // `commandLine`: the tool's command line, compared with the service code. `wizard` holds the
  // reply time-out, which must outlive the box. The owner is the wizard window.
  CAboutDlg(std::string commandLine, wizard::Wizard& wizard, QWidget* owner);

  // Fills the box from the current time-out and shows the slider for the service code only.
  bool OnInitDialog();
  // A scroll notification of `scrollBar`: the thumb's tracking and final positions of the
  // slider set the label and the time-out; every other code changes neither.
  void OnHScroll(int code, int position, const QObject* scrollBar);
  // OnInitDialog, then the modal loop; its result.
  int DoModal();

  QSlider& Slider() { return *slider_; }
  QLabel& TimeOutLabel() { return *timeOutLabel_; }
  QLabel& VersionLabel() { return *versionLabel_; }

 private:
  const std::string commandLine_;
  wizard::Wizard& wizard_;
  QLabel* versionLabel_;
  QLabel* timeOutLabel_;
  QSlider* slider_;
  QPushButton* ok_;
};

}  // namespace kavori::app
