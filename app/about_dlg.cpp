#include "app/about_dlg.hpp"

#include <QPixmap>

#include "app/artwork.hpp"
#include "app/dialog_units.hpp"
#include "wizard/version.hpp"
#include "wizard/wizard.hpp"

namespace kavori::app {

namespace {
constexpr int kMinTimeoutMs = 1;
constexpr int kMaxTimeoutMs = 32766;

QString TimeOutText(int ms) { return QStringLiteral("Time Out: %1 ms").arg(ms); }
}  // namespace

CAboutDlg::CAboutDlg(std::string commandLine, wizard::Wizard& wizard, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      commandLine_(std::move(commandLine)),
      wizard_(wizard) {
  LoadArtwork();
  setWindowTitle(QString::fromLatin1(kAboutCaption));
  setFont(DialogFont());
  const DialogUnits du(font());
  setFixedSize(du.Size(202, 101));

  // In template order, which is also the tab order.
  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setPixmap(ArtworkPixmap("app-icon", devicePixelRatioF()));
  icon->move(du.X(5), du.Y(5));
  icon->adjustSize();

  versionLabel_ = new QLabel(QStringLiteral("Version 1.0"), this);
  versionLabel_->setObjectName(QStringLiteral("version"));
  versionLabel_->setTextFormat(Qt::PlainText);
  versionLabel_->setGeometry(du.Rect(35, 10, 66, 8));

  auto* copyright = new QLabel(QString::fromLatin1(kCopyrightLine), this);
  copyright->setObjectName(QStringLiteral("copyright"));
  copyright->setTextFormat(Qt::PlainText);
  copyright->setWordWrap(true);
  copyright->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  copyright->setGeometry(du.Rect(5, 30, 160, 20));

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(QStringLiteral("ok"));
  ok_->setGeometry(du.Rect(140, 5, 50, 14));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  slider_ = new QSlider(Qt::Horizontal, this);
  slider_->setObjectName(QStringLiteral("timeOutSlider"));
  slider_->setTickPosition(QSlider::NoTicks);
  slider_->setGeometry(du.Rect(10, 75, 160, 15));

  timeOutLabel_ = new QLabel(QStringLiteral("Time out: 5000 ms"), this);
  timeOutLabel_->setObjectName(QStringLiteral("timeOut"));
  timeOutLabel_->setTextFormat(Qt::PlainText);
  timeOutLabel_->setGeometry(du.Rect(15, 65, 150, 8));

  setTabOrder(ok_, slider_);

  // While the thumb is dragged, and once more where it is released.
  connect(slider_, &QSlider::sliderMoved, this,
          [this](int position) { OnHScroll(kThumbTrack, position, slider_); });
  connect(slider_, &QSlider::sliderReleased, this,
          [this] { OnHScroll(kThumbPosition, slider_->sliderPosition(), slider_); });
}

bool CAboutDlg::OnInitDialog() {
  slider_->setRange(kMinTimeoutMs, kMaxTimeoutMs);
  const int timeoutMs = wizard_.ReplyTimeoutMs();
  slider_->setValue(timeoutMs);
  timeOutLabel_->setText(TimeOutText(timeoutMs));
  const bool service = commandLine_ == kServiceCode;
  slider_->setVisible(service);
  timeOutLabel_->setVisible(service);
  versionLabel_->setText(QString::fromLatin1(wizard::kVersionText));
  ok_->setFocus();
  return true;
}

void CAboutDlg::OnHScroll(int code, int position, const QObject* scrollBar) {
  if ((code != kThumbPosition && code != kThumbTrack) || scrollBar != slider_) return;
  timeOutLabel_->setText(TimeOutText(position));
  // The range keeps the position within 1..32766.
  wizard_.SetReplyTimeoutMs(static_cast<std::uint16_t>(position));
}

int CAboutDlg::DoModal() {
  OnInitDialog();
  return exec();
}

}  // namespace kavori::app
