#include "FrmMsgLog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

FrmMsgLog::FrmMsgLog(QListWidget* list, QWidget* parent) : QDialog(parent), list_(list) {
  setObjectName(QStringLiteral("FrmMsgLog"));
  setWindowTitle(QStringLiteral("Log Message"));
  text_ = new QPlainTextEdit(this);
  text_->setObjectName(QStringLiteral("TxtMsgLog"));
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text_->setTabStopDistance(text_->fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 8);
  text_->setAccessibleName(QStringLiteral("Log message"));
  QPalette pal = text_->palette();
  pal.setColor(QPalette::Base, pal.color(QPalette::Button));
  text_->setPalette(pal);

  auto* prev = new QPushButton(QStringLiteral("<< &Previous"), this);
  auto* next = new QPushButton(QStringLiteral("&Next >>"), this);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  prev->setObjectName(QStringLiteral("CmdPrev"));
  next->setObjectName(QStringLiteral("CmdNext"));
  ok->setObjectName(QStringLiteral("Command1"));
  ok->setDefault(true);
  connect(prev, &QPushButton::clicked, this, &FrmMsgLog::CmdPrev);
  connect(next, &QPushButton::clicked, this, &FrmMsgLog::CmdNext);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(prev);
  buttons->addWidget(next);
  buttons->addStretch();
  buttons->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_);
  layout->addLayout(buttons);
  resize(520, 240);
}

void FrmMsgLog::SetText(const QString& msg) { text_->setPlainText(msg); }
QString FrmMsgLog::Text() const { return text_->toPlainText(); }

void FrmMsgLog::ShowMsg(const QString& msg) {
  SetText(msg);
  exec();
}

void FrmMsgLog::CmdPrev() { Step(-1); }
void FrmMsgLog::CmdNext() { Step(+1); }

void FrmMsgLog::Step(int delta) {
  if (list_->count() == 0) return;
  const int row = qBound(0, list_->currentRow() + delta, list_->count() - 1);
  list_->setCurrentRow(row);
  SetText(list_->item(row)->text());
}
