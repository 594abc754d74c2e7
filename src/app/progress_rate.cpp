#include "app/progress_rate.h"

#include <cmath>
#include <cstdio>

#include "app/results_texts.h"

namespace tarnwick {

void ProgressRate::Restart(uint64_t first, uint64_t last, uint32_t bytesPerSector) {
  first_ = first;
  last_ = last;
  bytesPerSector_ = bytesPerSector == 0 ? 512 : bytesPerSector;
  started_ = backwards_ = false;
}

void ProgressRate::At(uint64_t sector, uint64_t ms) {
  if (backwards_ || sector < first_) return;
  if (!started_) {
    started_ = true;
    startSector_ = sector_ = sector;
    startMs_ = ms_ = ms;
    return;
  }
  if (sector < sector_ || ms < ms_) {
    backwards_ = true;
    return;
  }
  sector_ = sector;
  ms_ = ms;
}

std::optional<double> ProgressRate::BytesPerSecond() const {
  if (!started_ || backwards_ || ms_ - startMs_ < kMinimumMs) return std::nullopt;
  const double bytes = static_cast<double>(sector_ - startSector_) * bytesPerSector_;
  return bytes * 1000.0 / static_cast<double>(ms_ - startMs_);
}

std::optional<uint64_t> ProgressRate::SecondsLeft() const {
  const auto rate = BytesPerSecond();
  if (!rate || *rate <= 0.0) return std::nullopt;
  const uint64_t left = sector_ >= last_ ? 0 : last_ - sector_;
  const double seconds = static_cast<double>(left) * bytesPerSector_ / *rate;
  // Beyond a year the figure says nothing; it is left out.
  if (!(seconds < 366.0 * 24 * 3600)) return std::nullopt;
  return static_cast<uint64_t>(std::ceil(seconds));
}

std::string ProgressRate::Text(Language language) const {
  const auto rate = BytesPerSecond();
  if (!rate) return {};
  const std::string mbs = FormatMegabytesPerSecond(*rate);
  if (const auto left = SecondsLeft())
    return FillIn(ResultsTextFor(language, ResultsText::RateAndTimeLeft), mbs,
                  FormatDuration(*left));
  return FillIn(ResultsTextFor(language, ResultsText::RateOnly), mbs);
}

std::string FormatDuration(uint64_t seconds) {
  char buf[32];
  if (seconds >= 3600)
    std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  else
    std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  return buf;
}

std::string FormatMegabytesPerSecond(double bytesPerSecond) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", bytesPerSecond / 1e6);
  return buf;
}

std::optional<uint64_t> TrailingNumber(std::string_view text) {
  size_t begin = text.size();
  while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9') --begin;
  if (begin == text.size() || text.size() - begin > 19) return std::nullopt;
  uint64_t n = 0;
  for (size_t i = begin; i < text.size(); ++i) n = n * 10 + static_cast<uint64_t>(text[i] - '0');
  return n;
}

}  // namespace tarnwick
