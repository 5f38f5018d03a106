// OAuth sign-in in the profile editor: the security tab's settings (defaults shown, refusals at
// their box, kept on OK), the provider's servers, and the sign-in dialog against a loopback server.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <sys/stat.h>

#include "CfgTransfer.h"
#include "DlgSignIn.h"
#include "FrmConfigPrf.h"
#include "FrmIntMailMoreSettings.h"
#include "Mdl_FicheiroConf.h"
#include "TokenServer.h"

using namespace vrlconf;

namespace {

class UiOAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VORLANE_HOME", home_.path().toUtf8());
    ASSERT_TRUE(CreateProfilesFile());
    ResetAuxValues();
    SetPromptHookForTesting([this](PromptKind, const QString& t) { return said_ << t, true; });
  }
  void TearDown() override {
    SetPromptHookForTesting({});
    SetModalHookForTesting({});
  }
  static void ChooseOAuth(FrmIntMailMoreSettings& d, const char* provider, const QString& clientId = "app") {
    d.cboAuthMethod->setCurrentIndex(4);
    d.cboProvider->setCurrentIndex(d.cboProvider->findData(QString::fromLatin1(provider)));
    d.txtClientId->setText(clientId);
  }

  QTemporaryDir home_;
  QStringList said_;
};

TEST_F(UiOAuth, EmptyBoxesShowTheProvidersDefaults) {
  const QString ms = "https://login.microsoftonline.com/common/oauth2/v2.0/";
  const QString contoso = "https://login.microsoftonline.com/contoso.example/oauth2/v2.0/";
  const struct {
    const char* provider;
    QString tenant;
    QStringList shown;  // tenant, the scopes' last, device, authorization and token addresses
  } rows[] = {
      {"microsoft", "", {"common", "offline_access", ms + "devicecode", ms + "authorize", ms + "token"}},
      {"microsoft", "contoso.example", {"common", "offline_access", contoso + "devicecode", contoso + "authorize", contoso + "token"}},
      {"google", "", {"", "https://mail.google.com/", "", "https://accounts.google.com/o/oauth2/v2/auth", "https://oauth2.googleapis.com/token"}},
      {"custom", "", {"", "", "", "", ""}},
  };
  FrmIntMailMoreSettings d;
  EXPECT_TRUE(d.grpOAuth->isHidden());
  ChooseOAuth(d, "microsoft", " ");
  EXPECT_FALSE(d.grpOAuth->isHidden());
  EXPECT_FALSE(d.cmdSignIn->isEnabled());
  d.txtClientId->setText("app");
  EXPECT_TRUE(d.cmdSignIn->isEnabled());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.provider);
    d.cboProvider->setCurrentIndex(d.cboProvider->findData(QString::fromLatin1(row.provider)));
    d.txtTenant->setText(row.tenant);
    EXPECT_EQ(QStringList({d.txtTenant->placeholderText(), d.txtScopes->placeholderText().section(' ', -1),
                           d.txtDeviceUrl->placeholderText(), d.txtAuthorizeUrl->placeholderText(),
                           d.txtTokenUrl->placeholderText()}), row.shown);
    EXPECT_EQ(d.txtTenant->isEnabled(), row.provider == std::string("microsoft"));
    EXPECT_EQ(d.cmdProviderServers->isEnabled(), row.provider != std::string("custom"));
  }
}

