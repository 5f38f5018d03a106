#include "FrmMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "Autostart.h"
#include "BuddyLabels.h"
#include "DlgOpenSave.h"
#include "FileIo.h"
#include "FileFunctions.h"
#include "HelpTopic.h"
#include "MdlGlbalConf.h"
#include "Mdl_FicheiroConf.h"
#include "Metrics.h"
#include "ProfileCheck.h"
#include "ProfileEditor.h"
#include "QorvConf.h"
#include "TabKeys.h"

namespace {

const QString kTitle = QStringLiteral("Vorlane");
constexpr int kSlotRole = Qt::UserRole;

QString Quoted(const QString& path) { return QLatin1Char('"') + path + QLatin1Char('"'); }

QCheckBox* Check(const char* name, const QString& caption, QWidget* parent) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(QLatin1String(name));
  return box;
}

// A row with a limit (a size in MB unless another unit is given) between its caption and an
// optional text behind it; 0 shows as "No Limit". The range is the import's.
QHBoxLayout* SizeRow(QSpinBox*& box, const char* name, const QString& caption, const QString& behind,
                     const QString& tip, int indent, QWidget* parent, int most = 1048576,
                     const QString& unit = QStringLiteral(" MB")) {
  auto* label = new QLabel(caption, parent);
  box = new QSpinBox(parent);
  box->setObjectName(QLatin1String(name));
  box->setRange(0, most);
  box->setSuffix(unit);
  box->setSpecialValueText(QStringLiteral("No Limit"));
  box->setAccessibleName(label->text().remove(QLatin1Char('&')).remove(QLatin1Char(':')).trimmed());
  box->setToolTip(tip);
  label->setToolTip(tip);
  label->setBuddy(box);
  vrlconf::FollowBuddy(label);
  auto* row = new QHBoxLayout;
  row->addSpacing(indent);
  row->addWidget(label);
  row->addWidget(box);
  if (!behind.isEmpty()) row->addWidget(new QLabel(behind, parent));
  row->addStretch();
  return row;
}

// Fusion frames a check box in the window colour darkened, which on a dark base is the base
// itself: an unticked profile showed no box at all. The list's boxes get a window colour whose
// darkened frame stands apart from the base; a palette where it already does is left alone.
class CheckFrameDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    QPalette& pal = option->palette;
    const QColor base = pal.color(QPalette::Base), text = pal.color(QPalette::Text);
    if (std::abs(pal.color(QPalette::Window).darker(140).lightnessF() - base.lightnessF()) >= 0.15) return;
    const auto mix = [&](int b, int t) { return (b * 55 + t * 45) / 100; };
    const QColor frame(mix(base.red(), text.red()), mix(base.green(), text.green()), mix(base.blue(), text.blue()));
    pal.setColor(QPalette::Window, frame.lighter(140));
  }
};

}  // namespace

double FrmMain::Val(const QString& text) {
  static const QRegularExpression number(QStringLiteral("^\\s*([+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?)"));
  const QRegularExpressionMatch m = number.match(text);
  return m.hasMatch() ? m.captured(1).toDouble() : 0.0;
}

