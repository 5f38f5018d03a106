#pragma once
// The agent's main object: start-up, the settings and profiles, the 100 ms timer that runs the
// processing cycles over the profiles, and the orderly stop. Headless; everything runs on the
// one thread of the event loop. The control classes wrap this object.
#include <QDateTime>
#include <QElapsedTimer>
#include <memory>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include "AgentContext.h"
#include "AgentHealth.h"
#include "AgentMetrics.h"
#include "AgentLog.h"
#include "AgentTypes.h"
#include "ConfRecords.h"
#include "FileListBox.h"
#include "Fleet.h"
#include "ImapIdle.h"
#include "MailWork.h"

// An outbound file changed less than this long ago waits for a later cycle.
inline constexpr qint64 kOutboundSettleMs = 2000;

class FrmAgent : public QObject, public AgentContext {
  Q_OBJECT

 public:
  // log: where the lines go (the process's log by default). work: the mail work; null means
  // the do-nothing base. Neither is owned.
  explicit FrmAgent(agent::AgentLog& log = agent::AgentLog::Instance(),
                    MailWork* work = nullptr, QObject* parent = nullptr);
  ~FrmAgent() override;

  void SetMailWork(MailWork* work);

  // --- Operations of the main form ---
  // Loads the form: marks it loaded and starts the agent.
  void Form_Load();
  // At program exit: deletes the temporary log.
  void Form_Unload();
  // The start/stop command: starts a stopped agent, or asks a running one to stop.
  void CmdStopStart_Click();
  bool StartAgent();
  bool InitQuorvo();
  void Timer1_Timer();
  void ExecMailProccess();
  bool ProccessStopAgent();
  void writelogInitSecionProfile(const QString& Prfname);

  // --- Settings and profiles ---
  bool ReadGlobalSettings();
  bool ReadProfiles();
  // One record of the profiles file; on failure every field is cleared and false returned.
  static bool ReadProfileRecord(ProfileRecord& record, qint32 number);

  // --- State, for the control classes and the mail work ---
  AgentStateConsts AgentState() const { return agentState_; }
  bool FormLoaded() const { return formLoaded_; }
  bool ModeDebug() const override { return modeDebug_; }
  void SetModeDebug(bool on) { modeDebug_ = on; }
  bool StopRequest() const { return stopRequest_; }
  void SetStopRequest(bool on) { stopRequest_ = on; }
  // The check made before each profile, file and message: when a stop is requested and the
  // agent runs, stops it and returns true (the caller then leaves the cycle).
  bool StopIfRequested() override;
  bool StopRequested() const override { return stopRequest_ && agentState_ == Running; }

  const GlobalRecord& GlobalSettings() const { return global_; }
  qint32 MaxMessageMB() const override { return global_.MaxMessageMB; }
  qint32 MaxAttachments() const override { return global_.MaxAttachments; }
  const QString& ProfilesFilePath() const { return profilesFilePath_; }
  qint32 ProfileCount() const { return static_cast<qint32>(profiles_.size()); }
  // Profiles are numbered 1 .. ProfileCount().
  const ProfileRecord& Profile(qint32 p) const { return profiles_[p - 1]; }
  const QString& CurrentProfileName() const override { return currentProfileName_; }
  const QString& SessionProfileName() const { return sessionProfileName_; }
  qint32 HostType() const { return hostType_; }
  bool SessionOpen() const { return sessionOpen_; }
  const QString& RenamedFilesExtention() const { return renamedFilesExtention_; }
  const agent::FileListBox& FileList() const { return LFiles_Inf_Or_Out_Files; }
  bool Timer1Enabled() const { return timer1Enabled_; }

  // The lazy session lines: before the first file or message of a profile, logs the end of the
  // previous profile's session (if any) and the start of this one.
  void WriteSessionLines() override;
  void LogWithSession(const QString& message) override;

  // Logs one line.
  void Log(const QString& message) override;
  // With ShowErrorMsgs on, shows text in a message box.
  void Show(const QString& text, vrl::MsgBoxIcon icon = vrl::MsgBoxIcon::Exclamation) override;
  void DoEvents() override;
  void Count(HealthCount what) override { health_.Count(what); }
  void OAuthState(const QString& state, bool works, const QDateTime& renewed) override;
  agent::Fleet* FleetMember() override { return fleet_.get(); }
  // The health record as JSON (see AgentHealth).
  QByteArray HealthDocument() { return health_.Document(); }

  // The profiles waiting for new mail (IMAP IDLE) between cycles.
  const agent::ImapIdleWatchers& IdleWatchers() const { return idle_; }

  // Tests drive Timer1_Timer themselves: the timer's enabled state is kept, but no real timer
  // runs.
  void SetManualTimerForTesting(bool manual);

 signals:
  // The agent state changed (raised on every start and stop).
  void FireEventAgentState(qint32 State);
  // A cycle ended and the health record holds it; summary: AgentHealth::Summary.
  void CycleRecorded(const QString& summary);

 private:
  void SetTimer1Enabled(bool on);
  void SetAgentState(AgentStateConsts state);
  void PrepareOutbound(const ProfileRecord& profile);
  // Runs a call of the mail work; an error numbered kErrResumeNext is ignored.
  template <class F>
  void CallWork(F&& f);
  void CloseSessionQuietly();
  void RecordCycle();
  // Between cycles: runs at once the profiles that new mail woke; true when it did.
  bool RunWoken();
  // With a fleet: the lease work (at most once a second), its lines logged.
  void FleetTick();
  void FleetLines();

  agent::AgentLog& log_;
  MailWork defaultWork_;
  MailWork* work_;

  GlobalRecord global_;
  QString profilesFilePath_;
  QVector<ProfileRecord> profiles_;
  // Per profile, what keeps it from running, checked once when the profiles are read.
  QVector<QStringList> refusals_;
  agent::ImapIdleWatchers idle_;
  QSet<QString> woken_;         // profiles new mail woke since the last cycle
  QSet<QString> onlyProfiles_;  // during a woken cycle: the profiles it runs
  AgentStateConsts agentState_ = NotRunning;
  bool formLoaded_ = false;
  bool modeDebug_ = false;

  // Members of the form.
  QDateTime lastRun_;  // null: empty
  bool firstTickDone_ = false;
  bool sessionOpen_ = false;
  bool stopRequest_ = false;
  QString currentProfileName_;
  QString sessionProfileName_;
  QStringList pendingSessionLines_;
  qint32 hostType_ = 0;
  QString renamedFilesExtention_;

  QTimer Timer1;
  bool timer1Enabled_ = false;
  bool manualTimer_ = false;
  agent::FileListBox LFiles_Inf_Or_Out_Files;

  agent::AgentHealth health_;
  bool healthWriteFailed_ = false;  // said once until a write succeeds again
  agent::AgentMetrics metrics_;
  std::unique_ptr<agent::Fleet> fleet_;  // null on one machine
  QElapsedTimer fleetTicked_;
};
