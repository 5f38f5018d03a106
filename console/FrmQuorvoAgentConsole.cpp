#include "FrmQuorvoAgentConsole.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <cstdio>
#include <openssl/crypto.h>

#include "AgentControl.h"
#include "BuddyLabels.h"
#include "ConsoleArt.h"
#include "FileFunctions.h"
#include "FrmMsgLog.h"
#include "HelpTopic.h"
#include "MdlGlbalConf.h"
#include "OpenConfiguration.h"
#include "QorvConf.h"
#include "SystrayIcon.h"
#include "pop3/POP3_InMail.h"

namespace {

const QString kTitle = QStringLiteral("Vorlane");
const QString kNeedConfig = QStringLiteral("You need to configure Vorlane before using it.");
const QString kTopic = QStringLiteral("Html/Interface");

// The settings as the console last read them; every field zero when the file cannot be read.
GlobalRecord ReadGlobalSettings() {
  GlobalRecord rec;
  if (!ReadGlobalRecord(rec)) return GlobalRecord();
  rec.ConfigFlag = 1;
  return rec;
}

}  // namespace

struct FrmQuorvoAgentConsole::Impl {
  std::unique_ptr<ClsStartStopEng> control;
  std::unique_ptr<ClsAgentState> events;  // bound for the AgentState event
  std::unique_ptr<ClsAgentState> query;   // read for the current state
  std::unique_ptr<ClsGetLog> log;
  std::unique_ptr<SystrayIcon> tray;
  bool connect = true;
  int frame = 0;
  bool exitPermitted = false;
  bool autoRefresh = false;
  bool dialogActive = false;
  bool trayMissingSaid = false;
  GlobalRecord settings;
  // The temporary log as last named by the agent, and how much of it the list shows.
  QString logName;
  qint64 logOffset = 0;
  FrmMsgLog* viewer = nullptr;

  QLabel* state = nullptr;
  QLabel* indicator = nullptr;
  QLabel* animation = nullptr;
  QLabel* health = nullptr;
  QListWidget* list = nullptr;
  QMenu* menuAgent = nullptr;
  QTimer* timer1 = nullptr;
  QTimer* timer2 = nullptr;
  QTimer* timer3 = nullptr;
  QTimer* timerAutoRefresh = nullptr;
  QTimer* timerConfigure = nullptr;
  QTimer* timerInitAgent = nullptr;
  QTimer* timerStopAgent = nullptr;
  QTimer* timerHealth = nullptr;
};

FrmQuorvoAgentConsole::FrmQuorvoAgentConsole(bool connectAgent, QWidget* parent)
    : QMainWindow(parent), d_(std::make_unique<Impl>()) {
  d_->connect = connectAgent;
  configure = OpenConfiguration;
  setObjectName(QStringLiteral("FrmQuorvoAgentConsole"));
  setWindowTitle(kTitle);
  BuildUi();
  d_->tray = std::make_unique<SystrayIcon>();
  connect(d_->tray.get(), &SystrayIcon::MouseUp, this, &FrmQuorvoAgentConsole::Systray_MouseUp);
  connect(d_->tray.get(), &SystrayIcon::DblClick, this, &FrmQuorvoAgentConsole::Systray_DblClick);
}

FrmQuorvoAgentConsole::~FrmQuorvoAgentConsole() = default;

QListWidget* FrmQuorvoAgentConsole::ListLogView() const { return d_->list; }
SystrayIcon* FrmQuorvoAgentConsole::Systray() const { return d_->tray.get(); }
QMenu* FrmQuorvoAgentConsole::MenuAgent() const { return d_->menuAgent; }
QString FrmQuorvoAgentConsole::HealthText() const { return d_->health->text(); }

void FrmQuorvoAgentConsole::SetTempLogName(const QString& path) {
  d_->logName = path;
  d_->logOffset = 0;
}

