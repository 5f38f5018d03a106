#include "OpenConfiguration.h"

#include "QorvConf.h"

// The configuration window of the configuration engine, modal: the console learns at once
// whether anything changed.
bool OpenConfiguration(QWidget*) {
  QorvConf conf;
  bool modal = true;
  conf.ShowConf(modal);
  return conf.ConfAsChanged();
}
