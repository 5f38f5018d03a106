// The profile editor and its dialogs, filled from the demo's first profile.
#include "Screens.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <utility>

#include "FrmConfigPrf.h"
#include "FrmInfFileContens.h"
#include "FrmIntMailMoreSettings.h"
#include "FrmOutSendOptions.h"
#include "Frm_TestConnect.h"

namespace {

void Save(QWidget& w, const QString& file, QSize size) {
  w.resize(size);
  w.show();
  QApplication::processEvents();
  w.grab().save(file);
}

const vrlscreens::Register kEditor(QStringLiteral("FrmConfigPrf"), [](const QString& out) {
  vrlconf::FrmConfigPrf editor;
  int slot = 2;
  editor.EditProfile(slot);
  const char* const tabs[] = {"Profile", "Inbound", "Outbound"};
  for (int i = 0; i < 3; ++i) {
    editor.Tabs()->setCurrentIndex(i);
    Save(editor, out + QStringLiteral("/FrmConfigPrf-%1.png").arg(QLatin1String(tabs[i])), {640, 560});
  }
  // Fetching by IMAP: its settings, and the server named for it.
  editor.chkPrcInboundMessages->setChecked(true);
  editor.OptImap->click();
  editor.OptImapMove->click();
  editor.TxtImapMoveTo->setText(QStringLiteral("Processed/Orders"));
  editor.ChkImapIdle->setChecked(true);
  for (int i = 0; i < 2; ++i) {
    editor.Tabs()->setCurrentIndex(i);
    Save(editor, out + QStringLiteral("/FrmConfigPrf-%1-imap.png").arg(QLatin1String(tabs[i])), {640, 560});
  }
  vrlconf::FrmConfigPrf added;
  added.AddProfile();
  added.OptUseWinMsg->setChecked(true);
  Save(added, out + QStringLiteral("/FrmConfigPrf-Profile-messaging.png"), {640, 560});
  added.OptUseInfFiles->setChecked(true);
  added.TxtAttachmentFolders->setText(QStringLiteral("/srv/vorlane/invoices/pdf; /srv/vorlane/shared/attachments"));
  added.Tabs()->setCurrentIndex(2);
  Save(added, out + QStringLiteral("/FrmConfigPrf-Outbound-information-files.png"), {640, 560});
});

const vrlscreens::Register kDialogs(QStringLiteral("EditorDialogs"), [](const QString& out) {
  vrlconf::FrmConfigPrf editor;
  int slot = 2;
  editor.EditProfile(slot);
  {
    vrlconf::FrmOutSendOptions d;
    Save(d, out + QStringLiteral("/FrmOutSendOptions.png"), {480, 320});
  }
  {
    vrlconf::AuxValues& a = vrlconf::WorkingValues();
    a.AdressLin = 1, a.Adress1Sep = QStringLiteral("To: "), a.Adress2Sep = QStringLiteral(";");
    a.FileLin = 2, a.File1Sep = QStringLiteral("File: "), a.File2Sep = QStringLiteral(";");
    a.SubjectLin = -2, a.MsgLin = 3, a.Msg1Sep = QStringLiteral("Text: "), a.Msg2Sep = QStringLiteral(";");
    vrlconf::FrmInfFileContens d;
    Save(d, out + QStringLiteral("/FrmInfFileContens.png"), d.sizeHint().expandedTo({560, 0}));
  }
  vrlconf::FrmIntMailMoreSettings more;
  const char* const tabs[] = {"Connection", "Security", "Unattended"};
  for (int i = 0; i < 3; ++i) {
    more.Tabs->setCurrentIndex(i);
    Save(more, out + QStringLiteral("/FrmIntMailMoreSettings-%1.png").arg(QLatin1String(tabs[i])), {560, 420});
  }
  {
    // As the editor leaves it once IMAP is chosen.
    const quint16 pop3 = std::exchange(vrlconf::WorkingValues().Pop3TcpPort, 143);
    vrlconf::FrmIntMailMoreSettings imap;
    imap.SetImap(true);
    Save(imap, out + QStringLiteral("/FrmIntMailMoreSettings-Connection-imap.png"), {560, 420});
    vrlconf::WorkingValues().Pop3TcpPort = pop3;
  }
  // OAuth sign-in chosen: its settings, then the provider's servers taken.
  more.Tabs->setCurrentIndex(1);
  more.cboAuthMethod->setCurrentIndex(4);
  more.txtClientId->setText(QStringLiteral("4a1f7c2e-93b5-4d6e-8f10-2b3c4d5e6f70"));
  Save(more, out + QStringLiteral("/FrmIntMailMoreSettings-Security-OAuth.png"), more.sizeHint().expandedTo({560, 420}));
  more.cmdProviderServers->click();
  Save(more, out + QStringLiteral("/FrmIntMailMoreSettings-Security-OAuth-servers.png"),
       more.sizeHint().expandedTo({560, 420}));
  vrlconf::Frm_TestConnect test;
  // Nothing listens on the discard port: the list shows a refused connection.
  test.SetValues(QStringLiteral("mailtest"), QStringLiteral("secret"), QString(), QStringLiteral("127.0.0.1"), 110, 9,
                 1, false, false);
  Save(test, out + QStringLiteral("/Frm_TestConnect-before-test.png"), {720, 400});
  test.Start();
  Save(test, out + QStringLiteral("/Frm_TestConnect-after-test.png"), {720, 400});
});

}  // namespace