void FrmQuorvoAgentConsole::BuildUi() {
  QStyle* st = style();
  auto action = [this](const char* name, const QString& text, const QIcon& icon = {}) {
    auto* a = new QAction(icon, text, this);
    a->setObjectName(QLatin1String(name));
    return a;
  };
  auto timer = [this](int ms, void (FrmQuorvoAgentConsole::*slot)(), bool single = true) {
    auto* t = new QTimer(this);
    t->setInterval(ms);
    t->setSingleShot(single);
    connect(t, &QTimer::timeout, this, slot);
    return t;
  };

  // Toolbar of the agent.
  auto* qv = addToolBar(QStringLiteral("Agent"));
  qv->setObjectName(QStringLiteral("QvToolbar"));
  qv->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  qv->setMovable(false);
  // Start, Stop and the refreshes take the theme's icons or drawn ones that read on dark windows.
  using console::Glyph;
  struct Tool { const char* key; const char* caption; const char* tip; QIcon icon; };
  const Tool agentTools[] = {
      {"BT_START_AGENT", "&Start", "Start", console::ToolIcon("media-playback-start", Glyph::Start)},
      {"BT_STOP_AGENT", "S&top", "Stop", console::ToolIcon("media-playback-stop", Glyph::Stop)},
      {"BT_CONFIG_AGENT", "&Config", "Configuration", st->standardIcon(QStyle::SP_FileDialogDetailedView)},
      {"BT_ABAUT", "Abaut", "Abaut...", st->standardIcon(QStyle::SP_MessageBoxInformation)},
      {"BT_HELP", "Help", "Help", st->standardIcon(QStyle::SP_DialogHelpButton)}};
  for (const Tool& t : agentTools) {
    QAction* a = action(t.key, QString::fromLatin1(t.caption), t.icon);
    a->setToolTip(QString::fromLatin1(t.tip));
    qv->addAction(a);
  }

  // Menus.
  QMenu* app = menuBar()->addMenu(QStringLiteral("&VRL"));
  app->setObjectName(QStringLiteral("Menu_App"));
  app->addAction(action("Menu_App_Start", QStringLiteral("&Start...")));
  app->addAction(action("Menu_App_Stop", QStringLiteral("S&top...")));
  app->addAction(action("Menu_App_Config", QStringLiteral("&Configuration")));
  app->addSeparator();
  app->addAction(action("Menu_App_Hide", QStringLiteral("&Hide")));
  app->addSeparator();
  app->addAction(action("Menu_App_Exit", QStringLiteral("&Exit")));
  QMenu* logMenu = menuBar()->addMenu(QStringLiteral("&Log"));
  logMenu->setObjectName(QStringLiteral("Menu_App_Log"));
  logMenu->addAction(action("Menu_App_LogMovePrev", QStringLiteral("Move &Previous")));
  logMenu->addAction(action("Menu_App_LogMoveNext", QStringLiteral("Move &Next")));
  logMenu->addAction(action("Menu_App_LogView", QStringLiteral("&View")));
  logMenu->addSeparator();
  logMenu->addAction(action("Menu_App_Refresh", QStringLiteral("&Refresh")));
  QAction* autoMenu = action("Menu_App_LogAutoRefresh", QStringLiteral("&Auto Refresh"));
  autoMenu->setCheckable(true);
  logMenu->addAction(autoMenu);
  logMenu->addSeparator();
  logMenu->addAction(action("Menu_App_LogClear", QStringLiteral("&Clear")));
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("Menu_App_Help"));
  help->addAction(action("Menu_App_HelpContents", QStringLiteral("&Contents")));
  help->addAction(action("Menu_App_HelpIndex", QStringLiteral("&Index")));
  help->addSeparator();
  help->addAction(action("Menu_App_HelpAbaut", QStringLiteral("&Abaut...")));

  // The tray pop-up menu.
  d_->menuAgent = new QMenu(QStringLiteral("Agent"), this);
  d_->menuAgent->setObjectName(QStringLiteral("MenuAgent"));
  d_->menuAgent->addAction(action("MenuStart", QStringLiteral("Start...")));
  d_->menuAgent->addAction(action("MenuStop", QStringLiteral("Stop...")));
  d_->menuAgent->addAction(action("Menu_Configure", QStringLiteral("Configuration")));
  d_->menuAgent->addSeparator();
  d_->menuAgent->addAction(action("Menu_ShowConsole", QStringLiteral("Show")));
  d_->menuAgent->addAction(action("Menu_HideConsole", QStringLiteral("Hide")));
  d_->menuAgent->addSeparator();
  d_->menuAgent->addAction(action("Menu_Help", QStringLiteral("Help")));
  d_->menuAgent->addAction(action("Menu_About", QStringLiteral("Abaut...")));
  d_->menuAgent->addSeparator();
  d_->menuAgent->addAction(action("Menu_TerminarQuorvo", QStringLiteral("Exit")));

  // State display and log.
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  auto* stateRow = new QHBoxLayout;
  d_->animation = new QLabel(central);
  d_->animation->setObjectName(QStringLiteral("ImgAgentStatus"));
  d_->animation->setPixmap(console::ImgStat(0, 32, devicePixelRatioF()));
  d_->indicator = new QLabel(central);
  d_->indicator->setObjectName(QStringLiteral("ImgColorsAgentStat"));
  d_->indicator->setPixmap(console::ImgColors(1, devicePixelRatioF()));
  d_->state = new QLabel(QStringLiteral("Inactive"), central);
  d_->state->setObjectName(QStringLiteral("LblAgentState"));
  d_->state->setAccessibleName(QStringLiteral("Agent state"));
  QFont big = d_->state->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.3);
  d_->state->setFont(big);
  stateRow->addWidget(d_->animation);
  stateRow->addWidget(d_->indicator);
  stateRow->addWidget(d_->state, 1);
  layout->addLayout(stateRow);

  auto* logRow = new QHBoxLayout;
  auto* label1 = new QLabel(QStringLiteral("Log:"), central);
  label1->setObjectName(QStringLiteral("Label1"));
  auto* tbar = new QToolBar(QStringLiteral("Log"), central);
  tbar->setObjectName(QStringLiteral("TBarLog"));
  tbar->setIconSize(QSize(16, 16));
  const Tool logTools[] = {
      {"BT_LOG_PREV", "", "Move Previous", st->standardIcon(QStyle::SP_ArrowUp)},
      {"BT_LOG_NEXT", "", "Move Next", st->standardIcon(QStyle::SP_ArrowDown)},
      {"BT_LOG_VIEW", "", "View Current Log", st->standardIcon(QStyle::SP_FileDialogContentsView)},
      {"BT_LOG_REFRESH", "", "Refresh", console::ToolIcon("view-refresh", Glyph::Refresh)},
      {"BT_LOG_AUTOREFRESH", "", "Auto Refresh", console::ToolIcon("media-playlist-repeat", Glyph::AutoRefresh)},
      {"BT_LOG_CLEAR", "", "Clear Log", st->standardIcon(QStyle::SP_DialogDiscardButton)}};
  for (const Tool& t : logTools) {
    QAction* a = action(t.key, QString::fromLatin1(t.tip), t.icon);
    a->setToolTip(QString::fromLatin1(t.tip));
    const QString key = QString::fromLatin1(t.key);
    connect(a, &QAction::triggered, this, [this, key] { ExecLogCommand(key); });
    tbar->addAction(a);
  }
  findChild<QAction*>(QStringLiteral("BT_LOG_AUTOREFRESH"))->setCheckable(true);
  logRow->addWidget(label1);
  logRow->addStretch();
  logRow->addWidget(tbar);
  layout->addLayout(logRow);
  d_->list = new QListWidget(central);
  d_->list->setObjectName(QStringLiteral("ListLogView"));
  d_->list->setAccessibleName(QStringLiteral("Log"));
  d_->list->setUniformItemSizes(true);
  label1->setBuddy(d_->list);
  vrlconf::FollowBuddy(label1);
  connect(d_->list, &QListWidget::itemDoubleClicked, this, [this] { ExecLogCommand(QStringLiteral("BT_LOG_VIEW")); });
  layout->addWidget(d_->list, 1);
  setCentralWidget(central);

  d_->health = new QLabel(this);
  d_->health->setObjectName(QStringLiteral("LblHealth"));
  statusBar()->addPermanentWidget(d_->health);

  // Wiring.
  auto on = [this](const char* name, auto fn) {
    connect(findChild<QAction*>(QLatin1String(name)), &QAction::triggered, this, fn);
  };
  d_->timer1 = timer(200, &FrmQuorvoAgentConsole::AnimationStep, false);
  d_->timer2 = new QTimer(this);
  d_->timer2->setInterval(100);
  d_->timer2->setSingleShot(true);
  connect(d_->timer2, &QTimer::timeout, this, [this] {
    d_->exitPermitted = true;
    close();
  });
  d_->timer3 = timer(100, &FrmQuorvoAgentConsole::DoExitConsole, false);
  d_->timerAutoRefresh = new QTimer(this);
  d_->timerAutoRefresh->setInterval(1000);
  connect(d_->timerAutoRefresh, &QTimer::timeout, this, [this] {
    const int row = d_->list->currentRow();
    LoadLog(false);
    if (row >= 0) d_->list->setCurrentRow(row);
  });
  d_->timerConfigure = timer(100, &FrmQuorvoAgentConsole::DoConfigure);
  d_->timerInitAgent = timer(100, &FrmQuorvoAgentConsole::DoInitAgent);
  d_->timerStopAgent = timer(100, &FrmQuorvoAgentConsole::DoStopAgent);
  d_->timerHealth = timer(5000, &FrmQuorvoAgentConsole::UpdateHealth, false);

  for (const char* n : {"BT_START_AGENT", "Menu_App_Start"}) on(n, &FrmQuorvoAgentConsole::DoInitAgent);
  for (const char* n : {"BT_STOP_AGENT", "Menu_App_Stop"}) on(n, &FrmQuorvoAgentConsole::DoStopAgent);
  for (const char* n : {"BT_CONFIG_AGENT", "Menu_App_Config"}) on(n, &FrmQuorvoAgentConsole::DoConfigure);
  for (const char* n : {"BT_ABAUT", "Menu_App_HelpAbaut", "Menu_About"}) on(n, &FrmQuorvoAgentConsole::ShowAbout);
  for (const char* n : {"Menu_App_Hide", "Menu_HideConsole"}) on(n, &FrmQuorvoAgentConsole::HideConsole);
  on("Menu_ShowConsole", &FrmQuorvoAgentConsole::ShowConsole);
  on("Menu_App_Exit", &FrmQuorvoAgentConsole::DoExitConsole);
  on("MenuStart", [this] { d_->timerInitAgent->start(); });
  on("MenuStop", [this] { d_->timerStopAgent->start(); });
  on("Menu_Configure", [this] { d_->timerConfigure->start(); });
  on("Menu_TerminarQuorvo", [this] { d_->timer3->start(); });
  on("BT_HELP", [this] { vrlconf::ShowHelpTopic(this, kTopic); });
  for (const char* n : {"Menu_App_HelpContents", "Menu_App_HelpIndex", "Menu_Help"})
    on(n, [this] { vrlconf::ShowHelpTopic(this, QStringLiteral("index")); });
  const std::pair<const char*, const char*> logEntries[] = {
      {"Menu_App_LogMovePrev", "BT_LOG_PREV"}, {"Menu_App_LogMoveNext", "BT_LOG_NEXT"},
      {"Menu_App_LogView", "BT_LOG_VIEW"},     {"Menu_App_Refresh", "BT_LOG_REFRESH"},
      {"Menu_App_LogAutoRefresh", "BT_LOG_AUTOREFRESH"}, {"Menu_App_LogClear", "BT_LOG_CLEAR"}};
  for (const auto& [entry, key] : logEntries) {
    const QString k = QString::fromLatin1(key);
    on(entry, [this, k] { ExecLogCommand(k); });
  }
  SetEnabled({"Menu_App_Stop", "MenuStop", "BT_STOP_AGENT"}, false);
  resize(680, 440);
}

