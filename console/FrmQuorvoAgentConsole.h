#pragma once
// The console's main window: starts and stops the agent through its control classes, shows its
// state (label, indicator, animation, tray icon and tip), its temporary log and its health, and
// opens the configuration. Tray pop-up commands that may open a dialog run 100 ms later, after
// the pop-up has closed.
#include <QMainWindow>
#include <functional>
#include <memory>

#include "ConfRecords.h"
#include "MessageBox.h"

class ClsAgentState;
class ClsGetLog;
class ClsStartStopEng;
class FrmMsgLog;
class QAction;
class QLabel;
class QListWidget;
class QMenu;
class QMessageBox;
class QTimer;
class SystrayIcon;

class FrmQuorvoAgentConsole : public QMainWindow {
  Q_OBJECT
 public:
  // connectAgent false: a window that only displays (no control objects, no bus).
  explicit FrmQuorvoAgentConsole(bool connectAgent = true, QWidget* parent = nullptr);
  ~FrmQuorvoAgentConsole() override;

  // The start-up after the single-instance check: component check, settings, tray icon,
  // InitMinimized and AutoInit. False when a component is missing (the window has then closed).
  bool Load(bool debug);

  void DoInitAgent();
  void DoStopAgent();
  void DoConfigure();
  void DoExitConsole();
  void AgStat_AgentState(qint32 State);
  void Systray_MouseUp(int Button);
  void Systray_DblClick(int Button);
  // Keys: BT_LOG_PREV, BT_LOG_NEXT, BT_LOG_VIEW, BT_LOG_REFRESH, BT_LOG_AUTOREFRESH, BT_LOG_CLEAR.
  void ExecLogCommand(const QString& key);
  // Adds the temporary log's new lines to the list; with clear, clears the log first.
  void LoadLog(bool clear);
  void HideConsole();
  void ShowConsole();
  // The health of the agent's last cycle in the status bar; empty when the agent offers none.
  void UpdateHealth();
  // The same from a health record (JSON), for a window that is not connected to an agent.
  void ShowHealth(const QString& json);

  QListWidget* ListLogView() const;
  SystrayIcon* Systray() const;
  QMenu* MenuAgent() const;
  QString HealthText() const;
  // The log the list reads, for a window that is not connected to an agent.
  void SetTempLogName(const QString& path);
  // Builds the About box (shown modal by the Help menu).
  static QMessageBox* MakeAboutBox(QWidget* parent);

  // Modal boxes of the console; tests replace it. The default shows a QMessageBox.
  std::function<void(const QString& text, vrl::MsgBoxIcon icon)> boxHandler;
  // Opens the configuration; returns whether it changed.
  std::function<bool(QWidget*)> configure;

 signals:
  // The window closed for good: the program ends.
  void Ended();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
  void BuildUi();
  void Box(const QString& text, vrl::MsgBoxIcon icon);
  void ShowRelayedBox(const QString& text, const QString& icon);
  void AnimationStep();
  void SetEnabled(std::initializer_list<const char*> names, bool on);
  void ShowAbout();
};
