// gtest main of the console tests: a QApplication, offscreen unless the program asks for a display.
#include <QApplication>
#include <gtest/gtest.h>

#ifndef VRL_QPA
#define VRL_QPA "offscreen"
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qputenv("QT_QPA_PLATFORM", VRL_QPA);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