void FrmQuorvoAgentConsole::SetEnabled(std::initializer_list<const char*> names, bool on) {
  for (const char* n : names) findChild<QAction*>(QLatin1String(n))->setEnabled(on);
}

void FrmQuorvoAgentConsole::Box(const QString& text, vrl::MsgBoxIcon icon) {
  if (boxHandler) return boxHandler(text, icon);
  QMessageBox box(icon == vrl::MsgBoxIcon::Critical      ? QMessageBox::Critical
                  : icon == vrl::MsgBoxIcon::Exclamation ? QMessageBox::Warning
                  : icon == vrl::MsgBoxIcon::Information ? QMessageBox::Information
                                                         : QMessageBox::NoIcon,
                  kTitle, text, QMessageBox::Ok, this);
  box.exec();
}

// The agent's boxes never block: the window keeps updating while they are open.
void FrmQuorvoAgentConsole::ShowRelayedBox(const QString& text, const QString& icon) {
  const QMessageBox::Icon kind = icon == QLatin1String("critical")      ? QMessageBox::Critical
                                 : icon == QLatin1String("exclamation") ? QMessageBox::Warning
                                 : icon == QLatin1String("information") ? QMessageBox::Information
                                                                        : QMessageBox::NoIcon;
  auto* box = new QMessageBox(kind, kTitle, text, QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("RelayedBox"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
  if (!isVisible() || isMinimized()) d_->tray->ShowBalloon(kTitle, text, kind == QMessageBox::Critical ? 3 : kind == QMessageBox::Warning ? 2 : 1);
}

bool FrmQuorvoAgentConsole::Load(bool debug) {
  // The libraries are linked, so only the agent can be missing.
  if (d_->connect) {
    FileFunctions files;
    SystrayIcon probe;
    POP3_InMail pop3;
    QorvConf conf;
    (void)files, (void)conf;
    ClsStartStopEng check;
    if (!check.IsValid()) {
      std::fprintf(stderr, "VRL31: the agent cannot be reached: %s\n", qPrintable(check.LastError()));
      Box(QStringLiteral("Error Loading VRLENG3.EXE"), vrl::MsgBoxIcon::Exclamation);
      d_->exitPermitted = true;
      close();
      return false;
    }
    d_->log = std::make_unique<ClsGetLog>();
    d_->events = std::make_unique<ClsAgentState>();
    connect(d_->events.get(), qOverload<qint32>(&ClsAgentState::AgentState), this,
            &FrmQuorvoAgentConsole::AgStat_AgentState);
    d_->query = std::make_unique<ClsAgentState>();
    d_->control = std::make_unique<ClsStartStopEng>();
    connect(d_->control.get(), &ClsStartStopEng::MessageBox, this, &FrmQuorvoAgentConsole::ShowRelayedBox);
  }
  setWindowTitle(kTitle);
  show();

  d_->settings = ReadGlobalSettings();
  const bool configured = d_->settings.ConfigFlag != 0;
  if (!configured) {
    Box(kNeedConfig, vrl::MsgBoxIcon::Exclamation);
    DoConfigure();
    d_->settings = ReadGlobalSettings();
  }
  if (debug && d_->control) d_->control->SetModeDebug(true);

  d_->tray->SetIcon(console::Image1(0));
  d_->tray->Show();
  d_->tray->SetTipText(QStringLiteral("Vorlane Is Inactive"));
  if (!SystrayIcon::AreaAvailable()) {
    statusBar()->showMessage(QStringLiteral("The desktop has no notification area: the console stays in the task bar."), 15000);
    std::fputs("VRL31: the desktop has no notification area; the console stays in the task bar.\n", stderr);
  }
  d_->exitPermitted = false;
  UpdateHealth();

  if (configured) {
    if (d_->settings.InitMinimized) showMinimized();
    if (d_->settings.AutoInit) DoInitAgent();
  }
  return true;
}

void FrmQuorvoAgentConsole::DoInitAgent() {
  d_->settings = ReadGlobalSettings();
  if (d_->settings.ConfigFlag == 0) {
    Box(kNeedConfig, vrl::MsgBoxIcon::Exclamation);
    DoConfigure();
    return;
  }
  d_->state->setText(QStringLiteral("Starting"));
  d_->indicator->setPixmap(console::ImgColors(2, devicePixelRatioF()));
  SetEnabled({"BT_START_AGENT", "BT_STOP_AGENT", "BT_CONFIG_AGENT", "Menu_App_Start", "Menu_App_Stop",
              "Menu_App_Config", "MenuStop", "MenuStart", "Menu_Configure"},
             false);
  if (d_->control) d_->control->StartMailAgent();
}

void FrmQuorvoAgentConsole::DoStopAgent() {
  d_->state->setText(QStringLiteral("Stopping"));
  d_->indicator->setPixmap(console::ImgColors(2, devicePixelRatioF()));
  SetEnabled({"BT_START_AGENT", "BT_STOP_AGENT", "Menu_App_Start", "Menu_App_Stop", "MenuStop", "MenuStart"}, false);
  if (d_->control) d_->control->StopMailAgent();
}

void FrmQuorvoAgentConsole::AgStat_AgentState(qint32 State) {
  if (State == Running) {
    SetEnabled({"BT_START_AGENT", "Menu_App_Start", "MenuStart"}, false);
    SetEnabled({"BT_STOP_AGENT", "Menu_App_Stop", "MenuStop"}, true);
    d_->timer1->start();
    d_->timerHealth->start();
    d_->state->setText(QStringLiteral("Active"));
    d_->indicator->setPixmap(console::ImgColors(0, devicePixelRatioF()));
    d_->tray->SetTipText(QStringLiteral("Vorlane Is Active"));
  } else if (State == NotRunning) {
    SetEnabled({"BT_START_AGENT", "BT_CONFIG_AGENT", "Menu_App_Start", "Menu_App_Config", "MenuStart", "Menu_Configure"}, true);
    SetEnabled({"BT_STOP_AGENT", "Menu_App_Stop", "MenuStop"}, false);
    d_->state->setText(QStringLiteral("Inactive"));
    d_->indicator->setPixmap(console::ImgColors(1, devicePixelRatioF()));
    d_->timer1->stop();
    d_->timerHealth->stop();
    d_->frame = 0;
    AnimationStep();
    d_->tray->SetTipText(QStringLiteral("Vorlane Is Inactive"));
    if (d_->settings.AutoExit) d_->timer2->start();
  } else {
    return;
  }
  UpdateHealth();
}

void FrmQuorvoAgentConsole::AnimationStep() {
  d_->animation->setPixmap(console::ImgStat(d_->frame, 32, devicePixelRatioF()));
  d_->tray->SetIcon(console::Image1(d_->frame));
  if (++d_->frame > console::kFrames - 1) d_->frame = 0;
}

void FrmQuorvoAgentConsole::DoConfigure() {
  if (d_->query && d_->query->AgentState() == Running) {
    Box(QStringLiteral("The agent is running. Stop it before you change the configuration."),
        vrl::MsgBoxIcon::Exclamation);
    return;
  }
  if (configure && configure(this))
    Box(QStringLiteral("Vorlane need to restart before new settings take effect."), vrl::MsgBoxIcon::Exclamation);
}

void FrmQuorvoAgentConsole::DoExitConsole() {
  if (!d_->query || d_->query->AgentState() != Running) {
    d_->exitPermitted = true;
    close();
    return;
  }
  SetEnabled({"Menu_App_Exit", "Menu_TerminarQuorvo"}, false);
  d_->settings.AutoExit = true;
  DoStopAgent();
}

void FrmQuorvoAgentConsole::closeEvent(QCloseEvent* event) {
  if (!d_->exitPermitted) {
    event->ignore();
    showMinimized();
    return;
  }
  for (QTimer* t : findChildren<QTimer*>(Qt::FindDirectChildrenOnly)) t->stop();
  // Releasing the control object ends the agent's work; the tray icon goes with its object.
  d_->log.reset();
  d_->events.reset();
  d_->control.reset();
  d_->query.reset();
  d_->tray->Hide();
  event->accept();
  emit Ended();
}

void FrmQuorvoAgentConsole::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && d_->settings.HideWhenMinimized)
    QTimer::singleShot(0, this, &FrmQuorvoAgentConsole::HideConsole);
}

