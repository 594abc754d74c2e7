#pragma once
// A front end for tests: records what the engine shows and answers its
// questions from a queue (or a default).
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/frontend.h"

namespace tarnwick::test {

class RecordingFrontend : public Frontend {
 public:
  struct Question {
    std::string Text, Caption;
    Buttons Kind;
  };

  void Pump() override {
    ++Pumps;
    if (OnPump) OnPump();
  }
  void ShowDialog(Dialog d) override { Events.push_back(std::string("show ") + Name(d)); }
  void CloseDialog(Dialog d) override { Events.push_back(std::string("close ") + Name(d)); }
  void SetCaption(Dialog d, const std::string& t) override {
    Captions[d] = t;
    CaptionHistory.push_back(t);
  }
  void SetLabel(Dialog d, int label, const std::string& t) override {
    Labels[{d, label}] = t;
    LabelHistory.push_back(t);
  }
  void SetButton(Dialog d, int b, const std::string& t) override { ButtonTexts[{d, b}] = t; }
  void ShowMainWindow(bool v) override { Events.push_back(v ? "main shown" : "main hidden"); }
  Answer Ask(const std::string& text, const std::string& caption, Buttons b) override {
    Questions.push_back({text, caption, b});
    if (OnAsk) OnAsk();
    if (!Answers.empty()) {
      Answer a = Answers.front();
      Answers.pop_front();
      return a;
    }
    return b == Buttons::AbortRetryIgnore ? Answer::Ignore
                                          : (b == Buttons::YesNo ? Answer::No : Answer::Ok);
  }

  std::string Label(Dialog d, int label) const {
    auto it = Labels.find({d, label});
    return it == Labels.end() ? std::string() : it->second;
  }

  int Pumps = 0;
  std::function<void()> OnPump;
  std::function<void()> OnAsk;
  std::deque<Answer> Answers;
  std::vector<Question> Questions;
  std::vector<std::string> Events;
  std::map<Dialog, std::string> Captions;
  std::vector<std::string> CaptionHistory;
  std::map<std::pair<Dialog, int>, std::string> Labels;
  std::vector<std::string> LabelHistory;
  std::map<std::pair<Dialog, int>, std::string> ButtonTexts;

 private:
  static const char* Name(Dialog d) { return d == Dialog::Search ? "search" : "rescue"; }
};

}  // namespace tarnwick::test
