#include "app/cli/json_out.h"

#include <cstdint>
#include <cstdio>

namespace tarnwick::cli {

namespace {

// Length of the UTF-8 sequence starting at bytes[i], or 0 when it is not one.
size_t SequenceLength(std::string_view bytes, size_t i) {
  auto at = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
  auto tail = [&](size_t k) { return k < bytes.size() && (at(k) & 0xC0) == 0x80; };
  const uint8_t b = at(i);
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return tail(i + 1) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    if (!tail(i + 1) || !tail(i + 2)) return 0;
    const uint8_t b1 = at(i + 1);
    if (b == 0xE0 && b1 < 0xA0) return 0;   // overlong
    if (b == 0xED && b1 >= 0xA0) return 0;  // UTF-16 surrogate
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (!tail(i + 1) || !tail(i + 2) || !tail(i + 3)) return 0;
    const uint8_t b1 = at(i + 1);
    if (b == 0xF0 && b1 < 0x90) return 0;   // overlong
    if (b == 0xF4 && b1 >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = SequenceLength(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void PutBytes(Json& object, const std::string& key, const std::string& bytes) {
  if (IsUtf8(bytes)) {
    object[key] = bytes;
    return;
  }
  std::string text, hex;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = SequenceLength(bytes, i);
    if (n == 0) {
      text += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    } else {
      text.append(bytes, i, n);
      i += n;
    }
  }
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  object[key] = text;
  object[key + "_bytes_hex"] = hex;
}

std::string Dump(const Json& value, int indent) {
  const std::string compact = value.dump(indent, ' ', false, Json::error_handler_t::replace);
  if (indent >= 0) return compact;
  // One line as the command line has always written it: a space after every
  // ':' and ',' that separates (those inside strings are left alone).
  std::string out;
  out.reserve(compact.size() + compact.size() / 4);
  bool inString = false, escaped = false;
  for (char c : compact) {
    out += c;
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == ':' || c == ',') {
      out += ' ';
    }
  }
  return out;
}

void PrintJson(const Json& value) {
  const std::string text = Dump(value) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace tarnwick::cli