void FrmQuorvoAgentConsole::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1 && (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) == 0) {
    vrlconf::ShowHelpTopic(this, kTopic);
    return;
  }
  QMainWindow::keyPressEvent(event);
}

void FrmQuorvoAgentConsole::HideConsole() {
  if (!isMinimized()) showMinimized();
  // Without a notification area a hidden window could not be found again.
  if (!SystrayIcon::AreaAvailable()) {
    if (!d_->trayMissingSaid)
      statusBar()->showMessage(QStringLiteral("The desktop has no notification area: the console stays in the task bar."), 15000);
    d_->trayMissingSaid = true;
    return;
  }
  hide();
}

void FrmQuorvoAgentConsole::ShowConsole() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  showNormal();
  raise();
  activateWindow();
}

void FrmQuorvoAgentConsole::Systray_DblClick(int Button) {
  if (d_->dialogActive || Button != MbLeft) return;
  ShowConsole();
}

void FrmQuorvoAgentConsole::Systray_MouseUp(int Button) {
  if (d_->dialogActive || Button != MbRight) return;
  const bool minimized = isMinimized() || !isVisible();
  SetEnabled({"Menu_ShowConsole"}, minimized);
  SetEnabled({"Menu_HideConsole"}, !minimized);
  if (isVisible()) raise();
  d_->menuAgent->popup(QCursor::pos());
}

