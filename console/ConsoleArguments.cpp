#include "ConsoleArguments.h"

ConsoleArguments ReadConsoleArguments(const QStringList& arguments) {
  static const QStringList kOptions = {
      QStringLiteral("--status"), QStringLiteral("--json"),     QStringLiteral("--metrics"),
      QStringLiteral("--start"),  QStringLiteral("--stop"),     QStringLiteral("--debug"),
      QStringLiteral("--clear-log"), QStringLiteral("--help"),  QStringLiteral("--help-all"),
      QStringLiteral("--version"), QStringLiteral("-h"),        QStringLiteral("-?"),
      QStringLiteral("-v")};
  ConsoleArguments result;
  QStringList rest;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    const QString name = a.section(QLatin1Char('='), 0, 0);
    if (kOptions.contains(name)) {
      result.window = false;
    } else if (name == QLatin1String("--home")) {
      if (name.size() < a.size()) result.home = a.mid(name.size() + 1);
      else result.home = i + 1 < arguments.size() ? arguments[++i] : QString();
    } else {
      rest << a;  // the window ignores what it does not know
    }
  }
  const QString word = rest.size() == 1 ? rest.first().toUpper() : QString();
  result.debug = result.window && (word == QLatin1String("-DEBUG") || word == QLatin1String("/DEBUG"));
  return result;
}
