#include "scan/hole_skip.h"

#include "source/device.h"

namespace tarnwick {

uint64_t HoleSkip::Look(uint64_t n) {
  if (device_ == nullptr || bps_ == 0 || n > UINT64_MAX / bps_) return n;
  const uint64_t at = n * bps_;
  if (at >= dataBegin_ && at < dataEnd_) return n;
  const ByteSpan data = device_->NextData(at);
  if (data.Begin <= at) {
    dataBegin_ = at;
    dataEnd_ = data.End;
    return n;
  }
  dataBegin_ = data.Begin;
  dataEnd_ = data.End;
  // The sector that holds the first byte of data (a hole ends on a block of
  // the file system, which need not be a whole sector).
  return data.Begin / bps_;
}

}  // namespace tarnwick