FrmMain::FrmMain(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FrmMain"));
  setWindowTitle(QStringLiteral("Vorlane Configuration"));
  vrlconf::ConfState& state = vrlconf::State();
  state.dialogActive = true;
  state.changed = false;
  state.profilesFile = ProfilesFilePath();

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("SSTab1"));
  auto* general = new QWidget;
  auto* profiles = new QWidget;
  BuildGeneralPage(general);
  BuildProfilesPage(profiles);
  tabs_->addTab(general, QStringLiteral("&General"));
  tabs_->addTab(profiles, QStringLiteral("&Profiles"));

  auto* ok = new QPushButton(QStringLiteral("OK"));
  ok->setObjectName(QStringLiteral("cmdOK"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"));
  cancel->setObjectName(QStringLiteral("cmdCancel"));
  auto* help = new QPushButton(QStringLiteral("Help"));
  help->setObjectName(QStringLiteral("cmdHelp"));
  auto* buttons = new QDialogButtonBox;
  buttons->addButton(ok, QDialogButtonBox::AcceptRole);
  buttons->addButton(cancel, QDialogButtonBox::RejectRole);
  buttons->addButton(help, QDialogButtonBox::HelpRole);
  connect(ok, &QPushButton::clicked, this, &FrmMain::OkClicked);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [this] { vrlconf::ShowHelpTopic(this, HelpTopic()); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);

  auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(f1, &QShortcut::activated, help, &QPushButton::click);
  vrlconf::InstallTabKeys(this, tabs_);

  if (state.profilesFile.isEmpty()) {
    QTimer::singleShot(0, this, &QDialog::reject);
    return;
  }
  tabs_->setCurrentIndex(0);
  LoadGlobalParams();
  Carregar_Profiles();
  RefreshCmdsProfiles();
}

void FrmMain::BuildGeneralPage(QWidget* page) {
  chkRunAtStartup_ = Check("Chk_RunMeAtSysStartup", QStringLiteral("&Run VRL at System Startup"), page);
  chkRunAtStartup_->setToolTip(QStringLiteral("Start the console when you log in to the desktop"));
  chkHideWhenMinimized_ = Check("ChkHideWhenMinimized", QStringLiteral("&Hide When Minimized"), page);
  chkExit_ = Check("ChkExitQuorvo", QStringLiteral("&Exit VRL After Messages Processing"), page);
  chkInitAuto_ = Check("ChkInitAuto", QStringLiteral("&Auto Start Messages Processing"), page);
  chkInitMinimized_ = Check("ChkInitMinimized", QStringLiteral("&Starts Minimized"), page);
  chkNewMsgEvery_ = Check("Chk_ChkNewMsgEvery", QStringLiteral("&Check For New Messages Every :"), page);
  txtPrcInterval_ = new QLineEdit(page);
  txtPrcInterval_->setObjectName(QStringLiteral("TxtPrcInterval"));
  txtPrcInterval_->setAccessibleName(QStringLiteral("Check interval"));
  txtPrcInterval_->setMaxLength(5);
  txtPrcInterval_->setMaximumWidth(txtPrcInterval_->fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 16);
  cboPrcInterval_ = new QComboBox(page);
  cboPrcInterval_->setObjectName(QStringLiteral("CboPrcInterval"));
  cboPrcInterval_->setAccessibleName(QStringLiteral("Check interval unit"));
  cboPrcInterval_->addItems({QStringLiteral("Seconds"), QStringLiteral("Minutes"), QStringLiteral("Hours")});

  auto* interval = new QHBoxLayout;
  interval->addWidget(chkNewMsgEvery_);
  interval->addWidget(txtPrcInterval_);
  interval->addWidget(cboPrcInterval_);
  interval->addStretch();

  QHBoxLayout* maxMessage =
      SizeRow(spnMaxMessageMB_, "SpnMaxMessageMB", QStringLiteral("Lea&ve Messages Larger Than :"),
              QStringLiteral("on the Server"),
              QStringLiteral("Messages larger than this stay on the server and are logged; No Limit fetches every message"),
              0, page);
  QHBoxLayout* maxAttachments = SizeRow(
      spnMaxAttachments_, "SpnMaxAttachments", QStringLiteral("Leave Messages With More &Files Than :"),
      QStringLiteral("on the Server"),
      QStringLiteral("Messages that bring more files than this stay on the server and are logged; No Limit "
                     "fetches every message"),
      0, page, 1000000, QStringLiteral(" Files"));

  auto* logFrame = new QGroupBox(QStringLiteral("Log Messages"), page);
  chkShowErrors_ = Check("ChkShowDialogErrors", QStringLiteral("S&how Error Messages"), logFrame);
  chkUseLogFile_ = Check("ChkUseLogFile", QStringLiteral("Save Processing Information in &Log File:"), logFrame);
  txtLogFile_ = new QLineEdit(logFrame);
  txtLogFile_->setObjectName(QStringLiteral("TxtLogFile"));
  txtLogFile_->setAccessibleName(QStringLiteral("Log file"));
  txtLogFile_->setMinimumWidth(320);
  cmdSetLogFile_ = new QPushButton(QStringLiteral("..."), logFrame);
  cmdSetLogFile_->setObjectName(QStringLiteral("CmdSetLogFile"));
  cmdSetLogFile_->setAccessibleName(QStringLiteral("Choose the log file"));
  cmdSetLogFile_->setToolTip(QStringLiteral("Choose the log file"));
  cmdSetLogFile_->setMaximumWidth(cmdSetLogFile_->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
  auto* logRow = new QHBoxLayout;
  logRow->addSpacing(20);
  logRow->addWidget(txtLogFile_, 1);
  logRow->addWidget(cmdSetLogFile_);
  QHBoxLayout* logMaxRow = SizeRow(
      spnLogMaxMB_, "SpnLogMaxMB", QStringLiteral("Start a &New Log File At :"), QString(),
      QStringLiteral("At this size the log file becomes name.1 (replacing the older one) and a new file starts"), 20,
      logFrame);
  auto* logLayout = new QVBoxLayout(logFrame);
  logLayout->addWidget(chkShowErrors_);
  logLayout->addWidget(chkUseLogFile_);
  logLayout->addLayout(logRow);
  logLayout->addLayout(logMaxRow);

  auto* monitoringFrame = new QGroupBox(QStringLiteral("Monitoring"), page);
  txtMetricsFile_ = new QLineEdit(monitoringFrame);
  txtMetricsFile_->setObjectName(QStringLiteral("TxtMetricsFile"));
  txtMetricsFile_->setAccessibleName(QStringLiteral("Metrics file"));
  txtMetricsFile_->setPlaceholderText(QStringLiteral("None"));
  const QString metricsTip = QStringLiteral(
      "After every cycle the agent writes its figures for monitoring (Prometheus text format) to this file, "
      "e.g. /var/lib/prometheus/node-exporter/vorlane.prom; empty for none");
  txtMetricsFile_->setToolTip(metricsTip);
  QLabel* metricsLabel = vrlconf::BuddyLabel(QStringLiteral("Write &Metrics To :"), txtMetricsFile_);
  metricsLabel->setToolTip(metricsTip);
  auto* metricsRow = new QHBoxLayout(monitoringFrame);
  metricsRow->addWidget(metricsLabel);
  metricsRow->addWidget(txtMetricsFile_, 1);

  auto* fleetFrame = new QGroupBox(QStringLiteral("Several Machines"), page);
  txtClusterDatabase_ = new QLineEdit(fleetFrame);
  txtClusterDatabase_->setObjectName(QStringLiteral("TxtClusterDatabase"));
  txtClusterDatabase_->setAccessibleName(QStringLiteral("Cluster database"));
  txtClusterDatabase_->setPlaceholderText(QStringLiteral("None (this machine only)"));
  const QString clusterTip = QStringLiteral(
      "The PostgreSQL connection string shared by every agent of a fleet, e.g. host=db.example port=5432 "
      "dbname=vrl user=vrl or a postgresql:// URI; empty for this machine only. A password belongs in "
      "~/.pgpass, not here");
  txtClusterDatabase_->setToolTip(clusterTip);
  QLabel* clusterLabel = vrlconf::BuddyLabel(QStringLiteral("Cluster &Database :"), txtClusterDatabase_);
  clusterLabel->setToolTip(clusterTip);
  spnLeaseSeconds_ = new QSpinBox(fleetFrame);
  spnLeaseSeconds_->setObjectName(QStringLiteral("TxtLeaseSeconds"));
  spnLeaseSeconds_->setAccessibleName(QStringLiteral("Lease"));
  spnLeaseSeconds_->setRange(GlobalRecord::kMinLeaseSeconds, GlobalRecord::kMaxLeaseSeconds);
  spnLeaseSeconds_->setSuffix(QStringLiteral(" s"));
  const QString leaseTip =
      QStringLiteral("How long a profile's lease lasts before another agent of the fleet may take the profile over");
  spnLeaseSeconds_->setToolTip(leaseTip);
  QLabel* leaseLabel = vrlconf::BuddyLabel(QStringLiteral("Lease :"), spnLeaseSeconds_);
  leaseLabel->setToolTip(leaseTip);
  auto* fleetGrid = new QGridLayout(fleetFrame);
  fleetGrid->addWidget(clusterLabel, 0, 0);
  fleetGrid->addWidget(txtClusterDatabase_, 0, 1, 1, 2);
  fleetGrid->addWidget(leaseLabel, 1, 0);
  fleetGrid->addWidget(spnLeaseSeconds_, 1, 1);
  fleetGrid->setColumnStretch(2, 1);

  auto* layout = new QVBoxLayout(page);
  for (QCheckBox* box : {chkRunAtStartup_, chkHideWhenMinimized_, chkExit_, chkInitAuto_, chkInitMinimized_})
    layout->addWidget(box);
  layout->addLayout(interval);
  layout->addLayout(maxMessage);
  layout->addLayout(maxAttachments);
  layout->addWidget(logFrame);
  layout->addWidget(monitoringFrame);
  layout->addWidget(fleetFrame);
  layout->addStretch();

  connect(chkNewMsgEvery_, &QCheckBox::toggled, this, &FrmMain::NewMsgEveryToggled);
  connect(chkExit_, &QCheckBox::toggled, this, &FrmMain::ExitToggled);
  connect(chkUseLogFile_, &QCheckBox::toggled, this, [this](bool on) {
    txtLogFile_->setEnabled(on);
    cmdSetLogFile_->setEnabled(on);
    spnLogMaxMB_->setEnabled(on);
  });
  connect(cmdSetLogFile_, &QPushButton::clicked, this, &FrmMain::SetLogFileClicked);
  // A lease only matters to agents that share a database.
  connect(txtClusterDatabase_, &QLineEdit::textChanged, this,
          [this](const QString& text) { spnLeaseSeconds_->setEnabled(!text.isEmpty()); });
}

void FrmMain::BuildProfilesPage(QWidget* page) {
  auto* frame = new QGroupBox(QStringLiteral("List of Profiles"), page);
  lstProfiles_ = new QTreeWidget(frame);
  lstProfiles_->setObjectName(QStringLiteral("LstProfiles"));
  lstProfiles_->setAccessibleName(QStringLiteral("List of Profiles"));
  lstProfiles_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type")});
  lstProfiles_->setRootIsDecorated(false);
  lstProfiles_->setUniformRowHeights(true);
  lstProfiles_->setAllColumnsShowFocus(true);
  lstProfiles_->setItemDelegate(new CheckFrameDelegate(lstProfiles_));
  lstProfiles_->header()->setStretchLastSection(false);
  lstProfiles_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  lstProfiles_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  auto* frameLayout = new QVBoxLayout(frame);
  frameLayout->addWidget(lstProfiles_);

  cmdAdd_ = new QPushButton(QStringLiteral("&Add"), page);
  cmdAdd_->setObjectName(QStringLiteral("CmdAdicionar"));
  cmdEdit_ = new QPushButton(QStringLiteral("&Edit"), page);
  cmdEdit_->setObjectName(QStringLiteral("CmdEdit"));
  cmdDelete_ = new QPushButton(QStringLiteral("&Remove"), page);
  cmdDelete_->setObjectName(QStringLiteral("CmdDelete"));
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(cmdAdd_);
  buttons->addWidget(cmdEdit_);
  buttons->addWidget(cmdDelete_);
  buttons->addStretch();

  auto* layout = new QHBoxLayout(page);
  layout->addWidget(frame, 1);
  layout->addLayout(buttons);

  connect(cmdAdd_, &QPushButton::clicked, this, &FrmMain::AddClicked);
  connect(cmdEdit_, &QPushButton::clicked, this, &FrmMain::EditClicked);
  connect(cmdDelete_, &QPushButton::clicked, this, &FrmMain::DeleteClicked);
  connect(lstProfiles_, &QTreeWidget::itemDoubleClicked, this, &FrmMain::EditClicked);
  connect(lstProfiles_, &QTreeWidget::itemChanged, this, &FrmMain::RowChanged);
}

QString FrmMain::HelpTopic() const {
  return tabs_->currentIndex() == 0 ? QStringLiteral("Html/ConfigGeral") : QStringLiteral("Html/ConfigPerfis");
}

void FrmMain::done(int result) {
  vrlconf::State().dialogActive = false;
  QDialog::done(result);
}

void FrmMain::NewMsgEveryToggled(bool on) {
  txtPrcInterval_->setEnabled(on);
  cboPrcInterval_->setEnabled(on);
  txtPrcInterval_->setText(on ? QStringLiteral("1") : QString());
  cboPrcInterval_->setCurrentIndex(on ? 1 : -1);
  // Periodic checks only make sense once processing runs by itself.
  if (on) chkInitAuto_->setChecked(true);
  chkInitAuto_->setEnabled(!on);
}

void FrmMain::ExitToggled(bool on) {
  if (on) {
    chkNewMsgEvery_->setChecked(false);
    txtPrcInterval_->clear();
    txtPrcInterval_->setEnabled(false);
    cboPrcInterval_->setCurrentIndex(-1);
  }
  chkNewMsgEvery_->setEnabled(!on);
}

void FrmMain::LoadGlobalParams() {
  const GlobalRecord g = ReadGlobalRecord();
  // A configuration never saved gets the log limit of a new installation, as the import gives.
  spnLogMaxMB_->setValue(g.ConfigFlag == 0 && g.LogMaxMB == 0 ? 50 : g.LogMaxMB);
  spnMaxMessageMB_->setValue(g.MaxMessageMB);
  spnMaxAttachments_->setValue(g.MaxAttachments);
  chkRunAtStartup_->setChecked(g.RunAtSysStartup);
  chkInitAuto_->setChecked(g.AutoInit);
  chkInitMinimized_->setChecked(g.InitMinimized);
  chkHideWhenMinimized_->setChecked(g.HideWhenMinimized);
  chkShowErrors_->setChecked(g.ShowErrorMsgs);
  chkUseLogFile_->setChecked(g.UseLogFile);
  txtLogFile_->setText(g.LogFileName);
  txtLogFile_->setEnabled(g.UseLogFile);
  txtMetricsFile_->setText(g.MetricsFile);
  txtClusterDatabase_->setText(g.ClusterDatabase);
  spnLeaseSeconds_->setValue(g.LeaseSeconds);
  spnLeaseSeconds_->setEnabled(!g.ClusterDatabase.isEmpty());
  cmdSetLogFile_->setEnabled(g.UseLogFile);
  spnLogMaxMB_->setEnabled(g.UseLogFile);

  // The interlocks run as if the user ticked the boxes: a periodic check ticks automatic start.
  const bool every = !g.AutoExit && g.PrcInterval != 0;
  chkExit_->setChecked(g.AutoExit);
  chkNewMsgEvery_->setChecked(every);
  txtPrcInterval_->setText(every ? QString::number(g.PrcInterval) : QString());
  txtPrcInterval_->setEnabled(every);
  cboPrcInterval_->setCurrentIndex(every && g.PrcIntervalUnit >= 0 && g.PrcIntervalUnit <= 2 ? g.PrcIntervalUnit : -1);
  cboPrcInterval_->setEnabled(every);
}

void FrmMain::Warn(const QString& text, QWidget* focus, bool selectAll) {
  QMessageBox::warning(this, kTitle, text);
  tabs_->setCurrentIndex(0);
  focus->setFocus();
  if (auto* edit = qobject_cast<QLineEdit*>(focus); edit && selectAll) edit->selectAll();
}

bool FrmMain::TesteGlobalParams() {
  if (!chkExit_->isChecked() && chkNewMsgEvery_->isChecked()) {
    // The interval is stored as a 16-bit whole number; what rounds to 0 would turn the option off.
    const double value = std::nearbyint(Val(txtPrcInterval_->text()));
    if (!(value > 0 && value <= 32767)) {
      Warn(QStringLiteral("Invalid value"), txtPrcInterval_, true);
      return false;
    }
  }
  if (chkUseLogFile_->isChecked()) {
    const QString file = txtLogFile_->text();
    if (file.isEmpty()) {
      Warn(QStringLiteral("Invalid Log File"), txtLogFile_, false);
      return false;
    }
    const FileFunctions ff;
    QString folder = ff.GetPathOfFile(file);
    if (!ff.DirExists(folder)) {
      Warn(QStringLiteral("Directory not found: ") + Quoted(folder), txtLogFile_, true);
      return false;
    }
  }
  // The import's rules; a file typed from the home folder is stored whole, since the agent runs elsewhere.
  if (QString file = txtMetricsFile_->text(); conf::ExpandHome(file)) txtMetricsFile_->setText(file);
  if (const QString problem = metrics::PathProblem(txtMetricsFile_->text()); !problem.isEmpty()) {
    Warn(QStringLiteral("Invalid Metrics File: it ") + problem, txtMetricsFile_, true);
    return false;
  }
  if (const QString file = txtMetricsFile_->text(); !file.isEmpty()) {
    const QString folder = QFileInfo(file).path();
    if (!QFileInfo(folder).isDir() &&
        QMessageBox::question(this, kTitle,
                              QStringLiteral("Directory not found: %1\nThe agent cannot write the metrics until it "
                                             "exists.\nContinue ?")
                                  .arg(Quoted(folder)),
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
      tabs_->setCurrentIndex(0);
      txtMetricsFile_->setFocus();
      return false;
    }
  }
  if (const QString problem = conf::ClusterDatabaseProblem(txtClusterDatabase_->text()); !problem.isEmpty()) {
    Warn(QStringLiteral("Invalid Cluster Database: it ") + problem, txtClusterDatabase_, true);
    return false;
  }
  return true;
}

bool FrmMain::SaveGlobalParams() {
  GlobalRecord g;
  g.RunAtSysStartup = chkRunAtStartup_->isChecked();
  g.AutoInit = chkInitAuto_->isChecked();
  g.InitMinimized = chkInitMinimized_->isChecked();
  g.HideWhenMinimized = chkHideWhenMinimized_->isChecked();
  g.AutoExit = chkExit_->isChecked();
  g.PrcInterval = qint16(std::nearbyint(std::clamp(Val(txtPrcInterval_->text()), -32768.0, 32767.0)));
  g.PrcIntervalUnit = qint16(cboPrcInterval_->currentIndex());
  g.ShowErrorMsgs = chkShowErrors_->isChecked();
  g.UseLogFile = chkUseLogFile_->isChecked();
  g.LogFileName = txtLogFile_->text();
  g.ConfigFlag = 1;
  g.LogMaxMB = spnLogMaxMB_->value();
  g.MaxMessageMB = spnMaxMessageMB_->value();
  g.MaxAttachments = spnMaxAttachments_->value();
  g.MetricsFile = txtMetricsFile_->text();
  g.ClusterDatabase = txtClusterDatabase_->text();
  g.LeaseSeconds = spnLeaseSeconds_->value();

  if (g.RunAtSysStartup) {
    if (!vrlconf::SetAutostartEntry(vrlconf::ConsoleProgramPath())) {
      QMessageBox::critical(this, kTitle, QStringLiteral("Error writing Registry!"));
      return false;
    }
  } else {
    vrlconf::DeleteAutostartEntry();  // a missing entry is no error
  }
  errno = 0;
  if (!WriteGlobalRecord(g)) {
    const int err = errno;
    QMessageBox::warning(this, kTitle, WriteErrorText(GlobalFilePath(), err));
    return false;
  }
  return true;
}

void FrmMain::OkClicked() {
  if (!TesteGlobalParams()) return;
  SaveGlobalParams();  // a failure is reported; the window closes all the same
  if (lstProfiles_->topLevelItemCount() == 0 &&
      QMessageBox::question(this, kTitle, QStringLiteral("Vorlane dont have any configured profile.\nContinue ?"),
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
    tabs_->setCurrentIndex(1);
    return;
  }
  vrlconf::State().changed = true;
  accept();
}

void FrmMain::SetLogFileClicked() {
  DlgOpenSave dialog;
  dialog.hWnd = this;
  dialog.DialogTitle = QStringLiteral("Select Log File");
  dialog.SetFilter(QStringLiteral("Log Files (*.Log)|*.log"));
  dialog.Flags = DlgOpenSave::OFN_HIDEREADONLY | DlgOpenSave::OFN_PATHMUSTEXIST;
  dialog.FileName = txtLogFile_->text();
  dialog.ShowOpen();
  if (!dialog.FileName.isEmpty()) txtLogFile_->setText(dialog.FileName);
}

void FrmMain::Carregar_Profiles() {
  const QSignalBlocker block(lstProfiles_);
  lstProfiles_->clear();
  const QString path = vrlconf::State().profilesFile;
  if (!QFileInfo::exists(path)) return;
  ProfileRecord header;
  bool ok = ReadProfileRecord(1, header);
  for (qint32 slot = 2; ok && slot <= header.RecordNumber; ++slot) {
    ProfileRecord p;
    ok = ReadProfileRecord(slot, p);
    if (!ok) break;
    auto* row = new QTreeWidgetItem(lstProfiles_, {p.Prfname, p.HostType == 1 ? QStringLiteral("Windows Messaging")
                                                                                : QStringLiteral("Internet Mail")});
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setCheckState(0, p.PrfEnabled ? Qt::Checked : Qt::Unchecked);
    row->setData(0, kSlotRole, slot);
    if (p.HostType == 1)
      row->setToolTip(1, QStringLiteral("Local messaging: a Maildir folder and the system's sendmail"));
  }
  if (lstProfiles_->topLevelItemCount() > 0) lstProfiles_->setCurrentItem(lstProfiles_->topLevelItem(0));
  if (!ok) QMessageBox::warning(this, kTitle, QStringLiteral("Error reading configuration file: ") + Quoted(path));
}

void FrmMain::RefreshCmdsProfiles() {
  const bool any = lstProfiles_->topLevelItemCount() > 0;
  cmdEdit_->setEnabled(any);
  cmdDelete_->setEnabled(any);
}

void FrmMain::AddClicked() {
  if (vrlconf::EditProfile(this, 0, true)) {
    Carregar_Profiles();
    vrlconf::State().changed = true;
  }
  RefreshCmdsProfiles();
}

void FrmMain::EditClicked() {
  QTreeWidgetItem* row = lstProfiles_->currentItem();
  if (!row) return;
  if (vrlconf::EditProfile(this, row->data(0, kSlotRole).toInt(), false)) {
    Carregar_Profiles();
    vrlconf::State().changed = true;
  }
  RefreshCmdsProfiles();
}

void FrmMain::DeleteClicked() {
  QTreeWidgetItem* row = lstProfiles_->currentItem();
  if (!row) return;
  const QString question =
      QStringLiteral("Are you sure you want to remove the profile: ") + Quoted(row->text(0)) + QStringLiteral(" ?");
  if (QMessageBox::question(this, kTitle, question, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) return;
  errno = 0;
  if (!DeleteProfileRecord(row->data(0, kSlotRole).toInt())) {
    const int err = errno;
    QMessageBox::warning(this, kTitle, WriteErrorText(vrlconf::State().profilesFile, err));
    return;
  }
  Carregar_Profiles();
  vrlconf::State().changed = true;
  RefreshCmdsProfiles();
}

void FrmMain::RowChanged(QTreeWidgetItem* item, int column) {
  if (column != 0) return;
  const bool enabled = item->checkState(0) == Qt::Checked;
  ProfileRecord p;
  QString error;
  int err = 0;
  if (!ReadProfileRecord(item->data(0, kSlotRole).toInt(), p)) {
    error = QStringLiteral("Error reading configuration file: ");
  } else if (p.PrfEnabled != enabled) {
    p.PrfEnabled = enabled;
    errno = 0;
    if (!WriteProfileRecord(p)) {
      err = errno;
      error = QStringLiteral("Error writing configuration file: ");
    }
  }
  if (error.isEmpty()) return;
  // The box shows what the file holds.
  {
    const QSignalBlocker block(lstProfiles_);
    item->setCheckState(0, enabled ? Qt::Unchecked : Qt::Checked);
  }
  QMessageBox::warning(this, kTitle, error + Quoted(vrlconf::State().profilesFile) + vrl::ReasonSuffix(err));
}
