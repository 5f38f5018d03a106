#include "DlgSignIn.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "AppFolder.h"

namespace vrlconf {

namespace {

// A web address as a link that opens it (shortened in the middle when long); any other address
// as plain text.
QString Linked(const QUrl& url, const QFontMetrics& metrics) {
  const QString shown = metrics.elidedText(oauth::Shown(url.toString(), 2048), Qt::ElideMiddle, 420).toHtmlEscaped();
  if (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")) return shown;
  return QStringLiteral("<a href=\"%1\">%2</a>").arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped(), shown);
}

void SetShown(std::initializer_list<QWidget*> widgets, bool shown) {
  for (QWidget* w : widgets) w->setVisible(shown);
}

}  // namespace

DlgSignIn::DlgSignIn(oauth::SignInSettings settings, QWidget* parent)
    : QDialog(parent), settings_(std::move(settings)), store_(vrl::ApplicationFolder()) {
  setObjectName(QStringLiteral("DlgSignIn"));
  setWindowTitle(QStringLiteral("Sign in: ") + settings_.profile);
  setMinimumWidth(460);
  auto* v = new QVBoxLayout(this);
  lblMessage = new QLabel;
  lblMessage->setWordWrap(true);
  lblMessage->setTextInteractionFlags(Qt::TextBrowserInteraction);
  lblMessage->setOpenExternalLinks(false);
  v->addWidget(lblMessage);
  lblCode = new QLabel;
  QFont big = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  big.setPointSizeF(font().pointSizeF() * 2);
  big.setBold(true);
  lblCode->setFont(big);
  lblCode->setAlignment(Qt::AlignCenter);
  lblCode->setTextFormat(Qt::PlainText);
  lblCode->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  lblCode->setAccessibleName(QStringLiteral("Sign-in code"));
  v->addWidget(lblCode);
  cmdCopyCode = new QPushButton(QStringLiteral("Cop&y code"));
  cmdCopyCode->setToolTip(QStringLiteral("Copies the code, to paste it on the sign-in page."));
  cmdOpenPage = new QPushButton(QStringLiteral("Open &page"));
  cmdOpenPage->setToolTip(QStringLiteral("Opens the sign-in page in the browser."));
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(cmdCopyCode);
  row->addWidget(cmdOpenPage);
  row->addStretch();
  v->addLayout(row);
  barExpires = new QProgressBar;
  barExpires->setAccessibleName(QStringLiteral("Time left to enter the code"));
  v->addWidget(barExpires);
  cmdBrowser = new QPushButton(QStringLiteral("Sign in with a &browser instead"));
  cmdBrowser->setToolTip(QStringLiteral("Stops waiting for the code and signs in in a browser window on this "
                                        "computer."));
  auto* browserRow = new QHBoxLayout;
  browserRow->addWidget(cmdBrowser);
  browserRow->addStretch();
  v->addLayout(browserRow);
  lblStatus = new QLabel;
  lblStatus->setWordWrap(true);
  lblStatus->setTextFormat(Qt::PlainText);
  lblStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
  v->addWidget(lblStatus);
  v->addStretch();
  buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
  v->addWidget(buttons);
  for (QPushButton* b : {cmdCopyCode, cmdOpenPage, cmdBrowser}) b->setAutoDefault(false);
  SetShown({lblMessage, lblCode, cmdCopyCode, cmdOpenPage, barExpires, cmdBrowser}, false);
  countdown_ = new QTimer(this);
  countdown_->setInterval(1000);

  connect(buttons, &QDialogButtonBox::accepted, this, &DlgSignIn::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &DlgSignIn::reject);
  connect(countdown_, &QTimer::timeout, this, &DlgSignIn::ShowCountdown);
  connect(cmdCopyCode, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(lblCode->text()); });
  auto open = [this] {
    if (!oauth::OpenInBrowser(page_))
      lblStatus->setText(QStringLiteral("No browser could be started here: open the address in one yourself."));
  };
  connect(cmdOpenPage, &QPushButton::clicked, this, open);
  connect(lblMessage, &QLabel::linkActivated, this, open);
  connect(cmdBrowser, &QPushButton::clicked, this, [this] {
    if (!running_ || settings_.browser) return;
    toBrowser_ = cancelled_ = true;  // the device grant stops at its next wait
    cmdBrowser->hide();
    lblStatus->setText(QStringLiteral("Switching to the browser..."));
  });
}

void DlgSignIn::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!started_) QTimer::singleShot(0, this, &DlgSignIn::Start);
}

