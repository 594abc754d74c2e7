#include "compound/qq_contents.h"

#include <algorithm>
#include <string_view>

#include "source/file_io.h"
#include "source/system_file.h"

namespace tarnwick {

namespace {

constexpr std::string_view kContactStorage = "C2CMsg";
constexpr std::string_view kGroupStorage = "GroupMsg";
constexpr std::string_view kMessageStream = "Data.msj";
// More digits than any account number has; a longer name is no number.
constexpr size_t kMaxNumberDigits = 20;

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool IsNumber(std::string_view name) {
  if (name.empty() || name.size() > kMaxNumberDigits) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Numeric order for digit strings: shorter first (ignoring leading zeros would
// make "007" and "7" equal; they are different storages and both are kept).
bool NumericLess(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

QQContents ReadQQContents(const CompoundCheck& check) {
  QQContents out;
  for (const CompoundEntry& e : check.Entries) {
    if (e.Type == 2 && SameName(e.Name, kMessageStream)) {
      out.MessageStoreBytes += e.Size;
      ++out.MessageStoreStreams;
      continue;
    }
    // A conversation's storage: one level below a top-level C2CMsg or GroupMsg.
    if (e.Type != 1 || e.Depth != 2 || !IsNumber(e.Name)) continue;
    const size_t slash = e.Path.find('/');
    if (slash == std::string::npos) continue;
    const std::string_view parent(e.Path.data(), slash);
    if (SameName(parent, kContactStorage))
      out.Contacts.push_back(e.Name);
    else if (SameName(parent, kGroupStorage))
      out.Groups.push_back(e.Name);
  }
  std::sort(out.Contacts.begin(), out.Contacts.end(), NumericLess);
  std::sort(out.Groups.begin(), out.Groups.end(), NumericLess);
  return out;
}

InspectedFile InspectBytes(const std::string& path, std::span<const uint8_t> bytes) {
  InspectedFile f;
  f.Path = path;
  f.FileBytes = bytes.size();
  f.Check = CheckCompoundFile(bytes);
  f.Contents = ReadQQContents(f.Check);
  return f;
}

InspectedFile InspectFile(const std::string& path, std::vector<uint8_t>* bytesOut) {
  std::vector<uint8_t> own;
  std::vector<uint8_t>& bytes = bytesOut ? *bytesOut : own;
  bytes.clear();
  // Read once into a buffer of the file's size: a large database is held
  // once while it is looked at, not twice.
  InspectedFile failed;
  failed.Path = path;
  SystemFile file;
  int error = 0;
  PathType type = PathType::None;
  uint64_t size = 0;
  if (!LookAtPath(path, true, type, size, error) || !file.OpenToRead(path, true, error)) {
    failed.ReadError = SystemErrorText(error);
    return failed;
  }
  bytes.resize(static_cast<size_t>(size));
  const int64_t n = file.Read(bytes, error);
  if (n < 0) {
    bytes.clear();
    failed.ReadError = SystemErrorText(error);
    return failed;
  }
  bytes.resize(static_cast<size_t>(n));  // shorter since it was looked at
  // Longer since: the rest too, as the whole file is what is judged.
  std::vector<uint8_t> more(1 << 16);
  for (int64_t m; (m = file.Read(more, error)) > 0;)
    bytes.insert(bytes.end(), more.begin(), more.begin() + m);
  file.Close(error);
  return InspectBytes(path, bytes);
}

}  // namespace tarnwick
