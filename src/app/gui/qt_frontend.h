#pragma once
// The window's side of the engine's front-end seam: message pumping, the two
// progress dialogs, the main window's visibility, and every question the
// program asks the user (message boxes, file and folder dialogs, opening a
// link). Tests derive from it and answer the questions themselves.
#include <QElapsedTimer>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <string>

#include "app/frontend.h"
#include "app/progress_rate.h"

namespace tarnwick {
struct Session;
}

namespace tarnwick::gui {

class TForm2;
class TForm3;

class QtFrontend : public Frontend {
 public:
  QtFrontend() = default;
  void Attach(QWidget* mainWindow, TForm2* rescueDialog, TForm3* searchDialog);
  // The Session whose scan range and language the search dialog's rate uses.
  void WatchProgress(const Session* s) { session_ = s; }

  void Pump() override;
  void ShowDialog(Dialog d) override;
  void CloseDialog(Dialog d) override;
  void SetCaption(Dialog d, const std::string& text) override;
  void SetLabel(Dialog d, int label, const std::string& text) override;
  void SetButton(Dialog d, int button, const std::string& text) override;
  void ShowMainWindow(bool visible) override;
  Answer Ask(const std::string& text, const std::string& caption, Buttons buttons) override;

  // The file dialogs and the folder browser: an empty text when cancelled.
  virtual QString ChooseImageToOpen(QWidget* parent);
  virtual QString ChooseImageToSave(QWidget* parent);
  virtual QString ChooseFolder(QWidget* parent, const QString& start);
  // The shell's "open" of a folder or an address; failures are ignored.
  virtual void OpenUrl(const QUrl& url);

  TForm2* RescueDialog() const { return rescue_; }
  TForm3* SearchDialog() const { return search_; }

 private:
  QWidget* main_ = nullptr;
  TForm2* rescue_ = nullptr;
  TForm3* search_ = nullptr;
  void RestartRate();
  const Session* session_ = nullptr;
  ProgressRate rate_;
  QElapsedTimer clock_;
};

}  // namespace tarnwick::gui
