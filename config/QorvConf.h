#pragma once
// The configuration engine: opens the configuration window (global options and the profile
// list) and tells its caller whether the configuration changed.
#include <QString>

class QorvConf {
 public:
  // Opens the configuration window; with modal true returns when it closes.
  void ShowConf(bool& Modal);
  // True while the configuration window is open.
  bool ConfDlgActive() const;
  // Number of profiles: the header's RecordNumber - 1 when the profiles file can be read and
  // that value is above 0; otherwise 0.
  int NProfilesConfig() const;
  // True once the configuration changed while the window was open (OK, or a profile added,
  // edited or removed): the agent must then be restarted to see it.
  bool ConfAsChanged() const;
};

namespace vrlconf {
// The state the library's windows share with every QorvConf.
struct ConfState {
  bool dialogActive = false;
  bool changed = false;
  QString profilesFile;
};
ConfState& State();
}  // namespace vrlconf
