#pragma once
// One line of the temporary log in full. It steps through the console's list itself: the line
// shown is always the list's selected item.
#include <QDialog>

class QListWidget;
class QPlainTextEdit;

class FrmMsgLog : public QDialog {
  Q_OBJECT
 public:
  FrmMsgLog(QListWidget* list, QWidget* parent);
  // Shows msg; modal until closed.
  void ShowMsg(const QString& msg);
  // Puts msg in the text without showing the window.
  void SetText(const QString& msg);
  QString Text() const;
  void CmdPrev();
  void CmdNext();

 private:
  void Step(int delta);
  QListWidget* list_;
  QPlainTextEdit* text_;
};
