#pragma once
// Signs a profile in with its OAuth provider while the window stays responsive: the code to enter
// on another device (device grant), or the browser window to sign in with. The tokens go into the
// token store of the application folder, under the profile's name.
#include <QDialog>
#include <QElapsedTimer>

#include "oauth/SignIn.h"

class QDialogButtonBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace vrlconf {

class DlgSignIn : public QDialog {
  Q_OBJECT
 public:
  explicit DlgSignIn(oauth::SignInSettings settings, QWidget* parent = nullptr);

  // Runs the sign-in to its end, once; showing the dialog starts it. Cancelled, it closes the
  // dialog; otherwise the dialog says how it ended.
  void Start();
  // While the sign-in runs, asks it to stop; the dialog closes once it has.
  void reject() override;
  bool SignedIn() const { return signedIn_; }

  QLabel* lblMessage;
  QLabel* lblCode;
  QPushButton* cmdCopyCode;
  QPushButton* cmdOpenPage;
  QProgressBar* barExpires;
  QPushButton* cmdBrowser;
  QLabel* lblStatus;
  QDialogButtonBox* buttons;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ShowCode(const oauth::DeviceCode& code);
  void ShowPage(const QUrl& url);
  bool Wait(int secs);
  void ShowCountdown();
  void Finish(const oauth::TokenAnswer& answer);

  oauth::SignInSettings settings_;
  oauth::TokenStore store_;
  bool started_ = false;
  bool running_ = false;
  bool cancelled_ = false;
  bool toBrowser_ = false;
  bool signedIn_ = false;
  QUrl page_;
  QElapsedTimer codeAge_;
  int codeLifetime_ = 0;
  QTimer* countdown_;
};

}  // namespace vrlconf
