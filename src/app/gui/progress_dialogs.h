#pragma once
// The two progress dialogs. Their buttons only set the flags that the long
// loops read; each refuses to close while its operation runs.
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "app/flags.h"

namespace tarnwick::gui {

// The rescue dialog: success count, progress, Stop, Pause, sector, Source.
class TForm2 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm2(ProgressFlags& flags, QWidget* parent = nullptr);
  QLabel* Label1;
  QLabel* Label2;
  QPushButton* Button2;       // Stop
  QPushButton* SpeedButton1;  // Pause (a toggle)
  QLabel* Label3;
  QLabel* Label4;
  void SpeedButton1Click();
  void Button2Click();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  ProgressFlags& flags_;
};

// The search/backup dialog: sector, percent, Cancel, found or error count,
// Source, and the rate with the time left.
class TForm3 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm3(ProgressFlags& flags, QWidget* parent = nullptr);
  QLabel* Label1;
  QLabel* Label2;
  QPushButton* Button1;  // Cancel
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;  // "12.3 MB/s, 0:42 left"
  void Button1Click();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  ProgressFlags& flags_;
};

}  // namespace tarnwick::gui