void FrmQuorvoAgentConsole::ShowAbout() {
  d_->dialogActive = true;
  std::unique_ptr<QMessageBox> box(MakeAboutBox(this));
  box->exec();
  d_->dialogActive = false;
}

QMessageBox* FrmQuorvoAgentConsole::MakeAboutBox(QWidget* parent) {
  auto* box = new QMessageBox(parent);
  box->setObjectName(QStringLiteral("About"));
  box->setWindowTitle(QStringLiteral("About Vorlane"));
  box->setIconPixmap(console::ImgStat(2, 48, box->devicePixelRatioF()));
  box->setTextFormat(Qt::RichText);
  box->setText(QStringLiteral("<b>Vorlane %1</b><br>The console of the Vorlane mail agent: it turns files into "
                              "e-mail and e-mail into files.")
                   .arg(QCoreApplication::applicationVersion().isEmpty() ? QStringLiteral(VRL_VERSION)
                                                                          : QCoreApplication::applicationVersion()));
  box->setInformativeText(
      QStringLiteral("Libraries used:<br>Qt %1: GNU LGPL v3<br>%2: Apache License 2.0")
          .arg(QString::fromLatin1(qVersion()), QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION)).remove(QRegularExpression(QStringLiteral(" [0-9]+ [A-Z][a-z]{2} [0-9]{4}$")))));
  box->setStandardButtons(QMessageBox::Ok);
  return box;
}

