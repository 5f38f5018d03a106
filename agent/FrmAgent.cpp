#include "FrmAgent.h"

#include <unistd.h>

#include "FileFunctions.h"
#include "InfoFiles.h"
#include "MdlGlbalConf.h"
#include "Metrics.h"
#include "Mdl_FicheiroConf.h"
#include "ProfileCheck.h"
#include "MessageBox.h"
#include "VrlError.h"

#include "Clock.h"

#include <QCoreApplication>

#include <cerrno>
#include <utility>

namespace {

QDateTime NowToSecond() {
  QDateTime now = vrl::Now();
  now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
  return now;
}

}  // namespace

FrmAgent::FrmAgent(agent::AgentLog& log, MailWork* work, QObject* parent)
    : QObject(parent), log_(log), work_(work ? work : &defaultWork_) {
  Timer1.setInterval(100);
  connect(&Timer1, &QTimer::timeout, this, &FrmAgent::Timer1_Timer);
  connect(&idle_, &agent::ImapIdleWatchers::NewMail, this, [this](const QString& profile) {
    if (agentState_ == Running) woken_.insert(profile);
  });
  connect(&idle_, &agent::ImapIdleWatchers::Trouble, this, [this](const QString& profile, const QString& text) {
    if (agentState_ == Running)
      Log(kLogAlert + QStringLiteral("Profile: \"") + profile + QStringLiteral("\" Waiting For New Mail (IDLE): ") + text);
  });
}

FrmAgent::~FrmAgent() = default;

void FrmAgent::SetMailWork(MailWork* work) { work_ = work ? work : &defaultWork_; }

void FrmAgent::DoEvents() {
  QCoreApplication::processEvents();
  if (fleet_) {
    fleet_->KeepAlive();
    FleetLines();
  }
}

void FrmAgent::FleetLines() {
  for (const QString& line : fleet_->TakeLines()) Log(line);
}

void FrmAgent::FleetTick() {
  if (!fleet_ || (fleetTicked_.isValid() && fleetTicked_.elapsed() < 1000)) return;
  fleetTicked_.start();
  QStringList names;
  for (qsizetype i = 0; i < profiles_.size(); ++i)
    if (profiles_[i].PrfEnabled && refusals_.value(i).isEmpty()) names << profiles_[i].Prfname;
  fleet_->Tick(names);
  FleetLines();
}

void FrmAgent::SetManualTimerForTesting(bool manual) {
  manualTimer_ = manual;
  if (manual) Timer1.stop();
  else if (timer1Enabled_) Timer1.start();
}

void FrmAgent::SetTimer1Enabled(bool on) {
  timer1Enabled_ = on;
  if (on && !manualTimer_) Timer1.start();
  else Timer1.stop();
}

void FrmAgent::SetAgentState(AgentStateConsts state) {
  agentState_ = state;
  health_.SetAgentStart(state == Running ? vrl::Now() : QDateTime());
  emit FireEventAgentState(agentState_);
}

void FrmAgent::Log(const QString& message) {
  QString m = message;
  log_.WriteLog(m);
  if (m.startsWith(QLatin1String("ERROR:"))) health_.Error(m.mid(6).trimmed(), vrl::Now());
}

void FrmAgent::Show(const QString& text, vrl::MsgBoxIcon icon) {
  if (global_.ShowErrorMsgs) vrl::ShowMessageBox(text, icon);
}

// ---------------------------------------------------------------------------------------------
// Start and stop

void FrmAgent::Form_Load() {
  formLoaded_ = true;
  StartAgent();
}

void FrmAgent::Form_Unload() {
  SetTimer1Enabled(false);
  log_.ClearLogFile();
}

void FrmAgent::CmdStopStart_Click() {
  if (agentState_ != Running) {
    stopRequest_ = false;
    StartAgent();
  } else {
    stopRequest_ = true;
  }
}

