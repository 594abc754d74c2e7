// PLACEHOLDER: replaced by the classifier.
#include "scan/classify.h"
#include <cstring>
namespace tarnwick {
uint8_t Classify(std::span<const uint8_t> b, uint32_t) {
  static const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  return b.size() >= 8 && std::memcmp(b.data(), sig, 8) == 0 ? kOle2 : kNothing;
}
}  // namespace tarnwick