void DlgSignIn::Start() {
  if (started_) return;
  started_ = running_ = true;
  oauth::SignInUi ui;
  ui.showCode = [this](const oauth::DeviceCode& code) { ShowCode(code); };
  ui.openPage = [this](const QUrl& url) { ShowPage(url); };
  ui.wait = [this](int secs) { return Wait(secs); };
  oauth::TokenAnswer answer;
  do {
    if (toBrowser_) {
      toBrowser_ = cancelled_ = false;
      settings_.browser = true;
      countdown_->stop();
      SetShown({lblMessage, lblCode, cmdCopyCode, cmdOpenPage, barExpires}, false);
    }
    lblStatus->setText(settings_.browser || settings_.deviceUrl.isEmpty()
                           ? QStringLiteral("Starting the sign-in in the browser...")
                           : QStringLiteral("Asking the provider for a sign-in code..."));
    answer = oauth::SignIn(store_, settings_, ui);
    // Bounded: the switch is offered only while the browser is not in use.
  } while (toBrowser_ && answer.outcome != oauth::TokenAnswer::Outcome::Tokens);
  running_ = false;
  countdown_->stop();
  Finish(answer);
}

void DlgSignIn::ShowCode(const oauth::DeviceCode& code) {
  page_ = QUrl(code.verificationUri);
  if (code.message.isEmpty()) {
    lblMessage->setTextFormat(Qt::RichText);
    lblMessage->setText(QStringLiteral("Open %1 and enter the code:").arg(Linked(page_, fontMetrics())));
  } else {
    lblMessage->setTextFormat(Qt::PlainText);
    lblMessage->setText(oauth::Shown(code.message, 400));
  }
  lblCode->setText(oauth::Shown(code.userCode, 64));
  codeLifetime_ = code.expiresInSecs;
  codeAge_.start();
  barExpires->setRange(0, codeLifetime_);
  ShowCountdown();
  countdown_->start();
  SetShown({lblMessage, lblCode, cmdCopyCode, cmdOpenPage, barExpires}, true);
  cmdBrowser->setVisible(settings_.authorizeUrl.isValid() && !settings_.authorizeUrl.isEmpty());
  lblStatus->setText(QStringLiteral("Waiting for the sign-in..."));
}

void DlgSignIn::ShowPage(const QUrl& url) {
  page_ = url;
  const bool opened = oauth::OpenInBrowser(url);
  lblMessage->setTextFormat(Qt::RichText);
  lblMessage->setText((opened ? QStringLiteral("Sign in in the browser window; waiting...<br>")
                              : QStringLiteral("Open this address in a browser to sign in; waiting...<br>")) +
                      Linked(url, fontMetrics()));
  lblMessage->show();
  cmdOpenPage->show();
  lblStatus->clear();
}

// The grant's pause, in slices of a tenth of a second so that the window keeps answering; Cancel
// ends it at the next slice.
bool DlgSignIn::Wait(int secs) {
  QElapsedTimer waited;
  waited.start();
  QApplication::processEvents();
  while (!cancelled_ && waited.elapsed() < qint64(secs) * 1000) {
    QEventLoop slice;
    QTimer::singleShot(100, &slice, &QEventLoop::quit);
    slice.exec();
  }
  return !cancelled_;
}

void DlgSignIn::ShowCountdown() {
  const int left = std::max(0, codeLifetime_ - int(codeAge_.elapsed() / 1000));
  barExpires->setValue(left);
  barExpires->setFormat(
      QStringLiteral("The code expires in %1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0')));
}

void DlgSignIn::Finish(const oauth::TokenAnswer& answer) {
  if (cancelled_) {
    QDialog::reject();
    return;
  }
  using Outcome = oauth::TokenAnswer::Outcome;
  // The code is spent either way.
  SetShown({lblMessage, lblCode, cmdCopyCode, cmdOpenPage, barExpires, cmdBrowser}, false);
  QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
  QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel);
  if (answer.outcome == Outcome::Tokens) {
    signedIn_ = true;
    lblStatus->setText(QStringLiteral("Signed in. The agent keeps the tokens fresh from now on."));
    cancel->hide();
    ok->setEnabled(true);
    ok->setDefault(true);
    ok->setFocus();
    return;
  }
  if (answer.outcome == Outcome::Expired)
    lblStatus->setText(QStringLiteral("The code expired before the sign-in was finished; close and sign in again."));
  else if (answer.outcome == Outcome::Refused)
    lblStatus->setText(QStringLiteral("The provider refused the sign-in: ") + oauth::Shown(answer.error, 400));
  else
    lblStatus->setText(QStringLiteral("The sign-in failed: ") + oauth::Shown(answer.error, 400));
  ok->hide();
  cancel->setText(QStringLiteral("Close"));
  cancel->setDefault(true);
  cancel->setFocus();
}

void DlgSignIn::reject() {
  if (!running_) {
    started_ = true;  // closed before it started, it never starts
    return QDialog::reject();
  }
  cancelled_ = true;
  toBrowser_ = false;
  lblStatus->setText(QStringLiteral("Stopping..."));
  buttons->button(QDialogButtonBox::Cancel)->setEnabled(false);
}

}  // namespace vrlconf