bool FrmAgent::StartAgent() {
  SetTimer1Enabled(false);
  sessionProfileName_.clear();
  // Cleared before the start sequence lets events run, so that a stop asked for during the
  // start is kept and honoured at the first tick.
  stopRequest_ = false;
  // Every start counts the interval afresh: the first cycle runs at the first tick.
  lastRun_ = QDateTime();
  firstTickDone_ = false;
  SetAgentState(Running);
  if (!InitQuorvo()) return false;
  sessionOpen_ = false;
  QVector<ProfileRecord> runnable;
  for (qsizetype i = 0; i < profiles_.size(); ++i)
    if (refusals_.value(i).isEmpty()) runnable << profiles_[i];
  woken_.clear();
  // A run of one cycle has no time between cycles to wait in.
  if (!global_.AutoExit && global_.PrcInterval != 0) idle_.Start(runnable);
  SetTimer1Enabled(true);
  // The first tick comes at once, not a timer interval after the start.
  if (!manualTimer_)
    QTimer::singleShot(0, this, [this] {
      if (timer1Enabled_ && !firstTickDone_ && agentState_ == Running) Timer1_Timer();
    });
  return true;
}

bool FrmAgent::InitQuorvo() {
  DoEvents();
  if (!ReadGlobalSettings()) {
    LogAndShow(kLogError, QStringLiteral("Error Starting Vorlane Agent: Error reading Registry"));
    ProccessStopAgent();
    return false;
  }
  Log(agent::kSeparatorLine);
  Log(kLogInfo + QStringLiteral("Starting Vorlane Agent"));

  if (!FileFunctions().FileExists(profilesFilePath_)) {
    Log(kLogInfo + QStringLiteral("Configuration File Not Found: ") + profilesFilePath_);
    if (global_.ShowErrorMsgs)
      vrl::ShowMessageBox(QStringLiteral("Configuration File Not Found: ") + profilesFilePath_,
                          vrl::MsgBoxIcon::Exclamation);
    ProccessStopAgent();
    return false;
  }

  fleet_.reset();
  if (!global_.ClusterDatabase.isEmpty()) {
    QString why;
    if (fleet::SafeConnInfo(global_.ClusterDatabase, &why).isEmpty()) {
      LogAndShow(kLogError, QStringLiteral("Error Starting Vorlane Agent: ClusterDatabase - ") + why);
      ProccessStopAgent();
      return false;
    }
    fleet_ = std::make_unique<agent::Fleet>(global_.ClusterDatabase, global_.LeaseSeconds,
                                            agent::Fleet::LocalAgentId());
    fleetTicked_.invalidate();
  }
  if (ReadProfiles()) {
    // An information file may name any file the agent can read as its attachment: as root, any.
    if (::geteuid() == 0)
      Log(kLogAlert + QStringLiteral("The Agent Runs As Root: whoever can write an outbound folder can send any file of "
                                     "this machine; run it as a user of its own, or set AttachmentFolders"));
    Log(kLogInfo + QStringLiteral("Vorlane Agent Started"));
    DoEvents();
    return true;
  }
  LogAndShow(kLogError, QStringLiteral("Error Starting Vorlane Agent"));
  ProccessStopAgent();
  return false;
}

bool FrmAgent::ProccessStopAgent() {
  if (sessionOpen_) {
    // A session that fails to close must not keep the agent from stopping.
    CloseSessionQuietly();
  }
  if (!sessionProfileName_.isEmpty())
    Log(kLogInfo + QStringLiteral("Stopping Session with the Profile: ") + sessionProfileName_);
  SetTimer1Enabled(false);
  idle_.Stop();
  woken_.clear();
  if (fleet_) {
    fleet_->ReleaseAll();
    FleetLines();
    fleet_.reset();
  }
  Log(kLogInfo + QStringLiteral("Vorlane Agent Stopped"));
  SetAgentState(NotRunning);
  return true;
}

bool FrmAgent::StopIfRequested() {
  if (stopRequest_ && agentState_ == Running) {
    ProccessStopAgent();
    return true;
  }
  return false;
}

