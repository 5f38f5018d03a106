#pragma once
// The help of the configuration window: a folder of HTML pages, one per topic, installed with
// the programs. A topic is its path in that folder without ".html" ("Profiles/Outbound").
#include <QString>

class QWidget;

namespace vrlconf {

// The folder of the help pages: $VORLANE_HELP_DIR, else the installed folder, else the source
// tree's help/ (for a build that is not installed).
QString HelpFolder();
// The page of a topic; empty when it does not exist.
QString HelpPage(const QString& topic);
// Opens the topic's page in the desktop's browser, or says in a message box that it is missing.
void ShowHelpTopic(QWidget* parent, const QString& topic);

}  // namespace vrlconf
