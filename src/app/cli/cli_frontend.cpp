#include "app/cli/cli_frontend.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "scan/session.h"

namespace tarnwick::cli {

namespace {

volatile std::sig_atomic_t g_interrupts = 0;

#ifdef _WIN32
// Ctrl-C and Ctrl-Break arrive on a thread of their own; the handler counts
// them as SIGINT does on Linux and tells the system that they were handled.
BOOL WINAPI OnConsoleInterrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  g_interrupts = g_interrupts + 1;
  return TRUE;
}
bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }
#else
extern "C" void OnInterrupt(int) { g_interrupts = g_interrupts + 1; }
bool IsTerminal(FILE* stream) { return ::isatty(::fileno(stream)) != 0; }
#endif

// Texts from the tables may hold CR LF; a terminal line wants plain spaces.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

}  // namespace

CliFrontend::CliFrontend(Session& s, Answer saveAnswer)
    : s_(s), saveAnswer_(saveAnswer), terminal_(IsTerminal(stderr)) {}

CliFrontend::~CliFrontend() { EndLine(); }

void CliFrontend::CatchInterrupts() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleInterrupt, TRUE);
#else
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
#endif
}

void CliFrontend::Pump() {
  if (g_interrupts > 0) {
    g_interrupts = 0;
    // Phase 2 stops after the current carve; phase 1 and the free-space
    // collection are cancelled.
    if (Of(Dialog::Rescue).shown) {
      s_.Flags.RunState = kStop;
    } else if (Of(Dialog::Search).shown) {
      s_.Flags.SearchCancel = true;
    }
  }
  Draw(false);
}

void CliFrontend::RestartRate() {
  const uint64_t first = s_.FirstScanSector >= 0 ? static_cast<uint64_t>(s_.FirstScanSector) : 0;
  const uint64_t last =
      s_.LastScanSector >= 0 ? static_cast<uint64_t>(s_.LastScanSector) : s_.Scan.LastSector;
  rate_.Restart(first, last, s_.Scan.BytesPerSector);
}

void CliFrontend::ShowDialog(Dialog d) {
  if (d == Dialog::Search) RestartRate();
  Of(d).shown = true;
  Draw(true);
}

void CliFrontend::CloseDialog(Dialog d) {
  Draw(true);
  Of(d).shown = false;
  EndLine();
}

void CliFrontend::SetCaption(Dialog d, const std::string& text) {
  bool changed = Of(d).caption != text;
  Of(d).caption = text;
  if (changed && d == Dialog::Search) RestartRate();
  if (changed && Of(d).shown) Draw(true);
}

void CliFrontend::SetLabel(Dialog d, int label, const std::string& text) {
  if (label >= 1 && label <= 4) Of(d).labels[static_cast<size_t>(label)] = text;
  if (d == Dialog::Search && label == 1) {
    if (auto sector = TrailingNumber(text)) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - started_);
      rate_.At(*sector, static_cast<uint64_t>(ms.count()));
    }
  }
}

std::string CliFrontend::Line(const DialogText& d) const {
  std::string line = d.caption;
  // Label 4 names the Source; it stays the same for the whole operation.
  for (int i : {1, 2, 3}) {
    const std::string& label = d.labels[static_cast<size_t>(i)];
    if (label.empty()) continue;
    line += line.empty() ? "" : "  ";
    line += label;
  }
  if (&d == &dialogs_[0]) {
    const std::string rate = rate_.Text(s_.Texts->language);
    if (!rate.empty()) line += "  " + rate;
  }
  return OneLine(line);
}

void CliFrontend::Draw(bool force) {
  const DialogText* shown = nullptr;
  if (Of(Dialog::Rescue).shown)
    shown = &Of(Dialog::Rescue);
  else if (Of(Dialog::Search).shown)
    shown = &Of(Dialog::Search);
  if (!shown) return;
  std::string line = Line(*shown);
  if (line == lastDrawn_) return;
  auto now = std::chrono::steady_clock::now();
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    lineOpen_ = true;
  } else {
    if (!force && now - lastPlain_ < std::chrono::seconds(1)) return;
    std::fprintf(stderr, "%s\n", line.c_str());
    lastPlain_ = now;
  }
  std::fflush(stderr);
  lastDrawn_ = line;
}

void CliFrontend::EndLine() {
  if (lineOpen_) {
    std::fputc('\n', stderr);
    lineOpen_ = false;
  }
  lastDrawn_.clear();
}

Answer CliFrontend::UnattendedSaveAnswer(const std::string& text) {
  if (saveAnswer_ != Answer::Retry) return saveAnswer_;
  retries_ = text == retriedText_ ? retries_ + 1 : 1;
  retriedText_ = text;
  if (retries_ > kMaxUnattendedRetries) {
    std::fprintf(stderr, "Still failing after %d tries: this file is given up.\n",
                 kMaxUnattendedRetries);
    retries_ = 0;
    retriedText_.clear();
    return Answer::Ignore;
  }
  // A moment for whatever filled the disk to let go.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return Answer::Retry;
}

Answer CliFrontend::Ask(const std::string& text, const std::string& caption, Buttons buttons) {
  EndLine();
  std::fprintf(stderr, "%s: %s\n", OneLine(caption).c_str(), OneLine(text).c_str());
  const bool ask = IsTerminal(stdin);
  switch (buttons) {
    case Buttons::Ok: return Answer::Ok;
    case Buttons::YesNo: {
      if (!ask) return Answer::No;
      std::fprintf(stderr, "[y/n] ");
      std::string reply;
      std::getline(std::cin, reply);
      return !reply.empty() && (reply[0] == 'y' || reply[0] == 'Y') ? Answer::Yes : Answer::No;
    }
    case Buttons::AbortRetryIgnore: {
      if (!s_.SaveError.empty()) std::fprintf(stderr, "(%s)\n", s_.SaveError.c_str());
      if (!ask) return UnattendedSaveAnswer(text);
      while (true) {
        std::fprintf(stderr, "Abort, Retry or Ignore? [a/r/i] ");
        std::string reply;
        if (!std::getline(std::cin, reply)) return Answer::Abort;
        if (reply.empty()) continue;
        switch (reply[0]) {
          case 'a':
          case 'A': return Answer::Abort;
          case 'r':
          case 'R': return Answer::Retry;
          case 'i':
          case 'I': return Answer::Ignore;
          default: break;
        }
      }
    }
  }
  return Answer::Ok;
}

}  // namespace tarnwick::cli
