#include "app/gui/qt_frontend.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

#include "app/gui/progress_dialogs.h"
#include "scan/session.h"

namespace tarnwick::gui {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

void QtFrontend::Attach(QWidget* mainWindow, TForm2* rescueDialog, TForm3* searchDialog) {
  main_ = mainWindow;
  rescue_ = rescueDialog;
  search_ = searchDialog;
}

void QtFrontend::Pump() { QCoreApplication::processEvents(); }

void QtFrontend::RestartRate() {
  if (!clock_.isValid()) clock_.start();
  if (search_) search_->Label5->clear();
  if (!session_) return;
  const Session& s = *session_;
  const uint64_t first = s.FirstScanSector >= 0 ? static_cast<uint64_t>(s.FirstScanSector) : 0;
  const uint64_t last =
      s.LastScanSector >= 0 ? static_cast<uint64_t>(s.LastScanSector) : s.Scan.LastSector;
  rate_.Restart(first, last, s.Scan.BytesPerSector);
}

void QtFrontend::ShowDialog(Dialog d) {
  QDialog* w = d == Dialog::Search ? static_cast<QDialog*>(search_) : rescue_;
  if (!w) return;
  if (d == Dialog::Search) RestartRate();
  if (d == Dialog::Rescue && rescue_) rescue_->SpeedButton1->setChecked(false);
  if (main_) w->setFont(main_->font());
  w->show();
  w->raise();
  QCoreApplication::processEvents();
}

void QtFrontend::CloseDialog(Dialog d) {
  QDialog* w = d == Dialog::Search ? static_cast<QDialog*>(search_) : rescue_;
  if (w) w->close();
}

void QtFrontend::SetCaption(Dialog d, const std::string& text) {
  QDialog* w = d == Dialog::Search ? static_cast<QDialog*>(search_) : rescue_;
  if (!w) return;
  if (d == Dialog::Search && w->windowTitle() != Q(text)) RestartRate();
  w->setWindowTitle(Q(text));
}

void QtFrontend::SetLabel(Dialog d, int label, const std::string& text) {
  QLabel* l = nullptr;
  if (d == Dialog::Search && search_) {
    QLabel* labels[] = {search_->Label1, search_->Label2, search_->Label3, search_->Label4};
    if (label >= 1 && label <= 4) l = labels[label - 1];
  } else if (d == Dialog::Rescue && rescue_) {
    QLabel* labels[] = {rescue_->Label1, rescue_->Label2, rescue_->Label3, rescue_->Label4};
    if (label >= 1 && label <= 4) l = labels[label - 1];
  }
  if (l) l->setText(Q(text));
  if (d == Dialog::Search && label == 1 && search_ && session_) {
    if (auto sector = TrailingNumber(text)) {
      if (!clock_.isValid()) clock_.start();
      rate_.At(*sector, static_cast<uint64_t>(clock_.elapsed()));
      search_->Label5->setText(Q(rate_.Text(session_->Texts->language)));
    }
  }
}

void QtFrontend::SetButton(Dialog d, int button, const std::string& text) {
  if (d == Dialog::Search && search_ && button == 0) search_->Button1->setText(Q(text));
  if (d == Dialog::Rescue && rescue_) {
    if (button == 0) rescue_->Button2->setText(Q(text));
    if (button == 1) rescue_->SpeedButton1->setText(Q(text));
  }
}

void QtFrontend::ShowMainWindow(bool visible) {
  if (main_) main_->setVisible(visible);
}

Answer QtFrontend::Ask(const std::string& text, const std::string& caption, Buttons buttons) {
  QWidget* parent = main_ && main_->isVisible() ? main_ : nullptr;
  switch (buttons) {
    case Buttons::Ok: QMessageBox::information(parent, Q(caption), Q(text)); return Answer::Ok;
    case Buttons::YesNo:
      return QMessageBox::question(parent, Q(caption), Q(text),
                                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes
                 ? Answer::Yes
                 : Answer::No;
    case Buttons::AbortRetryIgnore: {
      auto b = QMessageBox::warning(parent, Q(caption), Q(text),
                                    QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
      if (b == QMessageBox::Retry) return Answer::Retry;
      if (b == QMessageBox::Ignore) return Answer::Ignore;
      return Answer::Abort;
    }
  }
  return Answer::Ok;
}

QString QtFrontend::ChooseImageToOpen(QWidget* parent) {
  return QFileDialog::getOpenFileName(parent, QString(), QString(),
                                      QString::fromUtf8("磁盘映像文件(*.img);;所有文件(*.*)"));
}

QString QtFrontend::ChooseImageToSave(QWidget* parent) {
  QFileDialog dlg(parent);
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  dlg.setDefaultSuffix("img");
  dlg.setNameFilter(QString::fromUtf8("磁盘映像文件(*.img)"));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return {};
  return dlg.selectedFiles().first();
}

QString QtFrontend::ChooseFolder(QWidget* parent, const QString& start) {
  QString from = start;
  if (from.size() > 3 && from.endsWith('/')) from.chop(1);
  return QFileDialog::getExistingDirectory(parent, QString::fromUtf8("恢复文件保存到"), from,
                                           QFileDialog::ShowDirsOnly);
}

void QtFrontend::OpenUrl(const QUrl& url) { QDesktopServices::openUrl(url); }

}  // namespace tarnwick::gui