// Takes the lines appended since the last read; a file that shrank was made anew and is read
// from its start. A last line without its end is left for the next read.
void FrmQuorvoAgentConsole::LoadLog(bool clear) {
  if (clear) {
    if (d_->log) d_->log->ClearLogFile();
    d_->logName.clear();
  }
  if (d_->logName.isEmpty() && d_->log) {
    d_->logName = d_->log->GetTempLogFileName();
    d_->logOffset = 0;
  }
  if (d_->logName.isEmpty()) return;
  if (!FileFunctions().FileExists(d_->logName)) {
    // An agent that began anew names another file.
    const QString now = d_->log ? d_->log->GetTempLogFileName() : QString();
    if (!now.isEmpty() && now != d_->logName) d_->logName = now, d_->logOffset = 0;
    if (!FileFunctions().FileExists(d_->logName)) return;
  }
  QFile f(d_->logName);
  if (!f.open(QIODevice::ReadOnly)) return;
  if (f.size() < d_->logOffset) d_->logOffset = 0;
  if (!f.seek(d_->logOffset)) return;
  const QByteArray bytes = f.readAll();
  const qsizetype end = bytes.lastIndexOf('\n');
  if (end < 0) return;
  d_->logOffset += end + 1;
  QStringList lines;
  qsizetype from = 0;
  while (from <= end) {
    const qsizetype nl = bytes.indexOf('\n', from);
    const qsizetype len = nl - from - (nl > from && bytes[nl - 1] == '\r' ? 1 : 0);
    lines << QString::fromUtf8(bytes.constData() + from, len);
    from = nl + 1;
  }
  d_->list->addItems(lines);
}

