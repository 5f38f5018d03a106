// The help folder: the index page is found, a missing topic is not.
#include <gtest/gtest.h>

#include "HelpTopic.h"

TEST(UiHelp, TopicsAreFoundInTheHelpFolder) {
  EXPECT_FALSE(vrlconf::HelpPage(QStringLiteral("index")).isEmpty()) << vrlconf::HelpFolder().toStdString();
  EXPECT_TRUE(vrlconf::HelpPage(QStringLiteral("no/such/topic")).isEmpty());
}
