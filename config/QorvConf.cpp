#include "QorvConf.h"

#include "FrmMain.h"
#include "Mdl_FicheiroConf.h"

#include <QFileInfo>

namespace vrlconf {
ConfState& State() {
  static ConfState state;
  return state;
}
}  // namespace vrlconf

void QorvConf::ShowConf(bool& Modal) {
  vrlconf::State().dialogActive = false;
  auto* window = new FrmMain();
  window->setAttribute(Qt::WA_DeleteOnClose);
  if (Modal) {
    window->exec();
  } else {
    window->show();
  }
}

bool QorvConf::ConfDlgActive() const { return vrlconf::State().dialogActive; }

bool QorvConf::ConfAsChanged() const { return vrlconf::State().changed; }

int QorvConf::NProfilesConfig() const {
  if (!QFileInfo::exists(ProfilesFilePath())) return 0;
  ProfileRecord header;
  if (!ReadProfileRecord(1, header)) return 0;
  return header.RecordNumber - 1 > 0 ? header.RecordNumber - 1 : 0;
}
