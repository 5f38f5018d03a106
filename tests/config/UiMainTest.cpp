// The configuration window (global options, profile list), its start-up entry and the file
// dialogs, on a private application folder.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <gtest/gtest.h>

#include "AppFolder.h"
#include "Autostart.h"
#include "DlgBrowse.h"
#include "DlgOpenSave.h"
#include "FrmMain.h"
#include "MdlGlbalConf.h"
#include "Mdl_FicheiroConf.h"
#include "QorvConf.h"
#include "VrlError.h"

namespace {

// Hands the next modal window (a message box, a file dialog) to act, polling for a bounded time.
// The box's text, if one came, is returned through text. Setting the returned count to 0 stops
// the waiting. Each poll schedules a copy of itself, so nothing refers back to itself.
struct ModalPoll {
  std::function<void(QWidget*)> act;
  QString* text;
  std::shared_ptr<int> tries;
  void operator()() const {
    if (*tries <= 0) return;
    QWidget* w = QApplication::activeModalWidget();
    if (w) {
      if (auto* box = qobject_cast<QMessageBox*>(w); box && text) *text = box->text();
      act(w);
    } else if (--*tries > 0) {
      QTimer::singleShot(10, ModalPoll(*this));
    }
  }
};

std::shared_ptr<int> OnNextModal(std::function<void(QWidget*)> act, QString* text = nullptr) {
  auto tries = std::make_shared<int>(300);
  QTimer::singleShot(0, ModalPoll{std::move(act), text, tries});
  return tries;
}

void Answer(QMessageBox::StandardButton button, QString* text) {
  OnNextModal([button](QWidget* w) { static_cast<QMessageBox*>(w)->button(button)->click(); }, text);
}

QByteArray Bytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class UiMain : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VORLANE_HOME", (tmp_.path() + "/home").toUtf8());
    qputenv("XDG_CONFIG_HOME", (tmp_.path() + "/xdg").toUtf8());
    QDir().mkpath(tmp_.path() + "/home");
  }
  void AddProfiles(const QStringList& names) {
    if (!QFile::exists(ProfilesFilePath())) {
      ASSERT_TRUE(CreateProfilesFile());
    }
    for (const QString& name : names) {
      ProfileRecord p;
      p.Prfname = name;
      p.HostType = name == "Local" ? 1 : 2;
      p.PrfEnabled = true;
      ASSERT_TRUE(AddProfileRecord(p));
    }
  }
  template <class T>
  T* Child(const char* name) {
    T* w = window_->findChild<T*>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  FrmMain* Open() {
    window_ = std::make_unique<FrmMain>();
    window_->show();
    return window_.get();
  }
  QTreeWidget* List() { return Child<QTreeWidget>("LstProfiles"); }
  void Click(const char* name) { Child<QPushButton>(name)->click(); }

  QTemporaryDir tmp_;
  std::unique_ptr<FrmMain> window_;
};

TEST_F(UiMain, GeneralPageRefusesBadValuesInOrder) {
  AddProfiles({"A"});
  struct Row {
    const char* interval;  // nullptr: interval option off
    const char* log;       // nullptr: log option off
    QString message;
    const char* focus;
    QString metrics = {};
    QString cluster = {};
  } rows[] = {
      {"0", "", "Invalid value", "TxtPrcInterval"},
      {"abc", nullptr, "Invalid value", "TxtPrcInterval"},
      {"", nullptr, "Invalid value", "TxtPrcInterval"},
      {"40000", nullptr, "Invalid value", "TxtPrcInterval"},
      {"5", "", "Invalid Log File", "TxtLogFile"},
      {nullptr, "x.log", "Directory not found: \"\"", "TxtLogFile"},
      {nullptr, "/no/such/folder/x.log", "Directory not found: \"/no/such/folder\"", "TxtLogFile"},
      {nullptr, nullptr, "Invalid Metrics File: it must be an absolute path (starting with / or ~/)", "TxtMetricsFile",
       "vorlane.prom"},
      {nullptr, nullptr, "Invalid Metrics File: it must not hold control characters", "TxtMetricsFile", "/srv/a\tb.prom"},
      {nullptr, nullptr, "Invalid Cluster Database: it must not hold control characters", "TxtClusterDatabase", "",
       "host=db\tdbname=vrl"},
      {nullptr, nullptr, "Invalid Cluster Database: it must be at most 1024 bytes (UTF-8), not 1026",
       "TxtClusterDatabase", "", QString(513, u'é')},
  };
  for (const Row& row : rows) {
    Open();
    Child<QCheckBox>("Chk_ChkNewMsgEvery")->setChecked(row.interval != nullptr);
    if (row.interval) Child<QLineEdit>("TxtPrcInterval")->setText(row.interval);
    Child<QCheckBox>("ChkUseLogFile")->setChecked(row.log != nullptr);
    if (row.log) Child<QLineEdit>("TxtLogFile")->setText(row.log);
    Child<QLineEdit>("TxtMetricsFile")->setText(row.metrics);
    Child<QLineEdit>("TxtClusterDatabase")->setText(row.cluster);
    QString text;
    Answer(QMessageBox::Ok, &text);
    Click("cmdOK");
    EXPECT_EQ(text.toStdString(), row.message.toStdString());
    EXPECT_EQ(window_->focusWidget(), Child<QWidget>(row.focus)) << row.message.toStdString();
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(QFile::exists(GlobalFilePath()));
  }
}

