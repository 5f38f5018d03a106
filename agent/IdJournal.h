#pragma once
// The unique ids (UIDL) of the messages a profile has taken, each with the time it was first
// fetched: a message whose id is here is never written again, only deleted (or left on the
// server while the profile keeps messages there). A small file in the application folder, keyed
// by profile name, replaced whole on every change (a crash leaves the old one or the new one).
//
// Recording an id is the moment a message counts as taken. Its files are complete and flushed
// then, under hidden temporary names, and the entry lists them with their targets until they are
// in place: a run that ends in between puts them in place at the next start instead of fetching
// the message again, so a message's files appear once whatever moment a crash picks.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <vector>

#include "InfoFiles.h"
#include "JsonRecordFile.h"

namespace agent {

inline const QString kIdJournalName = QStringLiteral("VRLEng31.uids");

class IdJournal {
 public:
  // When the message with this id was first fetched (seconds since the epoch); -1 when never.
  qint64 FetchedAt(const QString& profile, const QByteArray& id);
  // Records id as fetched at `when`, with the files of its message still to be put in place.
  // False when the journal could not be written: then nothing is recorded.
  bool Record(const QString& profile, const QByteArray& id, qint64 when, const QList<StagedFile>& files);
  // The profile's files recorded last are in place (written with the next change).
  void Placed(const QString& profile);
  // Drops the profile's ids that the server no longer lists.
  void KeepOnly(const QString& profile, const std::vector<QByteArray>& onServer);
  // The files of every profile still waiting to be put in place.
  QList<StagedFile> Unplaced();
  // Forgets every waiting file (they are in place and on disk).
  void AllPlaced();
  // "<journal path> - <reason>" of the last write that failed, once; empty when none failed.
  QString TakeWriteError();

 private:
  struct Profile {
    QHash<QByteArray, qint64> fetched;
    QList<StagedFile> placing;
  };
  void Load();
  bool Write();

  JsonRecordFile file_{kIdJournalName};
  QHash<QString, Profile> profiles_;
};

}  // namespace agent
