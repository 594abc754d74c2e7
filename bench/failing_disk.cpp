// What a failing disk costs a rescue: runs the deep scan over a real image,
// once clean and once with a chosen share of its sectors unreadable (chosen
// at random), and reports which databases came back, whether their own
// sectors were among the bad ones, and the reads phase 1 and the whole
// rescue made.
//   bench-failing-disk IMAGE [PERCENT=1] [SEED=1]
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "carvers/framework.h"
#include "scan/deep_scan.h"
#include "scan/session.h"
#include "scan/session_source.h"

namespace tarnwick {
namespace {

struct Run {
  std::map<uint64_t, SavedFile> saved;  // by start sector
  uint64_t phaseOneReads = 0, phaseOneFailed = 0, reads = 0, failed = 0;
  ScanOutcome outcome;
};

Run Rescue(const std::string& image, const std::set<uint64_t>& bad, const std::string& out) {
  Run run;
  Session s;
  std::string error;
  auto file = FileDevice::Open(image, error);
  if (!file) {
    std::fprintf(stderr, "%s: %s\n", image.c_str(), error.c_str());
    std::exit(1);
  }
  auto faulty = std::make_unique<FaultyDevice>(std::move(file), bad);
  FaultyDevice* device = faulty.get();
  OpenOutcome opened = OpenImageDevice(s, std::move(faulty), image);
  s.OnFileSaved = [&](const SavedFile& f) { run.saved[f.StartSector] = f; };
  RescueBoxes boxes;
  boxes.Reason = opened.ReasonIndex;
  boxes.Fs = opened.FsIndex;
  boxes.Cluster = opened.ClusterIndex;
  boxes.FsEnabled = opened.FsBoxesEnabled;
  ScanRequest request;
  request.FolderText = out;
  request.FirstText = "0";
  request.LastText = std::to_string(s.Scan.LastSector);
  const uint64_t before = device->Reads(), failedBefore = device->FailedReads();
  run.outcome = SearchPhase(s, boxes, request);
  run.phaseOneReads = device->Reads() - before;
  run.phaseOneFailed = device->FailedReads() - failedBefore;
  if (run.outcome.ErrorSlot == 0) RescuePhase(s, run.outcome);
  run.reads = device->Reads() - before;
  run.failed = device->FailedReads() - failedBefore;
  return run;
}

// Runs of consecutive bad sectors.
uint64_t Regions(const std::set<uint64_t>& bad) {
  uint64_t regions = 0, last = UINT64_MAX - 1;
  for (uint64_t n : bad) {
    if (n != last + 1) ++regions;
    last = n;
  }
  return regions;
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-failing-disk IMAGE [PERCENT] [SEED]\n");
    return 2;
  }
  const std::string image = argv[1];
  const double percent = argc > 2 ? std::atof(argv[2]) : 1.0;
  const uint32_t seed = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 1;
  namespace fs = std::filesystem;
  const fs::path out = fs::temp_directory_path() / ("failing-disk-" + std::to_string(::getpid()));
  fs::create_directories(out / "clean");
  fs::create_directories(out / "faulty");

  Run clean = Rescue(image, {}, (out / "clean").string());
  const uint64_t sectors = fs::file_size(image) / 512;
  std::mt19937_64 rng(seed);
  std::set<uint64_t> bad;
  const auto want = static_cast<uint64_t>(static_cast<double>(sectors) * percent / 100.0);
  while (bad.size() < want) bad.insert(rng() % sectors);
  Run faulty = Rescue(image, bad, (out / "faulty").string());

  std::printf("image %s: %llu sectors, %llu bad (%.2f%%) in %llu regions\n", image.c_str(),
              (unsigned long long)sectors, (unsigned long long)bad.size(), percent,
              (unsigned long long)Regions(bad));
  std::printf("phase 1 reads: clean %llu, faulty %llu (%llu failed: %.2f per bad region)\n",
              (unsigned long long)clean.phaseOneReads, (unsigned long long)faulty.phaseOneReads,
              (unsigned long long)faulty.phaseOneFailed,
              bad.empty() ? 0.0 : double(faulty.phaseOneFailed) / double(Regions(bad)));
  std::printf("whole rescue reads: clean %llu, faulty %llu (%llu failed)\n",
              (unsigned long long)clean.reads, (unsigned long long)faulty.reads,
              (unsigned long long)faulty.failed);
  uint64_t whole = 0, wanted = 0, damaged = 0, lost = 0;
  for (const auto& [start, f] : clean.saved) {
    if (f.Path.size() < 3 || f.Path.substr(f.Path.size() - 3) != ".DB") continue;
    bool ownBad = false;
    for (uint64_t n : f.Sectors) ownBad = ownBad || bad.count(n);
    auto it = faulty.saved.find(start);
    const char* verdict = "lost";
    if (it != faulty.saved.end() && it->second.UnreadableSectors.empty() &&
        it->second.Sectors == f.Sectors) {
      verdict = "whole";
      if (!ownBad) ++whole;
    } else if (it != faulty.saved.end() && !it->second.UnreadableSectors.empty()) {
      // Sectors other than the clean run's: put together wrongly around the bad ones.
      verdict = it->second.Sectors == f.Sectors ? "with unreadable sectors"
                                                : "with unreadable sectors, from other sectors";
      ++damaged;
    } else if (it != faulty.saved.end()) {
      verdict = it->second.Damaged ? "lost: in damaged/, put together otherwise"
                                   : "lost: put together otherwise";
      ++lost;
    } else {
      ++lost;
    }
    if (!ownBad) ++wanted;
    std::printf("  database at %llu: own sectors %s, %s\n", (unsigned long long)start,
                ownBad ? "hit" : "readable", verdict);
    // A database lost for a bad sector in what it lies around: which ones.
    if (!ownBad && verdict[0] == 'l' && !f.Sectors.empty()) {
      const auto [lo, hi] = std::minmax_element(f.Sectors.begin(), f.Sectors.end());
      std::printf("    bad sectors among it:");
      for (auto b = bad.lower_bound(*lo); b != bad.end() && *b <= *hi; ++b)
        std::printf(" %llu", (unsigned long long)*b);
      std::printf("\n");
    }
  }
  std::printf("databases whose own sectors read: %llu, back whole: %llu; with unreadable "
              "sectors: %llu; lost: %llu\n",
              (unsigned long long)wanted, (unsigned long long)whole, (unsigned long long)damaged,
              (unsigned long long)lost);
  fs::remove_all(out);
  return 0;
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) { return tarnwick::Main(argc, argv); }
