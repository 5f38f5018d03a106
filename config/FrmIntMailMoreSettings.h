#pragma once
// Ports, time-out and login options of an internet-mail profile, with the transport security,
// authentication and unattended settings beside them. Edits the profile editor's working values,
// only on OK.
#include <QDialog>
#include <optional>

#include "ProfileOAuth.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace vrlconf {

class FrmIntMailMoreSettings : public QDialog {
  Q_OBJECT
 public:
  explicit FrmIntMailMoreSettings(QWidget* parent = nullptr);

  // The profile's name as the editor holds it: the sign-in keeps the tokens under it.
  void SetProfileName(const QString& name) { profileName_ = name; }
  // The profile fetches by IMAP: the inbound port and security are named for it.
  void SetImap(bool imap);
  // The provider's servers, once "Use the provider's servers" chose them: the editor takes the
  // server names on OK (the ports and security are this dialog's).
  const std::optional<conf::ProviderServers>& ChosenServers() const { return chosenServers_; }

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
  // OAuth 2.0 sign-in, shown with that authentication method.
  QGroupBox* grpOAuth;
  QComboBox* cboProvider;
  QLineEdit* txtTenant;
  QLineEdit* txtClientId;
  QLineEdit* txtClientSecret;
  QLineEdit* txtScopes;
  QLineEdit* txtDeviceUrl;
  QLineEdit* txtAuthorizeUrl;
  QLineEdit* txtTokenUrl;
  QPushButton* cmdProviderServers;
  QPushButton* cmdSignIn;
  QLabel* lblChosenServers;
  // Unattended running.
  QCheckBox* chkRetryTransient;
  QSpinBox* spnRetryHours;
  QCheckBox* chkKeepOnServer;
  QSpinBox* spnKeepDays;

 private:
  void ShowHelp();
  void BuildOAuthGroup();
  ProfileOAuth OAuthInBoxes() const;
  bool TesteOAuth();
  void ShowProviderDefaults();
  void UseProviderServers();
  void SignIn();

  QString profileName_;
  bool imap_ = false;
  QLabel* lblPop3Port = nullptr;
  QLabel* lblPop3Security = nullptr;
  std::optional<conf::ProviderServers> chosenServers_;
};

}  // namespace vrlconf
