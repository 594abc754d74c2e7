#include "app/thumb_settings.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "app/text_lines.h"
#include "scan/session.h"
#include "source/file_io.h"

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<std::string> ReadText(const std::string& folder, const char* name) {
  fs::path path = PathOf(folder) / name;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

// The value of one ThumbSpc.ini line after trimming; nothing for a line that
// does not convert.
std::optional<int64_t> ThumbSizeOfLine(std::string line) {
  line = line.substr(0, line.find(';'));
  if (size_t x = line.find('x'); x != std::string::npos) line[x] = '*';
  size_t star = line.find('*');
  if (star == std::string::npos) return ParseDecimal(line);
  auto width = ParseDecimal(std::string_view(line).substr(0, star));
  auto height = ParseDecimal(std::string_view(line).substr(star + 1));
  if (!width || !height) return std::nullopt;
  int64_t product = 0;
  if (__builtin_mul_overflow(*width, *height, &product)) return std::nullopt;
  return product;
}

}  // namespace

std::optional<int64_t> ParseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulated negatively so that the most negative value fits too.
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, 10, &value)) return std::nullopt;
    if (__builtin_sub_overflow(value, c - '0', &value)) return std::nullopt;
  }
  if (negative) return value;
  if (value == std::numeric_limits<int64_t>::min()) return std::nullopt;
  return -value;
}

std::vector<std::string> SplitIniLines(std::string_view text) {
  std::vector<std::string> lines;
  for (std::string_view line : SplitLines(text)) lines.emplace_back(line);
  return lines;
}

int64_t ThumbPixelLimitFromText(std::string_view text) {
  std::vector<std::string> lines = SplitIniLines(text);
  if (lines.empty()) return -1;
  return ParseDecimal(lines.front()).value_or(-1);
}

std::vector<int64_t> ThumbSizeListFromText(std::string_view text) {
  std::vector<int64_t> list;
  for (const std::string& raw : SplitIniLines(text)) {
    std::string_view line = Trim(raw);
    if (line.empty()) break;  // an empty line ends the list
    // A line that does not convert is skipped, whether or not it has an "x".
    int64_t value = ThumbSizeOfLine(std::string(line)).value_or(-1);
    if (value > 0) list.push_back(value);
  }
  return list;
}

int64_t ReadThumbPixelLimit(const std::string& folder) {
  auto text = ReadText(folder, kThumbSizFileName);
  return text ? ThumbPixelLimitFromText(*text) : -1;
}

std::optional<std::vector<int64_t>> ReadThumbSizeList(const std::string& folder) {
  auto text = ReadText(folder, kThumbSpcFileName);
  if (!text) return std::nullopt;
  return ThumbSizeListFromText(*text);
}

void LoadThumbSettings(Session& s, const std::string& folder) {
  s.ThumbPixelLimit = ReadThumbPixelLimit(folder);
  s.ThumbSizeList = ReadThumbSizeList(folder);
}

}  // namespace tarnwick