void FrmAgent::CloseSessionQuietly() {
  try {
    work_->CloseSession(*this);
  } catch (...) {
  }
  sessionOpen_ = false;
}

// ---------------------------------------------------------------------------------------------
// Settings and profiles

bool FrmAgent::ReadGlobalSettings() {
  const bool ok = ReadGlobalRecord(global_);
  profilesFilePath_ = ::ProfilesFilePath();
  log_.SetUseLogFile(global_.UseLogFile);
  log_.SetLogFileName(global_.LogFileName);
  log_.SetLogMaxBytes(qint64(global_.LogMaxMB) * 1024 * 1024);
  return ok;
}

bool FrmAgent::ReadProfileRecord(ProfileRecord& record, qint32 number) {
  if (::ReadProfileRecord(number, record)) return true;
  record = ProfileRecord();
  return false;
}

bool FrmAgent::ReadProfiles() {
  profiles_.clear();
  refusals_.clear();
  Log(kLogInfo + QStringLiteral("Reading Configuration File: \"VRL3PF.PCF\""));
  if (!FileFunctions().FileExists(profilesFilePath_)) {
    LogAndShow(kLogInfo, QStringLiteral("There are no configured profiles"));
    return false;
  }

  const QString readError =
      QStringLiteral("Error reading configuration file: \"") + profilesFilePath_ +
      QLatin1Char('"');
  ProfileRecord header;
  if (!ReadProfileRecord(header, 1)) {
    LogAndShow(kLogError, readError);
    return false;
  }
  const qint32 n = header.RecordNumber;
  if (n <= 1) {
    LogAndShow(kLogInfo, QStringLiteral("There are no configured profiles"));
  } else {
    // The table grows record by record: a damaged header with a huge count ends in a read
    // error, not in a huge allocation.
    for (qint32 r = 2; r <= n; ++r) {
      ProfileRecord rec;
      if (!ReadProfileRecord(rec, r)) {
        profiles_.clear();
        refusals_.clear();
        LogAndShow(kLogError, readError);
        return false;
      }
      CorrectLoadedProfile(rec);
      // A profile the editor would refuse does not run: a relative folder would be taken from
      // wherever the agent started, a message without a sender is refused by servers.
      conf::ProfileCheckOptions run;
      run.purpose = conf::CheckPurpose::Run;
      QStringList refused;
      for (const conf::ProfileProblem& problem : conf::CheckProfile(rec, run)) refused << problem.text;
      profiles_.push_back(rec);
      refusals_.push_back(refused);
    }
  }
  Log(kLogInfo + QStringLiteral("Configuration File OK"));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Timer and cycle

void FrmAgent::Timer1_Timer() {
  DoEvents();
  if (StopIfRequested()) return;
  FleetTick();

  if (!global_.AutoExit) {
    if (lastRun_.isValid()) {
      qint64 multiplier = 1;
      if (global_.PrcIntervalUnit == 1) multiplier = 60;
      else if (global_.PrcIntervalUnit == 2) multiplier = 3600;
      const qint64 elapsed = lastRun_.secsTo(NowToSecond());
      if (static_cast<qint64>(global_.PrcInterval) * multiplier > elapsed) {
        RunWoken();
        return;
      }
      lastRun_ = QDateTime();
    } else {
      // The interval counts from the first tick after a cycle, the first cycle included, so a
      // long cycle never eats into the wait that follows it.
      if (firstTickDone_) {
        lastRun_ = NowToSecond();
        return;
      }
      firstTickDone_ = true;
    }
  }

  SetTimer1Enabled(false);
  ExecMailProccess();
  RecordCycle();
  DoEvents();

  if (stopRequest_ && agentState_ == Running) {
    ProccessStopAgent();
  } else if (global_.AutoExit || global_.PrcInterval == 0) {
    stopRequest_ = true;
    if (agentState_ == Running) ProccessStopAgent();
  } else if (!stopRequest_) {
    SetTimer1Enabled(true);
  }
}

template <class F>
void FrmAgent::CallWork(F&& f) {
  try {
    f();
  } catch (const vrl::VrlError& e) {
    if (e.Number() != kErrResumeNext) throw;
  }
}

void FrmAgent::WriteSessionLines() {
  if (sessionProfileName_ != currentProfileName_) {
    if (!sessionProfileName_.isEmpty())
      Log(kLogInfo + QStringLiteral("Stopping Session with the Profile: ") + sessionProfileName_);
    writelogInitSecionProfile(currentProfileName_);
    sessionProfileName_ = currentProfileName_;
  }
  const QStringList pending = std::exchange(pendingSessionLines_, {});
  for (const QString& line : pending) Log(line);
}

void FrmAgent::LogWithSession(const QString& message) {
  // Also when this profile's session lines are the last ones: a cycle that finds no work logs
  // nothing, even with one profile.
  pendingSessionLines_ << message;
}

void FrmAgent::writelogInitSecionProfile(const QString& Prfname) {
  Log(kLogInfo + QStringLiteral("Starting Session with the Profile: ") + Prfname);
}

void FrmAgent::PrepareOutbound(const ProfileRecord& profile) {
  renamedFilesExtention_ = profile.RenamedFilesExtention;
  LFiles_Inf_Or_Out_Files.Path = profile.OutboundDir;
  LFiles_Inf_Or_Out_Files.Pattern = profile.OutFilesExtention;
  LFiles_Inf_Or_Out_Files.MinAgeMs = kOutboundSettleMs;
  LFiles_Inf_Or_Out_Files.Refresh();
}

void FrmAgent::RecordCycle() {
  QStringList configured;
  for (const ProfileRecord& p : std::as_const(profiles_)) configured << p.Prfname;
  const bool written = health_.EndCycle(configured);
  const QString error = health_.TakeWriteError();
  if (written) {
    healthWriteFailed_ = false;
  } else if (!healthWriteFailed_) {
    healthWriteFailed_ = true;
    Log(kLogError + QStringLiteral("Cannot Write The File: ") + error);
  }
  if (fleet_) {
    fleet_->WriteHealth(health_.Document(), health_.Summary());
    FleetLines();
  }
  if (!global_.MetricsFile.isEmpty()) {
    const QByteArray figures = metrics::Format(health_.Object(), metrics::OutboundQueues(profiles_));
    if (const QString failure = metrics_.Write(global_.MetricsFile, figures); !failure.isEmpty())
      Log(kLogError + QStringLiteral("Cannot Write The File: ") + failure);
  }
  emit CycleRecorded(health_.Summary());
}

void FrmAgent::OAuthState(const QString& state, bool works, const QDateTime& renewed) {
  health_.OAuth(state, works, renewed, vrl::Now());
}

bool FrmAgent::RunWoken() {
  if (woken_.isEmpty()) return false;
  // The interval goes on counting from the last full cycle.
  onlyProfiles_ = std::exchange(woken_, {});
  SetTimer1Enabled(false);
  ExecMailProccess();
  onlyProfiles_.clear();
  RecordCycle();
  DoEvents();
  if (stopRequest_ && agentState_ == Running)
    ProccessStopAgent();
  else if (!stopRequest_)
    SetTimer1Enabled(true);
  return true;
}

void FrmAgent::ExecMailProccess() {
  health_.BeginCycle(vrl::Now());
  const QString noActive = kLogInfo + QStringLiteral("There Not Exist Active Profiles");
  const qint32 count = ProfileCount();
  qint32 inactive = 0;

  if (count == 0) {
    stopRequest_ = true;
    Log(noActive);
  }

  FileFunctions ff;
  for (qint32 p = 1; p <= count; ++p) {
    if (StopIfRequested()) return;
    DoEvents();
    ProfileRecord& prf = profiles_[p - 1];
    if (!onlyProfiles_.isEmpty() && !onlyProfiles_.contains(prf.Prfname)) continue;
    currentProfileName_ = prf.Prfname;
    pendingSessionLines_.clear();

    if (!prf.PrfEnabled) {
      DoEvents();
      ++inactive;
      continue;
    }
    // In a fleet, a profile runs here only while this agent holds its lease.
    if (fleet_) {
      FleetTick();
      const bool held = fleet_->Begin(prf.Prfname);
      FleetLines();
      if (!held) continue;
    }
    health_.BeginProfile(prf.Prfname);

    bool leaseLost = false;
    try {
      bool skip = false;
      for (const QString& refusal : std::as_const(refusals_[p - 1])) {
        LogAndShow(kLogError, QStringLiteral("Profile:  '") + prf.Prfname + QStringLiteral("' ") + refusal);
        skip = true;
      }
      if (skip) {
        // said above
      } else if (prf.PrcInboundMessages && !ff.DirExists(prf.InboundDir)) {
        LogAndShow(kLogError, QStringLiteral("Profile:  '") + prf.Prfname +
                               QStringLiteral("' Inbound Directory Not Found: ") + prf.InboundDir);
        skip = true;
      } else if (prf.PrcOutboundMessages && !ff.DirExists(prf.OutboundDir)) {
        LogAndShow(kLogError, QStringLiteral("Profile:  '") + prf.Prfname +
                               QStringLiteral("' Outbound Directory Not Found: ") +
                               prf.OutboundDir);
        skip = true;
      }

      if (!skip) {
        if (prf.PrcInboundMessages && !prf.CreateAttchsInMsgs && !prf.CreateInfFileInboundMsgs)
          LogAndShow(kLogAlert,
                     QStringLiteral("WARNING! No files will be created for inbound messages"));

        if (prf.PrcOutboundMessages) PrepareOutbound(prf);

        hostType_ = prf.HostType;
        CallWork([&] { work_->OpenSession(*this, prf); });
        if (agentState_ != Running) return;
        sessionOpen_ = true;
        DoEvents();
        DoEvents();

        if (prf.PrcOutboundMessages) {
          const int files = LFiles_Inf_Or_Out_Files.ListCount();
          const QString folder = LFiles_Inf_Or_Out_Files.Path;
          for (int i = 0; i < files && !leaseLost; ++i) {
            const QString name = LFiles_Inf_Or_Out_Files.List(i);
            WriteSessionLines();
            if (StopIfRequested()) return;
            // Nothing goes once another agent may have the profile.
            if (fleet_ && !fleet_->Check()) {
              leaseLost = true;
              FleetLines();
              break;
            }
            work_->OutboundFileFollows(i + 1 < files);
            CallWork([&] { work_->ProcessOutboundFile(*this, prf, folder, name); });
            if (agentState_ != Running) return;
          }
        }
        if (fleet_ && !leaseLost && prf.PrcInboundMessages) {
          leaseLost = !fleet_->CheckNow();
          FleetLines();
        }
        if (prf.PrcInboundMessages && !leaseLost) {
          DoEvents();
          CallWork([&] { work_->ExecGetMail(*this, prf); });
          if (agentState_ != Running) return;
        }

        if (sessionOpen_) CallWork([&] { work_->CloseSession(*this); });
        sessionOpen_ = false;
        DoEvents();
      }
    } catch (const vrl::VrlError& e) {
      if (e.Number() != kErrLogonFailed) {
        // Any other error ends the cycle; a session left open is closed first.
        if (sessionOpen_) CloseSessionQuietly();
        return;
      }
      if (sessionOpen_) CloseSessionQuietly();
      prf.PrfEnabled = false;
      ++inactive;
      LogAndShow(kLogError, QStringLiteral("Cannot Start Session With The Profile: ") +
                             prf.WinMsgProfileName);
      continue;
    } catch (...) {
      if (sessionOpen_) CloseSessionQuietly();
      return;
    }

    if (fleet_) fleet_->End();
    if (stopRequest_) break;
  }

  if (inactive == count) {
    stopRequest_ = true;
    Log(noActive);
  }
}
