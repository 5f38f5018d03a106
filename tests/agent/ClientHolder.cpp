// A client that holds the agent, starts it and then waits to be killed: the crash case of the
// control tests. It ends by itself after a minute.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "AgentControl.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ClsStartStopEng control;
  if (!control.IsValid() || !control.StartMailAgent()) return 1;
  std::puts("held");
  std::fflush(stdout);
  QTimer::singleShot(60000, &app, &QCoreApplication::quit);
  return QCoreApplication::exec();
}
