#pragma once
// The log lines of messages that are delivered together. Each message's lines are held until its
// delivery is settled and then written in the order the messages came, so that the log reads one
// message after another however the work was grouped. Everything but the log goes straight on.
#include <QStringList>
#include <utility>
#include <vector>

#include "AgentContext.h"

namespace agent {

class HeldLines : public AgentContext {
 public:
  explicit HeldLines(AgentContext& to) : to_(to) {}
  ~HeldLines() override { Release(); }
  HeldLines(const HeldLines&) = delete;
  HeldLines& operator=(const HeldLines&) = delete;

  // Lines from now on belong to the next message; its number among those held.
  size_t NextMessage() {
    held_.emplace_back();
    current_ = held_.size() - 1;
    return current_;
  }
  // Lines from now on belong to message k (a number NextMessage gave).
  void Into(size_t k) { current_ = k; }
  // Writes every held line, message by message; lines go straight to the log until NextMessage.
  void Release() {
    for (const QStringList& lines : std::exchange(held_, {}))
      for (const QString& line : lines) to_.Log(line);
  }

  void Log(const QString& message) override {
    if (held_.empty()) to_.Log(message);
    else held_[current_] << message;
  }
  void Show(const QString& text, vrl::MsgBoxIcon icon = vrl::MsgBoxIcon::Exclamation) override { to_.Show(text, icon); }
  void WriteSessionLines() override { to_.WriteSessionLines(); }
  void LogWithSession(const QString& message) override { to_.LogWithSession(message); }
  bool StopIfRequested() override { return to_.StopIfRequested(); }
  bool StopRequested() const override { return to_.StopRequested(); }
  void DoEvents() override { to_.DoEvents(); }
  void Count(HealthCount what) override { to_.Count(what); }
  agent::Fleet* FleetMember() override { return to_.FleetMember(); }
  bool ModeDebug() const override { return to_.ModeDebug(); }
  const QString& CurrentProfileName() const override { return to_.CurrentProfileName(); }
  qint32 MaxMessageMB() const override { return to_.MaxMessageMB(); }
  qint32 MaxAttachments() const override { return to_.MaxAttachments(); }

 private:
  AgentContext& to_;
  std::vector<QStringList> held_;
  size_t current_ = 0;
};

}  // namespace agent
