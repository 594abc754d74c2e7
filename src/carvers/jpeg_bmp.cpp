#include "carvers/jpeg_bmp.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <ctime>

#ifdef _WIN32
// No libjpeg for Windows here: the header-only decoder, built into this file.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_ASSERT(x) static_cast<void>(0)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include <stb_image.h>
#pragma GCC diagnostic pop
#else
// The library's header wants FILE and size_t declared before it.
#include <jerror.h>
#include <jpeglib.h>
#endif

#include "carvers/framework.h"
#include "scan/session.h"
#include "source/bytes.h"
#include "source/file_io.h"

namespace tarnwick {

namespace {

// No JPEG is followed further than this, neither through its header
// segments nor through its entropy data.
constexpr int64_t kJpegLimit = 33'554'432;
constexpr int64_t kBmpSmallest = 58;
constexpr int64_t kBmpLargest = 104'857'600;

// What the decoder may allocate for one picture. Far above what a real
// photograph within the size limit needs; a hostile header that declares a
// gigantic progressive picture fails instead of exhausting memory.
constexpr long kDecoderMemory = 1L << 30;
// A progressive picture needs a handful of scans; thousands of tiny scans
// over a large picture would make the decode run for hours.
constexpr int kMostScans = 500;

// ---------------------------------------------------------------- decoding

#ifdef _WIN32
// Decodes the whole picture; false when the decoder refuses it. A header
// that declares more pixels than the memory limit allows is refused unread.
bool DecodePicture(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
  if (size > static_cast<size_t>(INT32_MAX)) return false;
  // The decoder has no limit of its own on progressive scans. Entropy data
  // stuffs every FF byte with 00, so each FF DA is a start of scan.
  int scans = 0;
  for (size_t i = 0; i + 1 < size; ++i)
    if (data[i] == 0xFF && data[i + 1] == 0xDA && ++scans > kMostScans) return false;
  int w = 0, h = 0, components = 0;
  const int length = static_cast<int>(size);
  if (!stbi_info_from_memory(data, length, &w, &h, &components) || w <= 0 || h <= 0) return false;
  if (uint64_t{static_cast<uint32_t>(w)} * static_cast<uint32_t>(h) * 4 >
      static_cast<uint64_t>(kDecoderMemory))
    return false;
  stbi_uc* pixels = stbi_load_from_memory(data, length, &w, &h, &components, 0);
  if (pixels == nullptr) return false;
  stbi_image_free(pixels);
  width = static_cast<uint32_t>(w);
  height = static_cast<uint32_t>(h);
  return true;
}
#else
struct DecodeErrors {
  jpeg_error_mgr Manager;
  std::jmp_buf Escape;
};

[[noreturn]] void LeaveDecode(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<DecodeErrors*>(cinfo->err);
  std::longjmp(errors->Escape, 1);
}

// Warnings (corrupt entropy data that the decoder can fill in) do not make a
// picture undecodable, and nothing is printed.
void IgnoreMessage(j_common_ptr, int) {}
void IgnoreOutput(j_common_ptr) {}

void LimitScans(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMostScans) {
    cinfo->err->msg_code = JERR_BAD_SCAN_SCRIPT;
    cinfo->err->error_exit(cinfo);
  }
}

// Decodes the whole picture into RGB lines, one line at a time. Returns
// false on any error the decoder raises; width and height on success.
// Nothing with a destructor may live in this frame: errors leave it by
// longjmp.
bool DecodePicture(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
  jpeg_decompress_struct cinfo;
  DecodeErrors errors;
  jpeg_progress_mgr progress;
  cinfo.err = jpeg_std_error(&errors.Manager);
  errors.Manager.error_exit = LeaveDecode;
  errors.Manager.emit_message = IgnoreMessage;
  errors.Manager.output_message = IgnoreOutput;
  cinfo.mem = nullptr;
  if (setjmp(errors.Escape) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = kDecoderMemory;
  progress.progress_monitor = LimitScans;
  cinfo.progress = &progress;
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  // Colour conversion to RGB exists for grey, YCbCr and RGB pictures; CMYK
  // pictures are decoded as they are stored.
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  // Every coefficient is still decoded, and with it every fault of the
  // compressed data, but the lines come out at an eighth of the size: the
  // pixels themselves are not kept.
  cinfo.scale_num = 1;
  cinfo.scale_denom = 8;
  cinfo.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&cinfo);
  const JDIMENSION stride = cinfo.output_width * static_cast<JDIMENSION>(cinfo.output_components);
  JSAMPARRAY line =
      (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, stride, 1);
  while (cinfo.output_scanline < cinfo.output_height) {
    if (jpeg_read_scanlines(&cinfo, line, 1) != 1) {
      jpeg_destroy_decompress(&cinfo);
      return false;
    }
  }
  jpeg_finish_decompress(&cinfo);
  width = cinfo.image_width;
  height = cinfo.image_height;
  jpeg_destroy_decompress(&cinfo);
  return true;
}
#endif  // _WIN32

// --------------------------------------------------------------- EXIF date

// A reader in the TIFF block's own byte order.
struct TiffReader {
  Bytes Data;
  bool Little;
  uint16_t U16(uint64_t off) const {
    if (off > Data.size()) return 0;
    return Little ? LE16(Data, static_cast<size_t>(off)) : BE16(Data, static_cast<size_t>(off));
  }
  uint32_t U32(uint64_t off) const {
    if (off > Data.size()) return 0;
    return Little ? LE32(Data, static_cast<size_t>(off)) : BE32(Data, static_cast<size_t>(off));
  }
};

// The value of the first entry with this tag in the directory at dir, or
// nothing.
std::optional<uint32_t> FindTag(const TiffReader& r, uint64_t dir, uint16_t tag) {
  if (dir + 2 > r.Data.size()) return std::nullopt;
  const uint16_t count = r.U16(dir);
  for (uint32_t k = 0; k < count; ++k) {
    const uint64_t entry = dir + 2 + 12ull * k;
    if (entry + 12 > r.Data.size()) return std::nullopt;
    if (r.U16(entry) == tag) return r.U32(entry + 8);
  }
  return std::nullopt;
}

bool IsTrimmed(uint8_t ch) { return ch <= ' '; }

int Field(std::string_view digits) {
  int v = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return -1;
    v = v * 10 + (ch - '0');
  }
  return v;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// The written picture takes the date as its last-write time, in local time
// and rounded down to even seconds as a DOS date-time holds it.
void StampFile(const std::string& path, const ExifDateTime& d) {
  if (d.Year < 1980 || d.Year > 2099) return;
  std::tm tm{};
  tm.tm_year = d.Year - 1900;
  tm.tm_mon = d.Month - 1;
  tm.tm_mday = d.Day;
  tm.tm_hour = d.Hour;
  tm.tm_min = d.Minute;
  tm.tm_sec = d.Second & ~1;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return;
  SetModifiedTime(path, static_cast<int64_t>(t));
}

// ------------------------------------------------------------ JPEG carving

// Follows the marker segments from offset 2 to the first start of scan.
// Returns the offset right after the scan marker's length field, or -1.
int64_t WalkMarkers(CarveContext& c) {
  int64_t pos = 2;
  while (true) {
    if (!ReadUntil(c, static_cast<uint64_t>(pos + 4))) return -1;
    Bytes data = c.Data();
    const uint8_t m0 = U8(data, static_cast<size_t>(pos));
    const uint8_t m1 = U8(data, static_cast<size_t>(pos + 1));
    const uint16_t length = BE16(data, static_cast<size_t>(pos + 2));
    pos += 4;
    if (m0 != 0xFF) return -1;
    if (m1 == 0xDA) return pos;
    if (length <= 2) return -1;
    const int64_t next = pos + length - 2;
    if (next >= kJpegLimit) return -1;
    if (!ReadUntil(c, static_cast<uint64_t>(next))) return -1;
    pos = next;
  }
}

// Searches the entropy data from pos for FF D9 (FF FF D9 too). Returns the
// offset of the D9, or -1. Only bytes not searched before are looked at,
// plus the two before them, so a marker split across sectors is found.
int64_t FindEnd(CarveContext& c, int64_t pos) {
  while (true) {
    Bytes data = c.Data();
    bool afterFF = false;
    for (int64_t i = pos; i < static_cast<int64_t>(c.Collected); ++i) {
      const uint8_t b = data[static_cast<size_t>(i)];
      if (b == 0xFF) {
        afterFF = true;
      } else if (b == 0xD9 && afterFF) {
        return i;
      } else {
        afterFF = false;
      }
    }
    pos = static_cast<int64_t>(c.Collected) - 2;
    if (pos >= kJpegLimit) return -1;
    if (!FetchSector(c)) return -1;
  }
}

bool IsListedSize(const Session& s, int64_t pixels) {
  if (!s.ThumbSizeList) return false;
  const auto& list = *s.ThumbSizeList;
  return std::find(list.begin(), list.end(), pixels) != list.end();
}

}  // namespace

