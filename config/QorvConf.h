#pragma once
// The configuration engine. Its window, global options page and profile list come later.
#include <QString>

class QorvConf {
 public:
  // Number of profiles: the header's RecordNumber - 1 when the profiles file can be read and
  // that value is above 0; otherwise 0.
  int ProfileCount() const;
};