TEST_F(UiOAuth, WhatTheImportRefusesIsRefusedAtItsBox) {
  using D = FrmIntMailMoreSettings;
  const struct {
    const char* provider;
    std::function<void(D&)> change;
    QLineEdit* D::*box;  // null: accepted
    QString message;
  } rows[] = {
      {"microsoft", [](D& d) { d.txtClientId->setText("  "); }, &D::txtClientId,
       "Enter the client ID of the application registered with the provider"},
      {"google", [](D& d) { d.txtTokenUrl->setText("http://example.com/token"); }, &D::txtTokenUrl,
       "Token URL must be an https address (http only to this computer): http://example.com/token"},
      {"custom", [](D& d) { d.txtDeviceUrl->setText("https://example.com/device"); }, &D::txtTokenUrl,
       "Enter the provider's token URL"},
      {"custom", [](D& d) { d.txtTokenUrl->setText("https://example.com/token"); }, &D::txtDeviceUrl,
       "Enter the provider's device authorization URL or authorization URL"},
      {"microsoft", [](D& d) { d.txtScopes->setText("a\nb"); }, &D::txtScopes, "Scopes must be one line of at most 2048 bytes"},
      {"microsoft", [](D& d) { d.txtClientSecret->setText(QString(1025, QChar(0xe9))); }, &D::txtClientSecret,
       "Client secret must be one line of at most 2048 bytes"},
      {"custom", [](D& d) { d.txtTokenUrl->setText("http://127.0.0.1:8080/token"), d.txtAuthorizeUrl->setText("https://a.example"); },
       nullptr, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message.toStdString());
    ResetAuxValues();
    said_.clear();
    FrmIntMailMoreSettings d;
    d.Tabs->setCurrentIndex(0);
    ChooseOAuth(d, row.provider);
    row.change(d);
    d.accept();
    EXPECT_EQ(said_, row.box ? QStringList{row.message} : QStringList());
    EXPECT_EQ(d.result(), row.box ? QDialog::Rejected : QDialog::Accepted);
    EXPECT_EQ(WorkingValues().OAuth.TokenUrl, row.box ? "" : "http://127.0.0.1:8080/token");
    if (row.box) {
      EXPECT_EQ(d.focusWidget(), d.*row.box);
      EXPECT_EQ(d.Tabs->currentIndex(), 1);
    }
  }
}

// An imported profile signing in with OAuth: OK on both windows saves it unchanged; another
// method chosen keeps its sign-in settings too.
TEST_F(UiOAuth, ImportedSettingsComeBackUnchanged) {
  QFile demo(VRL_SOURCE_DIR "/demo/demo-config.json");
  ASSERT_TRUE(demo.open(QIODevice::ReadOnly));
  QJsonObject doc = QJsonDocument::fromJson(demo.readAll().replace("@DEMO@", home_.path().toUtf8())).object();
  QJsonObject orders = doc["profiles"].toArray()[0].toObject();
  const ProfileOAuth oauth{"microsoft", " id ", "s3cret", "contoso", "a b", "https://d.example/", "", "https://t.example/"};
  const std::pair<const char*, QString> fields[] = {
      {"AuthMethod", "oauth2"},        {"Pop3SmtpPws", ""},  // the sign-in stands for the password
      {"OAuthProvider", oauth.Provider}, {"OAuthClientId", oauth.ClientId}, {"OAuthClientSecret", oauth.ClientSecret},
      {"OAuthTenant", oauth.Tenant},     {"OAuthScopes", oauth.Scopes},     {"OAuthDeviceUrl", oauth.DeviceUrl},
      {"OAuthTokenUrl", oauth.TokenUrl}};
  for (const auto& [key, value] : fields) orders[key] = value;
  doc["profiles"] = QJsonArray{orders};
  cfgtransfer::Configuration conf;
  QString error;
  ASSERT_TRUE(cfgtransfer::FromJson(QJsonDocument(doc).toJson(), conf, error)) << error.toStdString();
  ASSERT_TRUE(cfgtransfer::WriteConfiguration(conf, error)) << error.toStdString();
  QDir(home_.path()).mkpath("orders/out");
  ProfileRecord before, after;
  ASSERT_TRUE(ReadProfileRecord(2, before));
  for (int method : {4, 0}) {
    SCOPED_TRACE(method);
    int slot = 2;
    FrmConfigPrf e;
    ASSERT_TRUE(e.EditProfile(slot));
    SetModalHookForTesting([&](QDialog& d) {
      auto& more = dynamic_cast<FrmIntMailMoreSettings&>(d);
      EXPECT_EQ(more.cboAuthMethod->currentIndex(), 4);
      EXPECT_EQ(QStringList({more.txtClientId->text(), more.txtClientSecret->text(), more.txtTenant->text()}),
                QStringList({" id ", "s3cret", "contoso"}));
      more.cboAuthMethod->setCurrentIndex(method);
      more.accept();
      return more.result();
    });
    e.Command3->click();
    said_.clear();
    e.accept();
    ASSERT_EQ(e.result(), QDialog::Accepted) << said_.join(" | ").toStdString();
    EXPECT_EQ(said_.contains("Password is empty. Continue?"), method != 4);
    ASSERT_TRUE(ReadProfileRecord(2, after));
    EXPECT_EQ(conf::ReadProfileOAuth(after), oauth);
    EXPECT_EQ(after == before, method == 4);  // byte for byte, the scrambled secret too
  }
}

