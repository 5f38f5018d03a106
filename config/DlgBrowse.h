#pragma once
// Folder picker over the desktop's file dialog.
#include <QString>

class QWidget;

class DlgBrowse {
 public:
  QWidget* hWnd = nullptr;  // owner window
  QString Title;            // the dialog's caption
  // Result of the last Show: the chosen folder, or empty after a cancel.
  const QString& Folder() const { return folder_; }
  // Shows the dialog, starting at startFolder when it is given and exists.
  void Show(const QString& startFolder = QString());

 private:
  QString folder_;
};
