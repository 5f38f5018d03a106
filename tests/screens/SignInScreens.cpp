// The sign-in dialog against a loopback token server: the code to enter (with and without the
// provider's own text), signed in, and refused.
#include "Screens.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "DlgSignIn.h"
#include "TokenServer.h"

namespace {

void Grab(QWidget& w, const QString& file) {
  w.adjustSize();
  QApplication::processEvents();
  w.grab().save(file);
}

oauth::SignInSettings Settings(const TokenServer& server) {
  oauth::SignInSettings s;
  s.profile = QStringLiteral("Orders");
  s.deviceUrl = s.tokenUrl = server.Url();
  s.authorizeUrl = QUrl(QStringLiteral("https://login.example.com/authorize"));
  s.clientId = QStringLiteral("app");
  return s;
}

// The dialog while it waits for the code to be entered; then cancelled.
void WhileWaiting(const QByteArray& code, const QString& file) {
  TokenServer server({{200, code}, {400, R"({"error":"authorization_pending"})"}});
  vrlconf::DlgSignIn d(Settings(server));
  d.show();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &d, [&] {
    if (!d.lblCode->isVisible()) return;
    poll.stop();
    Grab(d, file);
    d.reject();
  });
  poll.start(50);
  d.Start();
}

const vrlscreens::Register kSignIn(QStringLiteral("DlgSignIn"), [](const QString& out) {
  const QByteArray code = R"({"device_code":"D1","user_code":"WXYZ-1234","verification_uri":"https://microsoft.com/devicelogin",
                              "interval":1,"expires_in":900)";
  WhileWaiting(code + "}", out + QStringLiteral("/DlgSignIn-code.png"));
  WhileWaiting(code + R"(,"message":"To sign in, use a web browser to open the page https://microsoft.com/devicelogin and enter the code WXYZ-1234 to authenticate."})",
               out + QStringLiteral("/DlgSignIn-code-message.png"));
  const std::pair<QByteArray, const char*> endings[] = {
      {R"({"access_token":"A","refresh_token":"R","expires_in":3600})", "signed-in"},
      {R"({"error":"access_denied","error_description":"The user declined the sign-in."})", "refused"}};
  for (const auto& [answer, name] : endings) {
    TokenServer server({{200, code + "}"}, {answer.contains("error") ? 400 : 200, answer}});
    vrlconf::DlgSignIn d(Settings(server));
    d.show();
    d.Start();
    Grab(d, out + QStringLiteral("/DlgSignIn-%1.png").arg(QLatin1String(name)));
  }
});

}  // namespace
