#include "DlgBrowse.h"

#include <QDir>
#include <QFileDialog>

void DlgBrowse::Show(const QString& startFolder) {
  QFileDialog dialog(hWnd, Title);
  dialog.setObjectName(QStringLiteral("DlgBrowse"));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setDirectory(!startFolder.isEmpty() && QDir(startFolder).exists() ? startFolder : QDir::homePath());
  folder_.clear();
  // Only folders of the file system come back, so a chosen entry is a local path.
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    folder_ = QDir::cleanPath(dialog.selectedFiles().constFirst());
}
