#pragma once
// The command line's front end: progress on stderr (one refreshed line on a
// terminal, plain lines otherwise), questions on the terminal or answered by
// a fixed choice, and Ctrl-C as the dialogs' Cancel and Stop.
#include <array>
#include <chrono>
#include <string>

#include "app/frontend.h"
#include "app/progress_rate.h"

namespace tarnwick {
struct Session;
}

namespace tarnwick::cli {

class CliFrontend final : public Frontend {
 public:
  // saveAnswer: how a failed save is answered when stdin is not a terminal.
  CliFrontend(Session& s, Answer saveAnswer);
  ~CliFrontend() override;

  void Pump() override;
  void ShowDialog(Dialog d) override;
  void CloseDialog(Dialog d) override;
  void SetCaption(Dialog d, const std::string& text) override;
  void SetLabel(Dialog d, int label, const std::string& text) override;
  Answer Ask(const std::string& text, const std::string& caption, Buttons buttons) override;

  // Installs the Ctrl-C handler for the duration of a long operation.
  static void CatchInterrupts();

  // Without a terminal, "retry" tries one failed save this often, then gives it up.
  static constexpr int kMaxUnattendedRetries = 5;

 private:
  struct DialogText {
    std::string caption;
    std::array<std::string, 5> labels;
    bool shown = false;
  };
  DialogText& Of(Dialog d) { return dialogs_[d == Dialog::Search ? 0 : 1]; }
  std::string Line(const DialogText& d) const;
  void Draw(bool force);
  void EndLine();
  void RestartRate();
  Answer UnattendedSaveAnswer(const std::string& text);

  Session& s_;
  Answer saveAnswer_;
  bool terminal_;
  std::array<DialogText, 2> dialogs_;
  std::string lastDrawn_;
  std::chrono::steady_clock::time_point lastPlain_{};
  bool lineOpen_ = false;
  // The search dialog's rate and time left, from its sector label.
  ProgressRate rate_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  // Retries given without a terminal to one failed save, which ends them.
  std::string retriedText_;
  int retries_ = 0;
};

}  // namespace tarnwick::cli
