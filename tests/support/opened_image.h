#pragma once
// An image opened as the window opens a Source, with the rescue boxes as
// opening fills them and a front end that records what is shown: ready for
// a whole deep scan.
#include <memory>
#include <string>
#include <vector>

#include "scan/deep_scan.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "volume/identify.h"

namespace tarnwick::test {

struct OpenedImage {
  std::unique_ptr<Session> s = EnglishSession();
  RescueBoxes boxes;
  RecordingFrontend ui;

  explicit OpenedImage(std::vector<uint8_t> img) {
    OpenOutcome o = OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::move(img)), "/m/d.img");
    boxes.Reason = o.ReasonIndex;
    boxes.Fs = o.FsIndex;
    boxes.Cluster = o.ClusterIndex;
    s->SetFrontend(&ui);
    // Every pump finds a refresh due, whatever the timer does.
    ui.OnPump = [this] { s->Flags.ElapsedMs += 200; };
  }
  // The boxes' texts for a rescue into folder of the sectors first to last
  // (the Source's last when empty).
  ScanRequest Request(const std::string& folder, const std::string& first = "0",
                      std::string last = "") const {
    ScanRequest r;
    r.FolderText = folder;
    r.FirstText = first;
    r.LastText = last.empty() ? std::to_string(s->Scan.LastSector) : last;
    return r;
  }
};

}  // namespace tarnwick::test
