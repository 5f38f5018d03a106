#pragma once
// Where the agent finds, inside an outbound information file, the recipient, the attachment, the
// subject and the text. Edits the profile editor's working values, only on OK.
#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace vrlconf {

class FrmInfFileContens : public QDialog {
  Q_OBJECT
 public:
  explicit FrmInfFileContens(QWidget* parent = nullptr);

  void LoadTextValues();
  bool TesteParams();
  void accept() override;

  QLineEdit *TxtAdressLin, *TxtAdress1Sep, *TxtAdress2Sep;
  QLineEdit *TxtFileLin, *TxtFile1Sep, *TxtFile2Sep;
  QCheckBox* ChkDeleteInterchange;
  QComboBox* CboSubjectOptions;
  QLineEdit *TxtSubjectLin, *TxtSubject1Sep, *TxtSubject2Sep;
  QComboBox* CboMsgOptions;
  QLineEdit *TxtMsgLin, *TxtMsg1Sep, *TxtMsg2Sep;

 private:
  void ApplyOption(QComboBox* list);
};

// The numeric value of a box's text as the line boxes read it: leading blanks, a sign, digits
// and a fraction; anything else ends the number ("12abc" is 12, "abc" is 0).
double NumericValue(const QString& text);

}  // namespace vrlconf