TEST_F(UiMain, OkSavesGlobalRecordAndStartupEntry) {
  AddProfiles({"A"});
  Open();
  EXPECT_EQ(window_->HelpTopic(), "Html/ConfigGeral");
  Child<QCheckBox>("Chk_RunMeAtSysStartup")->setChecked(true);
  Child<QCheckBox>("Chk_ChkNewMsgEvery")->setChecked(true);
  EXPECT_TRUE(Child<QCheckBox>("ChkInitAuto")->isChecked());
  EXPECT_FALSE(Child<QCheckBox>("ChkInitAuto")->isEnabled());
  Child<QLineEdit>("TxtPrcInterval")->setText("2.6");
  Child<QComboBox>("CboPrcInterval")->setCurrentIndex(2);
  Child<QCheckBox>("ChkUseLogFile")->setChecked(true);
  Child<QLineEdit>("TxtLogFile")->setText(tmp_.path() + "/vrl.log");
  EXPECT_EQ(Child<QSpinBox>("SpnLogMaxMB")->value(), 50);  // a new installation's limit
  Child<QSpinBox>("SpnMaxMessageMB")->setValue(25);
  EXPECT_EQ(Child<QSpinBox>("SpnMaxAttachments")->value(), 1000);  // the default of a record without it
  Child<QSpinBox>("SpnMaxAttachments")->setValue(0);  // no limit
  Child<QLineEdit>("TxtMetricsFile")->setText("~/vorlane.prom");  // stored whole, as the import stores it
  EXPECT_FALSE(Child<QSpinBox>("TxtLeaseSeconds")->isEnabled()) << "no lease on one machine";
  Child<QLineEdit>("TxtClusterDatabase")->setText("postgresql://vrl@db.example/vrl");
  Child<QSpinBox>("TxtLeaseSeconds")->setValue(90);
  Click("cmdOK");
  EXPECT_FALSE(window_->isVisible());
  EXPECT_TRUE(QorvConf().ConfAsChanged());
  EXPECT_FALSE(QorvConf().ConfDlgActive());
  GlobalRecord expected;
  expected.RunAtSysStartup = expected.AutoInit = expected.UseLogFile = true;
  expected.PrcInterval = 3;
  expected.PrcIntervalUnit = 2;
  expected.LogFileName = tmp_.path() + "/vrl.log";
  expected.ConfigFlag = 1;
  expected.LogMaxMB = 50;
  expected.MaxMessageMB = 25;
  expected.MaxAttachments = 0;
  expected.MetricsFile = QDir::homePath() + "/vorlane.prom";
  expected.ClusterDatabase = "postgresql://vrl@db.example/vrl";
  expected.LeaseSeconds = 90;
  EXPECT_EQ(ReadGlobalRecord(), expected);
  // The folder came from $VORLANE_HOME, which the log-in session does not have.
  EXPECT_TRUE(Bytes(vrlconf::AutostartFilePath())
                  .contains("\nExec=" + vrlconf::ConsoleProgramPath().toUtf8() + " --home " + qgetenv("VORLANE_HOME") + "\n"));

  // Exit after processing wins over the interval; clearing the start-up option removes the entry.
  Open();
  EXPECT_EQ(Child<QLineEdit>("TxtPrcInterval")->text(), "3");
  Child<QCheckBox>("Chk_RunMeAtSysStartup")->setChecked(false);
  Child<QCheckBox>("ChkExitQuorvo")->setChecked(true);
  EXPECT_FALSE(Child<QCheckBox>("Chk_ChkNewMsgEvery")->isChecked());
  Click("cmdOK");
  EXPECT_FALSE(QFile::exists(vrlconf::AutostartFilePath()));
  Open();
  EXPECT_TRUE(Child<QCheckBox>("ChkExitQuorvo")->isChecked());
  EXPECT_FALSE(Child<QLineEdit>("TxtPrcInterval")->isEnabled());
  EXPECT_EQ(Child<QComboBox>("CboPrcInterval")->currentIndex(), -1);
  EXPECT_EQ(ReadGlobalRecord().PrcIntervalUnit, -1);
  EXPECT_EQ(ReadGlobalRecord().MaxMessageMB, 25);  // the sizes survive a save that did not touch them
  EXPECT_EQ(ReadGlobalRecord().MaxAttachments, 0);
  EXPECT_EQ(ReadGlobalRecord().MetricsFile, expected.MetricsFile);
  EXPECT_EQ(ReadGlobalRecord().ClusterDatabase, expected.ClusterDatabase);
  EXPECT_EQ(ReadGlobalRecord().LeaseSeconds, 90);
  EXPECT_TRUE(Child<QSpinBox>("TxtLeaseSeconds")->isEnabled());

  // An entry that cannot be written keeps the global file as it was; the window closes all the same.
  ASSERT_TRUE(QDir().mkpath(vrlconf::AutostartFilePath()));
  const QByteArray saved = Bytes(GlobalFilePath());
  Child<QCheckBox>("Chk_RunMeAtSysStartup")->setChecked(true);
  Child<QCheckBox>("ChkHideWhenMinimized")->setChecked(true);
  QString text;
  Answer(QMessageBox::Ok, &text);
  Click("cmdOK");
  EXPECT_EQ(text, "Error writing Registry!");
  EXPECT_EQ(Bytes(GlobalFilePath()), saved);
  EXPECT_FALSE(window_->isVisible());
}

