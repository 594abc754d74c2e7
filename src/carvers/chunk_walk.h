#pragma once
// Steps shared by the carvers that walk a file record by record and pass
// each record by its size (RIFF chunks, ISO media boxes, ZIP records, RAR
// blocks, ASF objects, MPEG units).
// Long records are claimed sector by sector without being read; only their
// last sector or two are collected.
#include <cstdint>

#include "carvers/framework.h"

namespace tarnwick {

// Passes a record of `length` bytes that starts at buffer position pos.
// Sectors that lie wholly inside the record beyond what is collected are
// claimed unread while the record still holds two sectors or more; each of
// them comes off `length` (which ends as the record's length within the
// buffer) and is counted into passedUnread. The record's tail is collected.
// False when a claim or a read fails.
bool PassRecord(CarveContext& c, uint64_t pos, uint64_t& length, uint64_t& passedUnread);
// The same for formats whose record sizes are 32-bit.
bool PassRecord(CarveContext& c, uint64_t pos, uint32_t& length, uint64_t& passedUnread);

// Once the walk is more than 60 sectors into the buffer, drops the whole
// sectors before pos, refreshes the progress label and lets messages through.
void CompactBuffer(CarveContext& c, uint64_t& pos);

// Gives back the claims beyond the ceil(fileBytes / BytesPerSector) sectors
// that the file fills, last first; ReadPos ends at the earliest one given back.
void GiveBackSurplus(CarveContext& c, uint64_t fileBytes);

}  // namespace tarnwick
