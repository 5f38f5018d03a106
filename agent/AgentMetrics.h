#pragma once
// The figures for monitoring (common/Metrics.h) in the file the global MetricsFile names, written
// after every cycle: replaced whole through a temporary beside it, so that a collector reads the
// old figures or the new ones, with mode 0644, so that a monitoring user may read them.
#include <QByteArray>
#include <QString>

namespace agent {

class AgentMetrics {
 public:
  // Replaces the file at path with text. The failure to log as "<path> - <reason>"; empty when
  // the file was written, and when the same failure was said before (until a write succeeds).
  QString Write(const QString& path, const QByteArray& text);

 private:
  QString swept_;  // the path whose crash leftovers were removed
  QString failure_;
};

}  // namespace agent