// The agent may run where the folder is made later: asked, not refused.
TEST_F(UiMain, AMetricsFileInAMissingFolderIsAskedAbout) {
  AddProfiles({"A"});
  Open();
  Child<QLineEdit>("TxtMetricsFile")->setText("/nonexistent/vorlane.prom");
  QString text;
  Answer(QMessageBox::No, &text);
  Click("cmdOK");
  EXPECT_EQ(text, "Directory not found: \"/nonexistent\"\nThe agent cannot write the metrics until it exists.\nContinue ?");
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(window_->focusWidget(), Child<QWidget>("TxtMetricsFile"));
  EXPECT_FALSE(QFile::exists(GlobalFilePath()));
  Answer(QMessageBox::Yes, &text);
  Click("cmdOK");
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(ReadGlobalRecord().MetricsFile, "/nonexistent/vorlane.prom");
}

TEST_F(UiMain, OkWithoutProfilesAsksToContinue) {
  Open();
  EXPECT_FALSE(Child<QPushButton>("CmdEdit")->isEnabled());
  EXPECT_FALSE(Child<QPushButton>("CmdDelete")->isEnabled());
  QString text;
  Answer(QMessageBox::No, &text);
  Click("cmdOK");
  EXPECT_EQ(text, "Vorlane dont have any configured profile.\nContinue ?");
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(Child<QTabWidget>("SSTab1")->currentIndex(), 1);
  EXPECT_EQ(window_->HelpTopic(), "Html/ConfigPerfis");
  Answer(QMessageBox::Yes, &text);
  Click("cmdOK");
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(ReadGlobalRecord().ConfigFlag, 1);
}

