#pragma once
// The configuration window: the global options ("General") and the profile list ("Profiles").
// OK saves the global options and the start-up entry; the list writes profile changes at once.
#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

class FrmMain : public QDialog {
  Q_OBJECT
 public:
  explicit FrmMain(QWidget* parent = nullptr);

  // The help topic of the selected tab.
  QString HelpTopic() const;
  // The numeric value at the start of a text ("12abc" 12, "abc" 0), as the interval box reads it.
  static double Val(const QString& text);

  void done(int result) override;

 private:
  void BuildGeneralPage(QWidget* page);
  void BuildProfilesPage(QWidget* page);
  void LoadGlobalParams();
  bool SaveGlobalParams();
  bool TesteGlobalParams();
  void Carregar_Profiles();
  void RefreshCmdsProfiles();

  void NewMsgEveryToggled(bool on);
  void ExitToggled(bool on);
  void SetLogFileClicked();
  void OkClicked();
  void AddClicked();
  void EditClicked();
  void DeleteClicked();
  void RowChanged(QTreeWidgetItem* item, int column);
  void Warn(const QString& text, QWidget* focus, bool selectAll);

  QTabWidget* tabs_;
  QCheckBox* chkRunAtStartup_;
  QCheckBox* chkHideWhenMinimized_;
  QCheckBox* chkExit_;
  QCheckBox* chkInitAuto_;
  QCheckBox* chkInitMinimized_;
  QCheckBox* chkNewMsgEvery_;
  QLineEdit* txtPrcInterval_;
  QComboBox* cboPrcInterval_;
  QCheckBox* chkShowErrors_;
  QCheckBox* chkUseLogFile_;
  QLineEdit* txtLogFile_;
  QPushButton* cmdSetLogFile_;
  QTreeWidget* lstProfiles_;
  QPushButton* cmdAdd_;
  QPushButton* cmdEdit_;
  QPushButton* cmdDelete_;
  QSpinBox* spnMaxMessageMB_;
  QSpinBox* spnMaxAttachments_;
  QSpinBox* spnLogMaxMB_;
  QLineEdit* txtMetricsFile_;
  QLineEdit* txtClusterDatabase_;
  QSpinBox* spnLeaseSeconds_;
};