void FrmQuorvoAgentConsole::ExecLogCommand(const QString& key) {
  QListWidget* list = d_->list;
  const int count = list->count();
  if (key == QLatin1String("BT_LOG_PREV")) {
    if (count > 0) list->setCurrentRow(std::max(list->currentRow() - 1, 0));
  } else if (key == QLatin1String("BT_LOG_NEXT")) {
    if (count > 0) list->setCurrentRow(std::min(list->currentRow() + 1, count - 1));
  } else if (key == QLatin1String("BT_LOG_VIEW")) {
    if (list->currentRow() < 0) return;
    if (!d_->viewer) d_->viewer = new FrmMsgLog(list, this);
    d_->viewer->ShowMsg(list->currentItem()->text());
  } else if (key == QLatin1String("BT_LOG_REFRESH")) {
    LoadLog(false);
    if (list->count() > 0) list->setCurrentRow(list->count() - 1);
  } else if (key == QLatin1String("BT_LOG_AUTOREFRESH")) {
    d_->autoRefresh = !d_->autoRefresh;
    findChild<QAction*>(QStringLiteral("BT_LOG_AUTOREFRESH"))->setChecked(d_->autoRefresh);
    findChild<QAction*>(QStringLiteral("Menu_App_LogAutoRefresh"))->setChecked(d_->autoRefresh);
    SetEnabled({"BT_LOG_REFRESH", "Menu_App_Refresh"}, !d_->autoRefresh);
    d_->autoRefresh ? d_->timerAutoRefresh->start() : d_->timerAutoRefresh->stop();
  } else if (key == QLatin1String("BT_LOG_CLEAR")) {
    list->clear();
    LoadLog(true);
  }
}

