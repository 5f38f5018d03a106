#pragma once
// One console per user and application folder: the first owns a name on the session bus; a
// later one calls its Show and ends.
#include <QObject>
#include <QString>

class SingleInstance : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.vorlane.VRL31.Console")
 public:
  explicit SingleInstance(QObject* parent = nullptr);
  // True when this process is the first console (or there is no bus to ask). Otherwise the
  // first one has been asked to show itself (shown: whether it answered) and this one should end.
  bool Claim(bool* shown = nullptr);
  // The bus name of the consoles of this application folder.
  QString ServiceName() const { return name_; }

 public slots:
  Q_SCRIPTABLE void Show();

 signals:
  // A later console asked this one to show itself.
  void ShowRequested();

 private:
  QString name_;
};
