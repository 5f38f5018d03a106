#pragma once
// Ports, time-out and login options of an internet-mail profile, with the transport security,
// authentication and unattended settings beside them. Edits the profile editor's working values,
// only on OK.
#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace vrlconf {

class FrmIntMailMoreSettings : public QDialog {
  Q_OBJECT
 public:
  explicit FrmIntMailMoreSettings(QWidget* parent = nullptr);

  void LoadTextValues();
  bool TesteParams();
  void accept() override;

  QTabWidget* Tabs;
  QLineEdit* txtPop3TcpPort;
  QLineEdit* txtSmtpTcpPort;
  QPushButton* CmdDefTcpPorts;
  QLineEdit* TxtServerTimeOut;
  QCheckBox* ckSmtpLogin;
  QCheckBox* ckPop3Login;
  // Transport security and authentication.
  QComboBox* cboSmtpSecurity;
  QComboBox* cboPop3Security;
  QCheckBox* chkVerifyCertificate;
  QLineEdit* txtCaFile;
  QLineEdit* txtCertFingerprint;
  QComboBox* cboAuthMethod;
  QLineEdit* txtPasswordCommand;
  // Unattended running.
  QCheckBox* chkRetryTransient;
  QSpinBox* spnRetryHours;
  QCheckBox* chkKeepOnServer;
  QSpinBox* spnKeepDays;

 private:
  void ShowHelp();
};

}  // namespace vrlconf
