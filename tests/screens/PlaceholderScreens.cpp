// The help folder's first page, so that the renderer has one window before the configuration
// windows exist.
#include "Screens.h"

#include <QFile>
#include <QTextBrowser>

#include "HelpTopic.h"

namespace {

const vrlscreens::Register kHelp(QStringLiteral("Help"), [](const QString& out) {
  QTextBrowser view;
  view.resize(640, 480);
  view.setSource(QUrl::fromLocalFile(vrlconf::HelpPage(QStringLiteral("index"))));
  view.grab().save(out + QStringLiteral("/Help-index.png"));
});

}  // namespace