void FrmQuorvoAgentConsole::UpdateHealth() {
  if (d_->query) ShowHealth(d_->query->Health());
}

void FrmQuorvoAgentConsole::ShowHealth(const QString& json) {
  const QJsonObject h = QJsonDocument::fromJson(json.toUtf8()).object();
  const QDateTime last = QDateTime::fromString(h.value(QStringLiteral("lastCycle")).toString(), Qt::ISODate);
  if (!last.isValid()) return d_->health->clear();
  qint64 n[5] = {};
  const char* names[] = {"sent", "retried", "bad", "received", "errors"};
  const QJsonObject profiles = h.value(QStringLiteral("profiles")).toObject();
  for (auto it = profiles.begin(); it != profiles.end(); ++it) {
    const QJsonObject p = it.value().toObject();
    if (p.value(QStringLiteral("lastCycle")) != h.value(QStringLiteral("lastCycle"))) continue;
    for (int i = 0; i < 5; ++i) n[i] += p.value(QLatin1String(names[i])).toInteger();
  }
  d_->health->setText(QStringLiteral("Last cycle %1: %2 sent, %3 retried, %4 BAD, %5 received, %6 errors")
                          .arg(last.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                          .arg(n[0]).arg(n[1]).arg(n[2]).arg(n[3]).arg(n[4]));
}