TEST_F(UiMain, ListEnablesRemovesAndCancelsAdd) {
  AddProfiles({"A", "Local", "C"});
  Open();
  ASSERT_EQ(List()->topLevelItemCount(), 3);
  EXPECT_EQ(List()->topLevelItem(1)->text(1), "Windows Messaging");
  EXPECT_EQ(List()->topLevelItem(2)->text(1), "Internet Mail");

  // A check box writes its profile at once, and only that one.
  const QByteArray before = Bytes(ProfilesFilePath());
  List()->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
  ProfileRecord p;
  ASSERT_TRUE(ReadProfileRecord(3, p));
  EXPECT_FALSE(p.PrfEnabled);
  List()->topLevelItem(1)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(Bytes(ProfilesFilePath()), before);
  EXPECT_FALSE(QorvConf().ConfAsChanged());

  // Add, then cancel the editor: nothing is written.
  auto editor = OnNextModal([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  Click("CmdAdicionar");
  *editor = 0;
  EXPECT_EQ(Bytes(ProfilesFilePath()), before);
  EXPECT_FALSE(QorvConf().ConfAsChanged());

  List()->setCurrentItem(List()->topLevelItem(1));
  QString text;
  Answer(QMessageBox::No, &text);
  Click("CmdDelete");
  EXPECT_EQ(text, "Are you sure you want to remove the profile: \"Local\" ?");
  EXPECT_EQ(List()->topLevelItemCount(), 3);
  Answer(QMessageBox::Yes, &text);
  Click("CmdDelete");
  ASSERT_EQ(List()->topLevelItemCount(), 2);
  EXPECT_EQ(List()->topLevelItem(1)->text(0), "C");
  EXPECT_EQ(QorvConf().NProfilesConfig(), 2);
  ASSERT_TRUE(ReadProfileRecord(3, p));
  EXPECT_EQ(p.Prfname, "C");
  EXPECT_EQ(p.RecordNumber, 3);
  EXPECT_TRUE(QorvConf().ConfAsChanged());
  Click("cmdCancel");
  EXPECT_FALSE(QFile::exists(GlobalFilePath()));
}

TEST(UiDialogs, StartupEntryExecQuoting) {
  const QString home = vrl::DefaultApplicationFolder();
  const struct { QString program, folder; QByteArray line; } cases[] = {
      {"/usr/bin/VRL31", home, "Exec=/usr/bin/VRL31\n"},
      {"/usr/bin/VRL31", home + "/", "Exec=/usr/bin/VRL31\n"},
      {"/opt/my apps/VRL31", home, "Exec=\"/opt/my apps/VRL31\"\n"},
      {"/opt/a$b/VRL31", home, "Exec=\"/opt/a\\\\$b/VRL31\"\n"},
      {"/opt/100%/VRL31", home, "Exec=/opt/100%%/VRL31\n"},
      {"/usr/bin/VRL31", "/srv/vorlane", "Exec=/usr/bin/VRL31 --home /srv/vorlane\n"},
      {"/opt/my apps/VRL31", "/srv/my home/", "Exec=\"/opt/my apps/VRL31\" --home \"/srv/my home\"\n"},
      {"/usr/bin/VRL31", "/srv/a$b%", "Exec=/usr/bin/VRL31 --home \"/srv/a\\\\$b%%\"\n"},
  };
  for (const auto& c : cases) {
    vrl::SetApplicationFolder(c.folder);
    EXPECT_TRUE(vrlconf::AutostartEntryText(c.program).contains("\n" + c.line)) << c.folder.toStdString();
  }
  vrl::SetApplicationFolder(QString());
}

TEST(UiDialogs, FileDialogsKeepValuesOnCancelAndReturnChoice) {
  QTemporaryDir tmp;
  auto reject = [](QWidget* w) { static_cast<QDialog*>(w)->reject(); };
  DlgOpenSave open;
  open.FileName = "/keep/me.log";
  open.SetFilter("Log Files (*.Log)|*.log|All Files (*.*)|*.*");
  EXPECT_EQ(DlgOpenSave::NameFilters(open.Filter()), (QStringList{"Log Files (*.log)", "All Files (*)"}));
  OnNextModal(reject);
  open.ShowOpen();
  EXPECT_EQ(open.FileName, "/keep/me.log");
  open.CancelError = true;
  OnNextModal(reject);
  try {
    open.ShowSave();
    ADD_FAILURE() << "no error on cancel";
  } catch (const vrl::VrlError& e) {
    EXPECT_EQ(e.Number(), 32755);
    EXPECT_EQ(e.Description(), "Cancel was selected");
  }

  open.InitDir = tmp.path();
  OnNextModal([](QWidget* w) {
    auto* d = static_cast<QFileDialog*>(w);
    d->selectFile("new.log");
    static_cast<QDialog*>(d)->accept();
  });
  open.ShowSave();
  EXPECT_EQ(open.FileName, tmp.path() + "/new.log");
  EXPECT_EQ(open.FileTitle, "new.log");
  EXPECT_EQ(open.FileName.mid(open.FileExt), "log");

  DlgBrowse browse;
  OnNextModal([&](QWidget* w) {
    static_cast<QFileDialog*>(w)->selectFile(tmp.path());
    static_cast<QDialog*>(w)->accept();
  });
  browse.Show(tmp.path());
  EXPECT_EQ(browse.Folder(), tmp.path());
  OnNextModal(reject);
  browse.Show();
  EXPECT_TRUE(browse.Folder().isEmpty());
}

}  // namespace
