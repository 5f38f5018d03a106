#pragma once
// File picker over the desktop's file dialog, with the members of the system's open/save dialog
// wrapper. Flags take the system's OFN_ values; those without a meaning here are kept as given.
#include <QString>
#include <QtGlobal>

class QWidget;

class DlgOpenSave {
 public:
  enum : qint32 {
    OFN_READONLY = 0x1,
    OFN_OVERWRITEPROMPT = 0x2,
    OFN_HIDEREADONLY = 0x4,
    OFN_EXTENSIONDIFFERENT = 0x400,
    OFN_PATHMUSTEXIST = 0x800,
    OFN_FILEMUSTEXIST = 0x1000,
  };
  // The error raised on a cancel when CancelError is set.
  static constexpr qint32 kCancelErrorNumber = 32755;

  qint16 FileExt = 0;        // offset of the extension in FileName (0: none)
  QWidget* hWnd = nullptr;   // owner window
  qint16 MaxFileSize = 260;  // a longer chosen path counts as a failed dialog
  QString InitDir;           // folder shown first; empty: the user's home folder
  qint32 Flags = 0;
  qint32 FilterIndex = 1;  // selected description/pattern pair, from 1
  QString FileTitle;       // chosen file name without folder
  QString FileName;        // initial and chosen full path
  QString DialogTitle;
  QString DefaultExt;  // appended when the user types no extension
  bool CancelError = false;

  // Pairs of description and pattern separated by "|" ("Log Files (*.Log)|*.log").
  QString Filter() const { return filter_; }
  void SetFilter(const QString& filter) { filter_ = filter; }

  // Show the dialog; on a cancel with CancelError set they throw vrl::VrlError 32755.
  void ShowOpen();
  void ShowSave();

  // The dialog's name filters for a "|" filter: "Log Files (*.log)" for each pair.
  static QStringList NameFilters(const QString& filter);

 private:
  void Show(bool save);
  QString filter_ = QStringLiteral("All Files (*.*)|*.*");
};
