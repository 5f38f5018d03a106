#include "QorvConf.h"

#include "Mdl_FicheiroConf.h"

#include <QFileInfo>

int QorvConf::ProfileCount() const {
  if (!QFileInfo::exists(ProfilesFilePath())) return 0;
  ProfileRecord header;
  if (!ReadProfileRecord(1, header)) return 0;
  return header.RecordNumber - 1 > 0 ? header.RecordNumber - 1 : 0;
}