TEST_F(UiOAuth, ProviderServersFillTheProfileOnOk) {
  for (bool ok : {false, true}) {
    SCOPED_TRACE(ok);
    FrmConfigPrf e;
    e.AddProfile();
    e.txtPop3Server->setText("pop.example.com");
    SetModalHookForTesting([&](QDialog& d) {
      auto& more = dynamic_cast<FrmIntMailMoreSettings&>(d);
      ChooseOAuth(more, "google");
      more.cmdProviderServers->click();
      EXPECT_EQ(QStringList({more.txtPop3TcpPort->text(), more.txtSmtpTcpPort->text()}), QStringList({"995", "465"}));
      EXPECT_EQ(more.cboSmtpSecurity->currentIndex(), 3);
      ok ? more.accept() : more.reject();
      return more.result();
    });
    e.Command3->click();
    EXPECT_EQ(e.txtPop3Server->text(), ok ? "pop.gmail.com" : "pop.example.com");
    EXPECT_EQ(e.txtSmtpServer->text(), ok ? "smtp.gmail.com" : "");
    const AuxValues& a = WorkingValues();
    EXPECT_EQ(a.Pop3TcpPort, ok ? 995 : 110);
    EXPECT_EQ(a.Security.Pop3Security, ok ? 3 : 0);
    EXPECT_EQ(a.SmtpRequiresLogin, ok);
  }
}

// The sign-in button runs the device grant with the boxes' settings, for the profile's name.
TEST_F(UiOAuth, SignInStoresTheProfilesTokensOrSaysWhyNot) {
  const struct {
    QByteArray poll;
    bool cancel;     // while the code is asked for: the grant stops at its first wait
    QString status;  // empty: the dialog closed
    QString refreshToken;
  } rows[] = {
      {R"({"error":"authorization_pending"})", true, {}, {}},
      {R"({"error":"access_denied","error_description":"no"})", false, "The provider refused the sign-in: access_denied: no", {}},
      {R"({"access_token":"A1","refresh_token":"R1"})", false, "Signed in. The agent keeps the tokens fresh from now on.", "R1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.status.toStdString());
    TokenServer server({{200, R"({"device_code":"D1","user_code":"WXYZ-1234","verification_uri":"https://example.com/d","interval":1})"},
                        {row.poll.contains("error") ? 400 : 200, row.poll}});
    FrmIntMailMoreSettings more;
    more.SetProfileName("Orders");
    ChooseOAuth(more, "custom");
    more.txtDeviceUrl->setText(server.Url().toString());
    more.txtTokenUrl->setText(server.Url().toString());
    int closed = 0;
    QString code, status;
    SetModalHookForTesting([&](QDialog& d) {
      auto& signIn = dynamic_cast<DlgSignIn&>(d);
      if (row.cancel) QTimer::singleShot(0, signIn.buttons->button(QDialogButtonBox::Cancel), &QPushButton::click);
      QObject::connect(&signIn, &QDialog::finished, [&] { ++closed; });
      signIn.Start();
      code = signIn.lblCode->text(), status = signIn.lblStatus->text();
      return signIn.result();
    });
    more.cmdSignIn->click();
    EXPECT_EQ(code, "WXYZ-1234");
    EXPECT_EQ(closed, row.cancel ? 1 : 0);
    EXPECT_EQ(row.cancel ? QString() : status, row.status);
    EXPECT_EQ(server.bodies.size(), row.cancel ? 1 : 2);
    const oauth::TokenStore store(home_.path());
    oauth::StoredTokens tokens;
    ASSERT_TRUE(store.Load("Orders", tokens));
    EXPECT_EQ(tokens.refreshToken, row.refreshToken);
    struct stat st {};
    if (row.refreshToken.isEmpty()) continue;
    ASSERT_EQ(::stat(QFile::encodeName(store.PathFor("Orders")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

}  // namespace
