#pragma once
// The rules a profile must meet, in one place for the profile editor, the import and --check, and
// the agent's load. Problems come in the order the editor asks about them; each says whether the
// user may go on (Ask) or not (Refuse), which setting it concerns, and what answering Yes changes.
#include "ConfRecords.h"

#include <QList>
#include <QString>
#include <functional>

namespace conf {

enum class Severity { Ask, Refuse };

// The setting a problem concerns, for the editor's focus.
enum class ProfileField {
  Name, HostType, WinMsgProfile, SmtpServer, Pop3Server, UserName, Password, FromName, FromAddress,
  Ports, InboundDir, CreateFiles, ResType, OutboundMode, OutboundDir, OutType, RenamedType,
  SendOptions, InfFileContents, Process
};

// What a Yes to a question does to the profile.
enum class Effect { None, NoOutbound, NoInbound };

struct ProfileProblem {
  Severity severity = Severity::Refuse;
  ProfileField field = ProfileField::Name;
  QString text;    // as the editor shows it; empty: already reported, fail silently
  QString detail;  // for the command line, naming the stored field
  Effect effect = Effect::None;
  bool exclamation = false;  // a question shown with the exclamation icon
};

enum class CheckPurpose {
  Save,  // every rule: the editor, the import, --check
  Run,   // only what would make the agent misbehave: the agent's load
};

struct ProfileCheckOptions {
  CheckPurpose purpose = CheckPurpose::Save;
  // Asked for a folder that is named; unset, folders are not looked at.
  std::function<bool(const QString&)> folderExists;
  // The slot of another profile with exactly this name, -1 for none, -2 when the profiles cannot
  // be read (already reported). Unset, names are not compared.
  std::function<int(const QString&)> nameTaken;
  // The editor's "Convert" choice, which an empty type cannot show in the record.
  bool renameChosen = false;
};

QList<ProfileProblem> CheckProfile(const ProfileRecord& p, const ProfileCheckOptions& options = {});
// The same with every question answered Yes, as one who cannot be asked: what a Yes changes is
// done to p, and a question whose Yes would change nothing is left out.
QList<ProfileProblem> CheckProfileAnsweringYes(ProfileRecord& p, const ProfileCheckOptions& options = {});

// A file type as the user may type it ("*.TXT", ".txt", "TXT", "*TXT") reduced to its extension;
// "" for any type ("*.*", blank).
QString TypeExtension(const QString& type);

// "~" and "~/..." made absolute from the home folder; true when the text changed.
bool ExpandHome(QString& path);

}  // namespace conf
