#pragma once
// Records what a CSocket reports: its events in order and every change of its state.
#include <QObject>
#include <QString>
#include <QStringList>
#include <vector>

#include "socket/CSocket.h"

namespace socktest {

struct Recorder {
  explicit Recorder(CSocket& s) {
    s.SetStateObserver([this](long st) { states.push_back(st); });
    QObject::connect(&s, &CSocket::OnConnect, [this] { events << "connect"; });
    QObject::connect(&s, &CSocket::OnClose, [this] { events << "close"; });
    QObject::connect(&s, &CSocket::OnDataArrival, [this](long total) {
      events << QStringLiteral("data");
      lastTotal = total;
    });
    QObject::connect(&s, &CSocket::OnError, [this](int n, const QString& text, const QString& source) {
      events << QStringLiteral("error");
      errNumber = n;
      errText = text;
      errSource = source;
    });
    QObject::connect(&s, &CSocket::OnSendProgress, [this](long sent, long remaining) {
      progressSent += sent;
      lastRemaining = remaining;
    });
    QObject::connect(&s, &CSocket::OnSendComplete, [this] { ++sendComplete; });
  }
  bool has(const QString& e) const { return events.contains(e); }

  QStringList events;
  std::vector<long> states;
  long lastTotal = 0;
  int errNumber = 0;
  QString errText, errSource;
  long long progressSent = 0;
  long lastRemaining = -1;
  int sendComplete = 0;
};

}  // namespace socktest
