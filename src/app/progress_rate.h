#pragma once
// How fast a sector loop (the search, a backup) advances and how long the
// rest will take, from the sectors done and the time gone. The front ends
// feed it the sector their dialog shows and show the text it makes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/face_texts.h"

namespace tarnwick {

class ProgressRate {
 public:
  // A new stretch of work over the sectors first..last; nothing measured so
  // far counts any more.
  void Restart(uint64_t first, uint64_t last, uint32_t bytesPerSector);
  // The loop has reached sector at ms milliseconds (any steady clock). The
  // first call after Restart at a sector of the stretch is where measuring
  // starts (a label reset to 0 before the loop is not one). A sector lower than
  // the one before means this is no forward loop (e.g. the alignment step
  // walking the found list): nothing is shown until the next Restart.
  void At(uint64_t sector, uint64_t ms);

  // Bytes a second, once at least kMinimumMs have passed since the start.
  std::optional<double> BytesPerSecond() const;
  // Seconds until the last sector at that rate.
  std::optional<uint64_t> SecondsLeft() const;
  // "12.3 MB/s, 1:02 left" in the language; empty until measurable.
  std::string Text(Language language) const;

  static constexpr uint64_t kMinimumMs = 600;

 private:
  uint64_t first_ = 0, last_ = 0;
  uint32_t bytesPerSector_ = 512;
  bool started_ = false, backwards_ = false;
  uint64_t startSector_ = 0, startMs_ = 0;
  uint64_t sector_ = 0, ms_ = 0;
};

// 1:02 for 62 seconds, 1:02:03 from an hour on.
std::string FormatDuration(uint64_t seconds);
// MB (10^6 bytes) a second with one decimal.
std::string FormatMegabytesPerSecond(double bytesPerSecond);
// The decimal number a label ends with ("Sector: 1234" gives 1234).
std::optional<uint64_t> TrailingNumber(std::string_view text);

}  // namespace tarnwick