std::optional<ExifDateTime> ParseExifDate(std::string_view text) {
  if (text.size() != 19) return std::nullopt;
  ExifDateTime d;
  d.Year = Field(text.substr(0, 4));
  d.Month = Field(text.substr(5, 2));
  d.Day = Field(text.substr(8, 2));
  d.Hour = Field(text.substr(11, 2));
  d.Minute = Field(text.substr(14, 2));
  d.Second = Field(text.substr(17, 2));
  if (d.Year < 1900 || d.Year > 2999) return std::nullopt;
  if (d.Month < 1 || d.Month > 12) return std::nullopt;
  if (d.Day < 1 || d.Day > DaysInMonth(d.Year, d.Month)) return std::nullopt;
  if (d.Hour < 0 || d.Hour > 23 || d.Minute < 0 || d.Minute > 59) return std::nullopt;
  if (d.Second < 0 || d.Second > 59) return std::nullopt;
  return d;
}

ExifDateResult ExifDateOriginal(std::span<const uint8_t> buffer) {
  ExifDateResult result;
  Bytes b = buffer;
  uint64_t p = 2;
  // The first APP1 segment; any other segment is stepped over by its length.
  while (true) {
    if (p + 2 > b.size()) return result;
    const uint8_t b0 = b[static_cast<size_t>(p)];
    const uint8_t b1 = b[static_cast<size_t>(p + 1)];
    p += 2;
    if (b0 == 0xFF && b1 == 0xE1) break;
    if (b0 != 0xFF || b1 == 0xDA) return result;
    const uint16_t length = BE16(b, static_cast<size_t>(p));
    if (length < 2) return result;
    p += length;
  }
  // Length field and the six bytes of the identifier, then the TIFF block.
  const uint64_t tiffBase = p + 2 + 6;
  if (tiffBase + 8 > b.size()) return result;
  TiffReader r{b, true};
  if (BytesEqual(b, static_cast<size_t>(tiffBase), "II")) {
    r.Little = true;
  } else if (BytesEqual(b, static_cast<size_t>(tiffBase), "MM")) {
    r.Little = false;
  } else {
    return result;
  }
  if (r.U16(tiffBase + 2) != 42) return result;
  const auto exifDir = FindTag(r, tiffBase + r.U32(tiffBase + 4), 0x8769);
  if (!exifDir) return result;
  const auto dateAt = FindTag(r, tiffBase + *exifDir, 0x9003);
  if (!dateAt) return result;
  const uint64_t start = tiffBase + *dateAt;
  if (start >= b.size()) return result;
  const auto* first = b.data() + start;
  const auto* end = std::find(first, b.data() + b.size(), uint8_t{0});
  while (first < end && IsTrimmed(*first)) ++first;
  while (end > first && IsTrimmed(end[-1])) --end;
  result.Text.assign(first, end);
  if (auto date = ParseExifDate(result.Text)) {
    result.Found = true;
    result.Date = *date;
  }
  return result;
}

