#include "FrmInfFileContens.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QVBoxLayout>
#include <cmath>

#include "BuddyLabels.h"
#include "FrmConfigPrf.h"
#include "HelpTopic.h"

namespace vrlconf {

double NumericValue(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t'))) ++i;
  const qsizetype start = i;
  if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) ++i;
  while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128) ++i;
  if (i < text.size() && text[i] == QLatin1Char('.')) {
    ++i;
    while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128) ++i;
  }
  bool ok = false;
  const double v = text.mid(start, i - start).toDouble(&ok);
  return ok ? v : 0.0;
}

namespace {

QLineEdit* NewBox(const QString& accessible, int width) {
  auto* e = new QLineEdit;
  e->setAccessibleName(accessible);
  e->setMinimumWidth(width);
  return e;
}

// A line box and its two separators in one row, each behind its caption.
void AddLineRow(QGridLayout* g, int row, const QString& caption, QLineEdit* line, QLineEdit* sep1, QLineEdit* sep2) {
  line->setToolTip(QStringLiteral("The number of the line of the information file that holds the value."));
  sep1->setToolTip(QStringLiteral("The text in front of the value on its line."));
  sep2->setToolTip(QStringLiteral("The text behind the value on its line."));
  g->addWidget(BuddyLabel(caption, line), row, 0);
  g->addWidget(line, row, 1);
  g->addWidget(BuddyLabel(QStringLiteral("Between:"), sep1), row, 2);
  g->addWidget(sep1, row, 3);
  g->addWidget(BuddyLabel(QStringLiteral("And"), sep2), row, 4);
  g->addWidget(sep2, row, 5);
}

QComboBox* OptionList(const QString& accessible) {
  auto* c = new QComboBox;
  c->addItems({QString(), QStringLiteral("Attachment File Name With Extension"),
               QStringLiteral("Attachment File Name Without Extension")});
  c->setAccessibleName(accessible);
  c->setToolTip(QStringLiteral("Empty: the value comes from a line of the information file."));
  return c;
}

// Line boxes hold 16-bit numbers; 0 means no line.
bool LineValue(QLineEdit* box, qint16* out) {
  const double v = std::round(NumericValue(box->text()));
  if (v == 0 || v < -32768 || v > 32767) return false;
  if (out) *out = static_cast<qint16>(v);
  return true;
}

bool CheckLine(QLineEdit* line, QLineEdit* sep1, QLineEdit* sep2) {
  if (!LineValue(line, nullptr)) {
    FailOn(line, QStringLiteral("Invalid line number"));
    return false;
  }
  for (QLineEdit* s : {sep1, sep2}) {
    if (s->text().isEmpty()) {
      FailOn(s, QStringLiteral("Invalid separator"));
      return false;
    }
  }
  return true;
}

}  // namespace

FrmInfFileContens::FrmInfFileContens(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FrmInfFileContens"));
  setWindowTitle(QStringLiteral("Information Files Contents"));
  auto* v = new QVBoxLayout(this);
  const int lw = fontMetrics().horizontalAdvance(QLatin1Char('9')) * 7;
  const int sw = lw * 2;
  auto group = [&](const QString& title) {
    auto* box = new QGroupBox(title);
    v->addWidget(box);
    return new QGridLayout(box);
  };

  QGridLayout* g = group(QStringLiteral("Recipient Address"));
  TxtAdressLin = NewBox(QStringLiteral("Recipient address line"), lw);
  TxtAdress1Sep = NewBox(QStringLiteral("Recipient address first separator"), sw);
  TxtAdress2Sep = NewBox(QStringLiteral("Recipient address second separator"), sw);
  AddLineRow(g, 0, QStringLiteral("&Line Nº :"), TxtAdressLin, TxtAdress1Sep, TxtAdress2Sep);

  g = group(QStringLiteral("Attachment File path"));
  TxtFileLin = NewBox(QStringLiteral("Attachment file line"), lw);
  TxtFile1Sep = NewBox(QStringLiteral("Attachment file first separator"), sw);
  TxtFile2Sep = NewBox(QStringLiteral("Attachment file second separator"), sw);
  AddLineRow(g, 0, QStringLiteral("Lin&e Nº :"), TxtFileLin, TxtFile1Sep, TxtFile2Sep);
  ChkDeleteInterchange = new QCheckBox(QStringLiteral("&Delete Attachment File After Message Processing"));
  g->addWidget(ChkDeleteInterchange, 1, 0, 1, 6);

  // A value that comes from a line, or, chosen in the list above it, from the attachment's name.
  auto optionalLine = [&](const QString& title, const QString& what, const QString& caption, QComboBox*& list,
                          QLineEdit*& line, QLineEdit*& sep1, QLineEdit*& sep2) {
    QGridLayout* grid = group(title);
    list = OptionList(what + QStringLiteral(" source"));
    grid->addWidget(list, 0, 0, 1, 6);
    line = NewBox(what + QStringLiteral(" line"), lw);
    sep1 = NewBox(what + QStringLiteral(" first separator"), sw);
    sep2 = NewBox(what + QStringLiteral(" second separator"), sw);
    AddLineRow(grid, 1, caption, line, sep1, sep2);
    const QList<QWidget*> fromLine{line, sep1, sep2};
    connect(list, &QComboBox::currentIndexChanged, this, [fromLine](int i) {
      for (QWidget* w : fromLine) w->setEnabled(i == 0);
    });
  };
  optionalLine(QStringLiteral("Subject"), QStringLiteral("Subject"), QStringLiteral("L&ine Nº :"), CboSubjectOptions,
               TxtSubjectLin, TxtSubject1Sep, TxtSubject2Sep);
  optionalLine(QStringLiteral("Message Text"), QStringLiteral("Message text"), QStringLiteral("Li&ne Nº :"),
               CboMsgOptions, TxtMsgLin, TxtMsg1Sep, TxtMsg2Sep);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help);
  connect(buttons, &QDialogButtonBox::accepted, this, &FrmInfFileContens::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &FrmInfFileContens::reject);
  auto help = [this] { ShowHelpTopic(this, QStringLiteral("Html/ConteudoFileInf")); };
  connect(buttons, &QDialogButtonBox::helpRequested, this, help);
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated, this, help);
  v->addWidget(buttons);
  LoadTextValues();
}

