// Captions follow their boxes: a label greys out with the box it names, whichever option
// disables the box (directly or through its group), and comes back with it.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

#include "FrmConfigPrf.h"
#include "FrmInfFileContens.h"
#include "FrmIntMailMoreSettings.h"
#include "FrmMain.h"
#include "Mdl_FicheiroConf.h"

using namespace vrlconf;

namespace {

template <class Window>
QWidget* Make() {
  return new Window;
}

QWidget* NewProfile() {
  auto* editor = new FrmConfigPrf;
  editor->AddProfile();
  return editor;
}

void Tick(QWidget* w, const char* name, bool on) { w->findChild<QAbstractButton*>(name)->setChecked(on); }

struct Pair {
  const char* label;  // the caption's text
  std::function<QWidget*()> make;
  std::function<void(QWidget*, bool)> enable;  // sets the option that enables the caption's box
};

const Pair kPairs[] = {
    {"Kee&p for:", Make<FrmIntMailMoreSettings>,
     [](QWidget* w, bool on) { static_cast<FrmIntMailMoreSettings*>(w)->chkKeepOnServer->setChecked(on); }},
    {"Retry f&or:", Make<FrmIntMailMoreSettings>,
     [](QWidget* w, bool on) { static_cast<FrmIntMailMoreSettings*>(w)->chkRetryTransient->setChecked(on); }},
    {"Start a &New Log File At :", Make<FrmMain>, [](QWidget* w, bool on) { Tick(w, "ChkUseLogFile", on); }},
    {"&Inbound Directory:", NewProfile,
     [](QWidget* w, bool on) { static_cast<FrmConfigPrf*>(w)->chkPrcInboundMessages->setChecked(on); }},
    {"&Directory:", NewProfile,
     [](QWidget* w, bool on) { static_cast<FrmConfigPrf*>(w)->chkPrcOutboundMessages->setChecked(on); }},
    {"&Attachments Only From:", NewProfile,
     [](QWidget* w, bool on) {
       auto* e = static_cast<FrmConfigPrf*>(w);
       (on ? e->OptUseInfFiles : e->OptSndFilesFromDir)->setChecked(true);
     }},
    // The box disabled on its own while its group is: the group enabled again leaves it off.
    {"&Attachments Only From:", NewProfile,
     [](QWidget* w, bool on) {
       auto* e = static_cast<FrmConfigPrf*>(w);
       e->chkPrcOutboundMessages->setChecked(false);
       (on ? e->OptUseInfFiles : e->OptSndFilesFromDir)->setChecked(true);
       e->chkPrcOutboundMessages->setChecked(true);
     }},
    {"L&ine Nº :", Make<FrmInfFileContens>,
     [](QWidget* w, bool on) { static_cast<FrmInfFileContens*>(w)->CboSubjectOptions->setCurrentIndex(on ? 0 : 1); }},
};

TEST(UiBuddyLabels, CaptionsFollowTheirBoxes) {
  QTemporaryDir home;
  qputenv("VORLANE_HOME", home.path().toUtf8());
  ASSERT_TRUE(CreateProfilesFile());
  for (const Pair& pair : kPairs) {
    SCOPED_TRACE(pair.label);
    std::unique_ptr<QWidget> window(pair.make());
    QLabel* label = nullptr;
    for (QLabel* l : window->findChildren<QLabel*>())
      if (l->text() == QString::fromUtf8(pair.label)) label = l;
    ASSERT_TRUE(label && label->buddy());
    for (bool on : {false, true, false, true}) {
      pair.enable(window.get(), on);
      EXPECT_EQ(label->buddy()->isEnabled(), on);
      EXPECT_EQ(label->isEnabled(), on);
    }
  }
}

}  // namespace
