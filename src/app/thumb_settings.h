#pragma once
// The JPEG carver's picture-size settings, read once from two optional files
// in the executable's folder: ThumbSiz.ini (one pixel limit) and ThumbSpc.ini
// (a list of thumbnail pixel counts, one "width x height" a line).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct Session;

inline constexpr const char* kThumbSizFileName = "ThumbSiz.ini";
inline constexpr const char* kThumbSpcFileName = "ThumbSpc.ini";

// A plain decimal integer: an optional sign and digits, nothing else (no
// blanks). Nothing when the text is not one or does not fit in 64 bits.
std::optional<int64_t> ParseDecimal(std::string_view text);

// The file's lines, split at CR LF, CR or LF.
std::vector<std::string> SplitIniLines(std::string_view text);

// ThumbPixelLimit from the text of ThumbSiz.ini: its first line as a decimal,
// or -1.
int64_t ThumbPixelLimitFromText(std::string_view text);
// ThumbSizeList from the text of ThumbSpc.ini.
std::vector<int64_t> ThumbSizeListFromText(std::string_view text);

// The same over a folder path (ending in "/" or not). -1 and nothing when the
// file is absent or cannot be read.
int64_t ReadThumbPixelLimit(const std::string& folder);
std::optional<std::vector<int64_t>> ReadThumbSizeList(const std::string& folder);

// Fills Session::ThumbPixelLimit and Session::ThumbSizeList from the folder.
void LoadThumbSettings(Session& s, const std::string& folder);

}  // namespace tarnwick
