#pragma once
// PLACEHOLDER: replaced by the classifier.
#include <cstdint>
#include <span>
namespace tarnwick {
enum TypeCode : uint8_t { kNothing = 0, kJpegOther = 2, kOle2 = 5, kMetadata = 100 };
uint8_t Classify(std::span<const uint8_t> block, uint32_t bytesPerSector);
}  // namespace tarnwick
