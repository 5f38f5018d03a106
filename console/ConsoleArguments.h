#pragma once
// How the console was asked to run, read from its arguments (without the program name).
#include <QString>
#include <QStringList>

#include <optional>

struct ConsoleArguments {
  // False when an option of the command-line face is given: its parser takes the line from there.
  bool window = true;
  // The line, apart from --home, is the one word -DEBUG or /DEBUG in any case.
  bool debug = false;
  // --home DIR or --home=DIR; an empty text when the folder is missing.
  std::optional<QString> home;
};

ConsoleArguments ReadConsoleArguments(const QStringList& arguments);