void FrmInfFileContens::LoadTextValues() {
  const AuxValues& a = WorkingValues();
  const auto number = [](qint16 n) { return n != 0 ? QString::number(n) : QString(); };
  TxtAdressLin->setText(number(a.AdressLin));
  TxtAdress1Sep->setText(a.Adress1Sep);
  TxtAdress2Sep->setText(a.Adress2Sep);
  TxtFileLin->setText(number(a.FileLin));
  TxtFile1Sep->setText(a.File1Sep);
  TxtFile2Sep->setText(a.File2Sep);
  ChkDeleteInterchange->setChecked(a.DeleteInterchange);
  const auto load = [](qint16 lin, const QString& s1, const QString& s2, QComboBox* list, QLineEdit* line,
                       QLineEdit* sep1, QLineEdit* sep2) {
    list->setCurrentIndex(lin == -1 ? 1 : lin == -2 ? 2 : 0);
    if (lin >= 1) {
      line->setText(QString::number(lin));
      sep1->setText(s1);
      sep2->setText(s2);
    }
  };
  load(a.SubjectLin, a.Subject1Sep, a.Subject2Sep, CboSubjectOptions, TxtSubjectLin, TxtSubject1Sep, TxtSubject2Sep);
  load(a.MsgLin, a.Msg1Sep, a.Msg2Sep, CboMsgOptions, TxtMsgLin, TxtMsg1Sep, TxtMsg2Sep);
}

bool FrmInfFileContens::TesteParams() {
  if (!CheckLine(TxtAdressLin, TxtAdress1Sep, TxtAdress2Sep)) return false;
  if (CboSubjectOptions->currentIndex() == 0 && !CheckLine(TxtSubjectLin, TxtSubject1Sep, TxtSubject2Sep)) return false;
  if (CboMsgOptions->currentIndex() == 0 && !CheckLine(TxtMsgLin, TxtMsg1Sep, TxtMsg2Sep)) return false;
  const bool noAttachment = TxtFileLin->text().isEmpty() && TxtFile1Sep->text().isEmpty() && TxtFile2Sep->text().isEmpty();
  return noAttachment || CheckLine(TxtFileLin, TxtFile1Sep, TxtFile2Sep);
}

void FrmInfFileContens::accept() {
  if (!TesteParams()) return;
  AuxValues& a = WorkingValues();
  const auto value = [](QLineEdit* box) {
    qint16 v = 0;
    LineValue(box, &v);
    return v;
  };
  a.AdressLin = value(TxtAdressLin);
  a.Adress1Sep = TxtAdress1Sep->text();
  a.Adress2Sep = TxtAdress2Sep->text();
  a.FileLin = value(TxtFileLin);
  a.File1Sep = TxtFile1Sep->text();
  a.File2Sep = TxtFile2Sep->text();
  const auto store = [&](QComboBox* list, QLineEdit* line, QLineEdit* sep1, QLineEdit* sep2, qint16& lin, QString& s1,
                         QString& s2) {
    const int i = list->currentIndex();
    lin = i == 0 ? value(line) : static_cast<qint16>(-i);
    s1 = i == 0 ? sep1->text() : QString();
    s2 = i == 0 ? sep2->text() : QString();
  };
  store(CboSubjectOptions, TxtSubjectLin, TxtSubject1Sep, TxtSubject2Sep, a.SubjectLin, a.Subject1Sep, a.Subject2Sep);
  store(CboMsgOptions, TxtMsgLin, TxtMsg1Sep, TxtMsg2Sep, a.MsgLin, a.Msg1Sep, a.Msg2Sep);
  a.DeleteInterchange = ChkDeleteInterchange->isChecked();
  QDialog::accept();
}

}  // namespace vrlconf
