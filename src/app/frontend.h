#pragma once
// The one interface through which the engine talks to a front end: the Qt
// window, the command line, or a test's recorder. The engine builds every text
// itself; a front end only shows texts, asks questions and sets flags.
#include <string>

namespace tarnwick {

// The two progress dialogs: the search/backup dialog and the rescue dialog.
enum class Dialog { Search /* TForm3 */, Rescue /* TForm2 */ };

enum class Buttons { Ok, YesNo, AbortRetryIgnore };
enum class Answer { Ok, Yes, No, Abort, Retry, Ignore };

class Frontend {
 public:
  virtual ~Frontend() = default;
  // Processes pending window messages (or, on the command line, interrupts).
  virtual void Pump() {}
  virtual void ShowDialog(Dialog) {}
  virtual void CloseDialog(Dialog) {}
  virtual void SetCaption(Dialog, const std::string&) {}
  // Label 1..4 of the dialog, as the dialogs number them.
  virtual void SetLabel(Dialog, int /*label*/, const std::string&) {}
  // The dialog's buttons: the search dialog's Cancel (0); the rescue dialog's
  // Stop (0) and Pause (1).
  virtual void SetButton(Dialog, int /*button*/, const std::string&) {}
  virtual void ShowMainWindow(bool /*visible*/) {}
  virtual Answer Ask(const std::string& text, const std::string& caption, Buttons buttons) = 0;
};

// A front end that shows nothing and answers OK / No / Ignore.
class SilentFrontend : public Frontend {
 public:
  Answer Ask(const std::string&, const std::string&, Buttons b) override {
    switch (b) {
      case Buttons::Ok: return Answer::Ok;
      case Buttons::YesNo: return Answer::No;
      case Buttons::AbortRetryIgnore: return Answer::Ignore;
    }
    return Answer::Ok;
  }
};

}  // namespace tarnwick
