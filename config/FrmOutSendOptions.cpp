#include "FrmOutSendOptions.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QVBoxLayout>

#include "BuddyLabels.h"
#include "FrmConfigPrf.h"
#include "HelpTopic.h"

namespace vrlconf {

FrmOutSendOptions::FrmOutSendOptions(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FrmOutSendOptions"));
  setWindowTitle(QStringLiteral("Send Options"));
  auto* v = new QVBoxLayout(this);
  auto* f = new QFormLayout;
  TxtRecAddress = new QLineEdit;
  TxtRecAddress->setAccessibleName(QStringLiteral("Recipient Address"));
  TxtRecAddress->setToolTip(QStringLiteral("Every file of the outbound directory is sent to this address; "
                                           "several addresses are separated by \";\"."));
  TxtSubject = new QLineEdit;
  TxtSubject->setAccessibleName(QStringLiteral("Subject"));
  f->addRow(BuddyLabel(QStringLiteral("&Recipient Address:"), TxtRecAddress), TxtRecAddress);
  f->addRow(BuddyLabel(QStringLiteral("&Subject:"), TxtSubject), TxtSubject);
  v->addLayout(f);
  auto* box = new QGroupBox(QStringLiteral("&Message Text"));
  auto* bl = new QVBoxLayout(box);
  TxtMsgText = new QPlainTextEdit;
  TxtMsgText->setAccessibleName(QStringLiteral("Message Text"));
  TxtMsgText->setTabChangesFocus(true);
  bl->addWidget(TxtMsgText);
  v->addWidget(box);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help);
  connect(buttons, &QDialogButtonBox::accepted, this, &FrmOutSendOptions::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &FrmOutSendOptions::reject);
  auto help = [this] { ShowHelpTopic(this, QStringLiteral("Html/Cfg_Outbound_SndOptions")); };
  connect(buttons, &QDialogButtonBox::helpRequested, this, help);
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, help);
  v->addWidget(buttons);
  resize(480, 320);
  LoadTextValues();
}

void FrmOutSendOptions::LoadTextValues() {
  const AuxValues& a = WorkingValues();
  TxtRecAddress->setText(a.RecAddress);
  TxtSubject->setText(a.Subject);
  TxtMsgText->setPlainText(a.MsgText);
}

bool FrmOutSendOptions::TesteParams() {
  if (!TxtRecAddress->text().trimmed().isEmpty()) return true;
  FailOn(TxtRecAddress, QStringLiteral("Invalid Email Address"));
  return false;
}

void FrmOutSendOptions::accept() {
  if (!TesteParams()) return;
  AuxValues& a = WorkingValues();
  a.RecAddress = TxtRecAddress->text();
  a.Subject = TxtSubject->text();
  a.MsgText = TxtMsgText->toPlainText();
  QDialog::accept();
}

}  // namespace vrlconf
