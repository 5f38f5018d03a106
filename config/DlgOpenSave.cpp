#include "DlgOpenSave.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>

#include "VrlError.h"

QStringList DlgOpenSave::NameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    // The description may carry its own pattern list in parentheses; the pattern field rules.
    QString description = parts[i];
    description.remove(QRegularExpression(QStringLiteral("\\s*\\([^)]*\\)\\s*$")));
    QString patterns = parts[i + 1];
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    // "*.*" means every file, also those without a dot.
    patterns.replace(QStringLiteral("*.*"), QStringLiteral("*"));
    out << description.trimmed() + QStringLiteral(" (") + patterns.trimmed() + QLatin1Char(')');
  }
  return out;
}

void DlgOpenSave::ShowOpen() { Show(false); }
void DlgOpenSave::ShowSave() { Show(true); }

void DlgOpenSave::Show(bool save) {
  QFileDialog dialog(hWnd, DialogTitle);
  dialog.setObjectName(QStringLiteral("DlgOpenSave"));
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(!save && (Flags & OFN_FILEMUSTEXIST) ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !(Flags & OFN_OVERWRITEPROMPT));
  const QStringList filters = NameFilters(filter_);
  dialog.setNameFilters(filters);
  if (FilterIndex >= 1 && FilterIndex <= filters.size()) dialog.selectNameFilter(filters[FilterIndex - 1]);
  dialog.setDefaultSuffix(DefaultExt);
  const QFileInfo initial(FileName);
  dialog.setDirectory(!InitDir.isEmpty() ? InitDir
                      : !FileName.isEmpty() && initial.dir().exists() ? initial.path()
                                                                      : QDir::homePath());
  if (!FileName.isEmpty()) dialog.selectFile(initial.fileName());

  QString chosen;
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    chosen = dialog.selectedFiles().constFirst();
  // The path must exist up to its folder, and fit the caller's buffer.
  const bool pathOk = !(Flags & OFN_PATHMUSTEXIST) || QFileInfo(chosen).dir().exists();
  if (chosen.isEmpty() || !pathOk || chosen.size() >= MaxFileSize) {
    if (CancelError)
      throw vrl::VrlError(kCancelErrorNumber, QStringLiteral("Cancel was selected"), QStringLiteral("Run-time error"));
    return;
  }
  FileName = chosen;
  const QFileInfo info(chosen);
  FileTitle = info.fileName();
  const qsizetype dot = FileTitle.lastIndexOf(QLatin1Char('.'));
  FileExt = dot > 0 ? qint16(chosen.size() - FileTitle.size() + dot + 1) : qint16(0);
  FilterIndex = qint32(filters.indexOf(dialog.selectedNameFilter()) + 1);
  if (FilterIndex == 0) FilterIndex = 1;
  Flags &= ~OFN_EXTENSIONDIFFERENT;
  if (!DefaultExt.isEmpty() && info.suffix().compare(DefaultExt, Qt::CaseInsensitive) != 0)
    Flags |= OFN_EXTENSIONDIFFERENT;
}
