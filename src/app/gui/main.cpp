// The desktop program: the main window and the two progress dialogs over one
// Session. It takes no arguments.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/branding.h"
#include "app/gui/progress_dialogs.h"
#include "app/gui/qt_frontend.h"
#include "app/gui/tform1.h"
#include "scan/session.h"

namespace {

using namespace tarnwick;
using namespace tarnwick::gui;

// For the documentation's pictures: TARNWICK_SCREENSHOT_DIR names a folder
// that receives PNGs of the main window, collapsed and expanded, and, when
// TARNWICK_SCREENSHOT_IMAGE names an image, of both progress dialogs during
// a rescue of it (the search dialog with its rate) and of the results view
// after it. The program then ends.
class ScreenshotFrontend final : public QtFrontend {
 public:
  explicit ScreenshotFrontend(QString dir) : dir_(std::move(dir)) {}
  // The search dialog is taken once its rate shows (a fast search never shows
  // one, and is then taken as it closes).
  void SetLabel(Dialog d, int label, const std::string& text) override {
    QtFrontend::SetLabel(d, label, text);
    if (d == Dialog::Search && !searchTaken_ && SearchDialog() &&
        !SearchDialog()->Label5->text().isEmpty()) {
      QCoreApplication::processEvents();
      Save(SearchDialog(), "search");
      searchTaken_ = true;
    }
  }
  // A dialog is taken just before it closes, with its last figures.
  void CloseDialog(Dialog d) override {
    QWidget* w = d == Dialog::Search ? static_cast<QWidget*>(SearchDialog()) : RescueDialog();
    if (w && w->isVisible() && !(d == Dialog::Search && searchTaken_)) {
      QCoreApplication::processEvents();
      Save(w, d == Dialog::Search ? "search" : "rescue");
    }
    QtFrontend::CloseDialog(d);
  }
  Answer Ask(const std::string&, const std::string&, Buttons b) override {
    return b == Buttons::AbortRetryIgnore ? Answer::Ignore
                                          : (b == Buttons::YesNo ? Answer::No : Answer::Ok);
  }
  void Save(QWidget* w, const QString& name) { w->grab().save(dir_ + "/" + name + ".png"); }

 private:
  QString dir_;
  bool searchTaken_ = false;
};

int TakeScreenshots(TForm1& form1, ScreenshotFrontend& ui, Session& s) {
  form1.show();
  QCoreApplication::processEvents();
  ui.Save(&form1, "main-collapsed");
  const char* image = std::getenv("TARNWICK_SCREENSHOT_IMAGE");
  if (image && *image) {
    form1.OpenImageFile(image);
    QCoreApplication::processEvents();
  }
  form1.SpeedButton1->click();
  QCoreApplication::processEvents();
  ui.Save(&form1, "main-expanded");
  if (image && *image && s.Source.IsOpen()) {
    std::string out = (std::filesystem::temp_directory_path() / "tarnwick-screenshot-out").string();
    std::filesystem::create_directories(out);
    form1.Edit2->setText(QString::fromStdString(out));
    form1.Button12Click();
    if (form1.Results->isVisible()) {
      QCoreApplication::processEvents();
      ui.Save(form1.Results, "results");
    }
  }
  form1.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setApplicationName("Tarnwick");
  const char* shotDir = std::getenv("TARNWICK_SCREENSHOT_DIR");
  const bool screenshots = shotDir && *shotDir;

  Session session;
  ScreenshotFrontend shotUi(screenshots ? QString::fromLocal8Bit(shotDir) : QString());
  QtFrontend plainUi;
  QtFrontend& ui = screenshots ? shotUi : plainUi;
  const std::string folder = ExecutableFolder();

  TForm1 form1(session, ui, folder);
  TForm2 form2(session.Flags);
  TForm3 form3(session.Flags);
  ui.Attach(&form1, &form2, &form3);
  session.SetFrontend(&ui);
  form1.ApplyTexts();

  StartupResult start = StartupOutcome(folder + kBrandingFileName);
  if (start.Action == StartupAction::ShowSlot34AndExit) {
    QMessageBox::information(nullptr, app.applicationName(),
                             QString::fromStdString(session.Text(34)));
    return 1;
  }
  if (start.Action == StartupAction::DecompressionError) {
    QMessageBox::critical(nullptr, app.applicationName(),
                          QString::fromStdString(start.ErrorMessage));
    return 1;
  }
  form1.SetBranding(start.Branding);
  if (screenshots) return TakeScreenshots(form1, shotUi, session);
  form1.show();
  int rc = app.exec();
  session.SetFrontend(nullptr);
  return rc;
}
