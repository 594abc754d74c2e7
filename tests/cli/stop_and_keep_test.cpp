// Two rescues into one folder keep every file of both; a rescue cut short by
// Ctrl-C says where it stopped and exits 130.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "cli/cli_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// What python3 makes of a report: `expression` evaluated with the report as r.
std::string FromReport(const fs::path& report, const std::string& expression) {
  auto r = test::Run(
      test::Python() + " -c " +
      ShellQuote("import json,sys; r=json.load(open(sys.argv[1])); print(" + expression + ")") +
      " " + ShellQuote(report.string()));
  EXPECT_EQ(r.Status, 0) << r.Err;
  return r.Out.substr(0, r.Out.find_last_not_of('\n') + 1);
}

struct Ended {
  int Status = -1;  // exit status; -1 when ended by a signal
  std::string Out, Err;
  bool Pressed = false;
};

// The write(2) on stderr that the process waits in, as "address length";
// empty when it waits in nothing else or runs.
bool WaitingToWriteStderr(pid_t pid, uint64_t& address, uint64_t& length) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  std::string number, fd, a, n;
  if (!(in >> number >> fd >> a >> n) || number != "1" || fd != "0x2") return false;
  address = std::stoull(a, nullptr, 16);
  length = std::stoull(n, nullptr, 16);
  return true;
}

bool CatchesCtrlC(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) & 2) != 0;
  }
  return false;
}

// Runs tarnwick-cli with stderr on a pipe that holds one write at a time
// (a packet pipe of one page, kept full), so that the program waits at each
// line it writes until the test has taken the one before. Once the program
// catches Ctrl-C, pressAt sees each line it waits to write and says whether
// to press Ctrl-C there: the key then lands at a known point of the run,
// however fast the machine.
Ended RunPressingCtrlC(const std::vector<std::string>& args, const fs::path& stdoutFile,
                       const std::function<bool(const std::string&)>& pressAt) {
  Ended e;
  int p[2];
  if (::pipe2(p, O_DIRECT | O_CLOEXEC) != 0) return e;
  ::fcntl(p[1], F_SETPIPE_SZ, 4096);
  if (::write(p[1], "\n", 1) != 1) return e;  // the one place is taken
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("TARNWICK_LANG", "en", 1);
    ::dup2(p[1], STDERR_FILENO);
    if (!std::freopen(stdoutFile.c_str(), "w", stdout)) ::_exit(126);
    std::vector<char*> argv{const_cast<char*>(TARNWICK_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TARNWICK_CLI, argv.data());
    ::_exit(127);
  }
  ::close(p[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<char> packet(4096);
  auto take = [&] {
    ssize_t n = ::read(p[0], packet.data(), packet.size());
    if (n > 0) e.Err.append(packet.data(), static_cast<size_t>(n));
    return n > 0;
  };
  int status = 0;
  bool exited = false;
  while (!exited) {
    uint64_t address = 0, length = 0;
    while (!WaitingToWriteStderr(pid, address, length)) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "tarnwick-cli did not end";
        return e;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (exited) break;
    if (!e.Pressed && CatchesCtrlC(pid)) {
      std::string line(length, '\0');
      const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
      const bool read =
          mem >= 0 && ::pread(mem, line.data(), length, static_cast<off_t>(address)) ==
                          static_cast<ssize_t>(length);
      if (mem >= 0) ::close(mem);
      if (read && pressAt(line)) {
        ::kill(pid, SIGINT);
        e.Pressed = true;
      }
    }
    if (!take()) break;
  }
  while (take()) {
  }
  ::close(p[0]);
  if (!exited) ::waitpid(pid, &status, 0);
  e.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  e.Out = ReadText(stdoutFile);
  return e;
}

class StopAndKeep : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "gsf"})
      if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  // A FAT16 image from which one database (or two) made from seed was deleted.
  fs::path Image(const std::string& name, uint32_t seed, int databases = 1) {
    std::vector<fs::path> files;
    for (int k = 0; k < databases; ++k) {
      const std::string db = "MSG" + std::to_string(k) + ".DB";
      files.push_back(test::MakeCompound(tmp_ / (name + "-db"), db,
                                         test::QQLayout(90000 + 30000 * k), seed + 100 * k));
      if (files.back().empty()) ADD_FAILURE() << "gsf failed";
    }
    return test::DeletedFat16(tmp_ / name, files);
  }
  test::CommandResult Rescue(const fs::path& img, const fs::path& out, const fs::path& report) {
    return test::Run(test::Cli("rescue " + ShellQuote(img.string()) + " --out " +
                               ShellQuote(out.string()) + " --report " +
                               ShellQuote(report.string())));
  }
  test::TempDir tmp_{"stop-keep"};
};

