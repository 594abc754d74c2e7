#pragma once
// JPEG and BMP carvers.
//
// The JPEG carver walks the marker segments up to the first start of scan,
// searches the entropy data for the end-of-image marker, decodes the whole
// picture to be sure it is one, and (with TypeMask bit 0x1) writes it as
// FILE_xxxxxxxx.JPG dated by its EXIF DateTimeOriginal. Small pictures and
// pictures of listed thumbnail sizes give their sectors back afterwards.
//
// The BMP carver only claims: as many sectors as the header's file size
// covers, none of them read.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

struct Session;

// A calendar date and time as EXIF writes it, without a time zone.
struct ExifDateTime {
  int Year = 0;
  int Month = 0;
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  bool operator==(const ExifDateTime&) const = default;
};

// "YYYY:MM:DD hh:mm:ss" (exactly 19 characters; the separators are not
// looked at). Nothing when a field is not a number, out of range, or the day
// does not exist in that month.
std::optional<ExifDateTime> ParseExifDate(std::string_view text);

struct ExifDateResult {
  bool Found = false;  // a DateTimeOriginal that parses
  std::string Text;    // the trimmed text of the tag, when the tag was there
  ExifDateTime Date;
};

// The EXIF DateTimeOriginal of the JPEG in buffer, from its first APP1
// segment. Every offset in the buffer is checked: hostile bytes yield no date.
ExifDateResult ExifDateOriginal(std::span<const uint8_t> buffer);

// The JPEG carver. Returns the picture's length in bytes when it decoded,
// else 0.
uint64_t CarveJpegFile(Session& s, const std::string& targetFolder, uint64_t carveStart);
// The same for the dispatch table, which has no use for the length.
void CarveJpeg(Session& s, const std::string& targetFolder, uint64_t carveStart);

// The BMP carver: claims the header's file size in sectors, writes nothing.
void CarveBmp(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
