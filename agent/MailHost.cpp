#include "MailHost.h"

#include "InternetMailHost.h"
#include "LocalMsgHost.h"
#include "Outbound.h"

std::unique_ptr<MailHost> MakeMailHost(AgentContext& agent, const ProfileRecord& profile) {
  if (profile.HostType == 1) return std::make_unique<LocalMsgHost>(agent, profile);
  return std::make_unique<InternetMailHost>(agent, profile);
}

void AgentMailWork::OpenSession(AgentContext& agent, const ProfileRecord& profile) {
  closed_.reset();
  host_.reset();
  journal_.UseFleet(agent.FleetMember(), profile.OutboundDir);
  host_ = MakeMailHost(agent, profile);
  host_->Open();
  if (!host_->Usable()) {
    host_->Close();
    host_.reset();
  }
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
