#include "AgentMetrics.h"

#include <cerrno>
#include <utility>

#include "FileIo.h"
#include "InfoFiles.h"
#include "Metrics.h"

namespace agent {

QString AgentMetrics::Write(const QString& path, const QByteArray& text) {
  QString failure;
  if (const QString problem = metrics::PathProblem(path); !problem.isEmpty()) {
    failure = path + QStringLiteral(" - MetricsFile ") + problem;
  } else {
    // One agent writes the file: temporaries beside it are a crash's.
    if (swept_ != path) vrl::RemoveTemporariesBeside(path);
    swept_ = path;
    // The figures are remade every cycle: a crash may lose the newest, so the folder is not flushed.
    if (!vrl::ReplaceFile(path, text, false, 0644)) failure = path + QStringLiteral(" - ") + ErrnoText(errno);
  }
  if (failure == failure_) return {};
  failure_ = failure;
  return failure;
}

}  // namespace agent