uint64_t CarveJpegFile(Session& s, const std::string& targetFolder, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return 0;
  CarveContext& c = frame.Ctx();
  if (U8(c.Data(), 0) != 0xFF || U8(c.Data(), 1) != 0xD8 || U8(c.Data(), 2) != 0xFF) return 0;
  const int64_t scan = WalkMarkers(c);
  if (scan < 0) return 0;
  const int64_t end = FindEnd(c, scan);
  if (end < 0) return 0;
  c.Collected = static_cast<uint64_t>(end + 1);
  c.Buffer.resize(static_cast<size_t>(c.Collected));

  const ExifDateResult date = ExifDateOriginal(c.Data());
  uint32_t width = 0;
  uint32_t height = 0;
  if (!DecodePicture(c.Buffer.data(), c.Buffer.size(), width, height)) {
    // Nothing is written, but the sectors stay with the broken picture.
    frame.Succeed();
    return 0;
  }

  if ((s.TypeMask & kTypeMaskJpeg) != 0 && !targetFolder.empty()) {
    SavedFile saved;
    saved.Path = OutputName(targetFolder, carveStart, ".JPG");
    saved.StartSector = c.StartSector();
    saved.Bytes = c.Collected;
    saved.Sectors = c.ClaimList;
    saved.Written = SaveBufferToFile(s, c.Buffer, saved);
    saved.UnreadableSectors = UnreadableInFile(c);
    // A picture that could not be saved is not rescued.
    ++(saved.Written ? s.RescuedCount : s.UnsavedCount);
    if (saved.Written && !saved.AlreadyThere && date.Found) StampFile(saved.Path, date.Date);
    if (s.OnFileSaved) s.OnFileSaved(saved);
  }

  const int64_t pixels = static_cast<int64_t>(width) * height;
  if (pixels > s.ThumbPixelLimit && !IsListedSize(s, pixels)) frame.Succeed();
  // A thumbnail keeps nothing: the frame gives every sector back.
  return c.Collected;
}

void CarveJpeg(Session& s, const std::string& targetFolder, uint64_t carveStart) {
  CarveJpegFile(s, targetFolder, carveStart);
}

void CarveBmp(Session& s, const std::string&, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  Bytes head = c.Data();
  if (!BytesEqual(head, 0, "BM") || LE32(head, 6) != 0) return;
  const int64_t size = LE32(head, 2);
  if (size >= kBmpSmallest && size <= kBmpLargest) ClaimUnreadUpTo(c, static_cast<uint64_t>(size));
  // Kept without Succeed(): nothing was read, so the buffer is not cut to
  // the claimed length.
  c.ClaimList.clear();
}

}  // namespace tarnwick