TEST_F(StopAndKeep, TwoDisksIntoOneFolderKeepEveryFileAndARepeatWritesNothing) {
  // Both databases start at the same sector of their images, so both want one name.
  const fs::path one = Image("one.img", 1), two = Image("two.img", 2);
  const fs::path out = tmp_ / "out";
  fs::create_directory(out);
  auto r1 = Rescue(one, out, tmp_ / "r1.json");
  ASSERT_EQ(r1.Status, 0) << r1.Err;
  auto r2 = Rescue(two, out, tmp_ / "r2.json");
  ASSERT_EQ(r2.Status, 0) << r2.Err;
  const std::string first = FromReport(tmp_ / "r1.json", "r['rescued'][0]['file']");
  const std::string second = FromReport(tmp_ / "r2.json", "r['rescued'][0]['file']");
  ASSERT_EQ(fs::path(first).extension(), ".DB");
  EXPECT_EQ(second, first.substr(0, first.size() - 3) + "-2.DB");
  EXPECT_EQ(test::Sha256OfFile(first), test::Sha256OfFile(tmp_ / "one.img-db" / "MSG0.DB"));
  EXPECT_EQ(test::Sha256OfFile(second), test::Sha256OfFile(tmp_ / "two.img-db" / "MSG0.DB"));
  EXPECT_EQ(FromReport(tmp_ / "r2.json", "'already_there' in r['rescued'][0]"), "False");

  // The first disk again: nothing new, and the end says why.
  auto r3 = Rescue(one, out, tmp_ / "r3.json");
  ASSERT_EQ(r3.Status, 0) << r3.Err;
  EXPECT_EQ(r3.Out, "Rescued file 1\n");
  EXPECT_NE(r3.Err.find("Already in the folder, not written again: 1\n"), std::string::npos)
      << r3.Err;
  EXPECT_EQ(FromReport(tmp_ / "r3.json", "r['rescued'][0]['file']"), first);
  EXPECT_EQ(FromReport(tmp_ / "r3.json", "r['rescued'][0]['already_there']"), "True");
  EXPECT_EQ(FromReport(tmp_ / "r3.json", "r['stopped']"), "None");
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(out)) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 2u);
  // The reports keep their documented shape.
  auto v = test::Run(test::Python() + " " +
                     ShellQuote(test::SourceFile("tests/cli/olefile_agrees.py").string()) + " " +
                     ShellQuote((tmp_ / "r3.json").string()) + " --schema " +
                     ShellQuote(test::SourceFile("docs/report.schema.json").string()) + " --cli " +
                     ShellQuote(TARNWICK_CLI));
  EXPECT_EQ(v.Status, 0) << v.Out << v.Err;
}

TEST_F(StopAndKeep, CtrlCInTheSearchOrTheRescueSaysWhereItStoppedAndExits130) {
  const fs::path img = Image("two.img", 4, 2);
  // The rescue stops before the later database: the list is carved from its end.
  std::string lastDatabase;
  std::istringstream found(test::Run(test::Cli("scan " + ShellQuote(img.string()))).Out);
  for (std::string line; std::getline(found, line);)
    if (line.ends_with("\t5")) lastDatabase = line.substr(0, line.size() - 2);
  ASSERT_FALSE(lastDatabase.empty());
  struct Case {
    std::string command, pressAt, said, stopped;
  };
  // Ctrl-C as the search dialog shows (nothing searched yet) or as the rescue
  // dialog shows (the search whole, nothing carved yet).
  const std::vector<Case> cases = {
      {"rescue", "Searching file",
       "The search was stopped at sector 0 (0.00% searched): sectors 0 to 65535 were not searched",
       "{'phase': 'search', 'at_sector': 0, 'by_user': True}"},
      {"rescue", "Rescuing file", "The rescue was stopped after 0 of the 2 file starts found",
       "{'phase': 'rescue', 'at_sector': " + lastDatabase +
           ", 'carved': 0, 'of': 2, 'by_user': True}"},
      {"scan", "Searching file", "The search was stopped at sector 0", ""}};
  for (const Case& c : cases) {
    const fs::path out = tmp_ / ("out-" + c.pressAt), report = tmp_ / ("report-" + c.pressAt);
    fs::create_directory(out);
    std::vector<std::string> args = {c.command, img.string()};
    if (c.command == "rescue")
      args.insert(args.end(), {"--out", out.string(), "--report", report.string()});
    Ended e = RunPressingCtrlC(args, tmp_ / "stdout", [&](const std::string& line) {
      return line.rfind(c.pressAt, 0) == 0;
    });
    ASSERT_TRUE(e.Pressed) << e.Err;
    EXPECT_EQ(e.Status, 130) << e.Err;
    EXPECT_NE(e.Err.find(c.said), std::string::npos) << e.Err;
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_EQ(e.Out, c.command == "scan" ? "" : "Rescued file 0\n");
    if (c.command == "scan") continue;
    EXPECT_EQ(FromReport(report, "r['stopped']"), c.stopped);
    auto v = test::Run(test::Python() + " " +
                       ShellQuote(test::SourceFile("tests/cli/olefile_agrees.py").string()) + " " +
                       ShellQuote(report.string()) + " --schema " +
                       ShellQuote(test::SourceFile("docs/report.schema.json").string()));
    EXPECT_EQ(v.Status, 0) << v.Out << v.Err;
  }
  // A backup cut short keeps what it copied and exits 130 too.
  Ended backup = RunPressingCtrlC({"backup", img.string(), (tmp_ / "copy.img").string()},
                                  tmp_ / "stdout", [](const std::string&) { return true; });
  ASSERT_TRUE(backup.Pressed);
  EXPECT_EQ(backup.Status, 130) << backup.Err;
  EXPECT_NE(backup.Err.find("Stopped before the end of the range."), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
