#include "app/gui/progress_dialogs.h"

#include <QCloseEvent>

namespace tarnwick::gui {

namespace {

constexpr Qt::WindowFlags kFrame = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

QLabel* MakeLabel(QWidget* parent, int x, int y, int w) {
  auto* l = new QLabel(parent);
  l->setGeometry(x, y, w, 18);
  return l;
}

}  // namespace

TForm2::TForm2(ProgressFlags& flags, QWidget* parent) : QDialog(parent, kFrame), flags_(flags) {
  setObjectName("Form2");
  setFixedSize(400, 150);
  Label1 = MakeLabel(this, 16, 12, 370);
  Label2 = MakeLabel(this, 16, 36, 370);
  Label3 = MakeLabel(this, 16, 60, 370);
  Label4 = MakeLabel(this, 16, 84, 370);
  Button2 = new QPushButton(this);
  Button2->setGeometry(300, 112, 84, 26);
  SpeedButton1 = new QPushButton(this);
  SpeedButton1->setCheckable(true);
  SpeedButton1->setGeometry(208, 112, 84, 26);
  connect(SpeedButton1, &QPushButton::clicked, this, [this] { SpeedButton1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void TForm2::SpeedButton1Click() {
  flags_.RunState = SpeedButton1->isChecked() ? kPaused : kRunning;
}
void TForm2::Button2Click() { flags_.RunState = kStop; }

void TForm2::closeEvent(QCloseEvent* e) {
  if (!flags_.RescueDone)
    e->ignore();
  else
    e->accept();
}
void TForm2::reject() {
  if (flags_.RescueDone) QDialog::reject();
}

TForm3::TForm3(ProgressFlags& flags, QWidget* parent) : QDialog(parent, kFrame), flags_(flags) {
  setObjectName("Form3");
  setFixedSize(400, 150);
  Label1 = MakeLabel(this, 16, 12, 370);
  Label2 = MakeLabel(this, 16, 36, 370);
  Label3 = MakeLabel(this, 16, 60, 370);
  Label4 = MakeLabel(this, 16, 84, 370);
  Label5 = MakeLabel(this, 16, 116, 276);
  Label5->setObjectName("RateLabel");
  Button1 = new QPushButton(this);
  Button1->setGeometry(300, 112, 84, 26);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TForm3::Button1Click() { flags_.SearchCancel = true; }

void TForm3::closeEvent(QCloseEvent* e) {
  if (!flags_.SearchCancel)
    e->ignore();
  else
    e->accept();
}
void TForm3::reject() {
  if (flags_.SearchCancel) QDialog::reject();
}

}  // namespace tarnwick::gui
