#include "SystrayIcon.h"

#include <QSystemTrayIcon>

struct SystrayIcon::Impl {
  QIcon icon;
  QString tip;
  bool shown = false;
  // Created by the first Show, so a hidden object costs nothing on the desktop.
  std::unique_ptr<QSystemTrayIcon> tray;
};

SystrayIcon::SystrayIcon(QObject* parent) : QObject(parent), d_(std::make_unique<Impl>()) {}

SystrayIcon::~SystrayIcon() { Hide(); }

void SystrayIcon::Show() {
  if (!d_->tray) {
    d_->tray = std::make_unique<QSystemTrayIcon>(this);
    d_->tray->setIcon(d_->icon);
    d_->tray->setToolTip(d_->tip);
    connect(d_->tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
      // The mouse messages each activation stands for.
      switch (r) {
        case QSystemTrayIcon::Trigger: HandleMouseMessage(0x201), HandleMouseMessage(0x202); break;
        case QSystemTrayIcon::Context: HandleMouseMessage(0x204), HandleMouseMessage(0x205); break;
        case QSystemTrayIcon::DoubleClick: HandleMouseMessage(0x203), HandleMouseMessage(0x202); break;
        case QSystemTrayIcon::MiddleClick: HandleMouseMessage(0x207), HandleMouseMessage(0x208); break;
        default: break;
      }
    });
  }
  if (d_->shown) return;
  d_->tray->show();
  d_->shown = true;
}

void SystrayIcon::Hide() {
  if (!d_->shown) return;
  d_->tray->hide();
  d_->shown = false;
}

void SystrayIcon::Refresh() {
  if (!d_->shown) return;
  d_->tray->setIcon(d_->icon);
  d_->tray->setToolTip(d_->tip);
}

QIcon SystrayIcon::Icon() const { return d_->icon; }

void SystrayIcon::SetIcon(const QIcon& icon) {
  d_->icon = icon;
  Refresh();
}

QString SystrayIcon::TipText() const { return d_->tip; }

void SystrayIcon::SetTipText(const QString& tip) {
  d_->tip = tip.left(kMaxTipLength);
  Refresh();
}

bool SystrayIcon::Visible() const { return d_->shown; }

void SystrayIcon::SetVisible(bool on) { on ? Show() : Hide(); }

bool SystrayIcon::ShowBalloon(const QString& title, const QString& text, int iconKind) {
  if (!d_->shown || !AreaAvailable()) return false;
  d_->tray->showMessage(title, text, static_cast<QSystemTrayIcon::MessageIcon>(iconKind));
  return true;
}

void SystrayIcon::HandleMouseMessage(int message) {
  switch (message) {
    case 0x200: emit MouseMove(); break;
    case 0x201: emit MouseDown(MbLeft); break;
    case 0x202: emit MouseUp(MbLeft); break;
    case 0x203: emit DblClick(MbLeft); break;
    case 0x204: emit MouseDown(MbRight); break;
    case 0x205: emit MouseUp(MbRight); break;
    case 0x206: emit DblClick(MbRight); break;
    case 0x207: emit MouseDown(Mbmiddle); break;
    case 0x208: emit MouseUp(Mbmiddle); break;
    case 0x209: emit DblClick(Mbmiddle); break;
    default: break;
  }
}

bool SystrayIcon::AreaAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }
