#include "MailHost.h"

#include "InternetMailHost.h"
#include "Outbound.h"
#include "VrlError.h"

std::unique_ptr<MailHost> MakeMailHost(AgentContext& agent, const ProfileRecord& profile) {
  if (profile.HostType == 1)
    throw vrl::VrlError(kErrLogonFailed,
                        QStringLiteral("The local messaging system is not available"),
                        QStringLiteral("VRLEng31"));
  return std::make_unique<InternetMailHost>(agent, profile);
}

void AgentMailWork::OpenSession(AgentContext& agent, const ProfileRecord& profile) {
  closed_.reset();
  host_.reset();
  host_ = MakeMailHost(agent, profile);
  host_->Open();
}

void AgentMailWork::CloseSession(AgentContext& agent) {
  (void)agent;
  if (!host_) return;
  closed_ = std::move(host_);
  closed_->Close();
}

void AgentMailWork::ProcessOutboundFile(AgentContext& agent, const ProfileRecord& profile,
                                        const QString& folder, const QString& name) {
  if (host_) agent::ProcessOutboundFile(agent, profile, *host_, folder, name, journal_);
}

bool AgentMailWork::ExecGetMail(AgentContext& agent, const ProfileRecord& profile) {
  (void)agent;
  (void)profile;
  return host_ ? host_->ExecGetMail() : true;
}
