#pragma once
// The fixed recipient, subject and text of every message sent from an outbound directory. Edits
// the profile editor's working values, only on OK.
#include <QDialog>

class QLineEdit;
class QPlainTextEdit;

namespace vrlconf {

class FrmOutSendOptions : public QDialog {
  Q_OBJECT
 public:
  explicit FrmOutSendOptions(QWidget* parent = nullptr);

  void LoadTextValues();
  bool TesteParams();
  void accept() override;

  QLineEdit* TxtRecAddress;
  QLineEdit* TxtSubject;
  QPlainTextEdit* TxtMsgText;
};

}  // namespace vrlconf
