#include <QCoreApplication>
#include <cstdio>

// The console window comes later; for now it says so and leaves.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("VRL31"));
  std::fputs("VRL31: the console window is not available in this build; run VRLEng31 --run.\n", stderr);
  return 1;
}
