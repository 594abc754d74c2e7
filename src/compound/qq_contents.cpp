#include "compound/qq_contents.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "source/file_io.h"
#include "source/mapped_file.h"
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

namespace {

InspectedFile Inspect(const std::string& path, std::span<const uint8_t> bytes,
                      const std::function<void()>& release) {
  InspectedFile f;
  f.Path = path;
  f.FileBytes = bytes.size();
  f.Check = CheckCompoundFile(bytes, release);
  f.Contents = ReadQQContents(f.Check);
  return f;
}

// A pipe or a device has no pages to map: it is read once into memory.
InspectedFile InspectStream(const std::string& path) {
  InspectedFile failed;
  failed.Path = path;
  SystemFile file;
  int error = 0;
  if (!file.OpenToRead(path, true, error)) {
    failed.ReadError = SystemErrorText(error);
    return failed;
  }
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> piece(1 << 16);
  int64_t m = 0;
  while ((m = file.Read(piece, error)) > 0)
    bytes.insert(bytes.end(), piece.begin(), piece.begin() + m);
  if (m < 0) {
    failed.ReadError = SystemErrorText(error);
    return failed;
  }
  return InspectBytes(path, bytes);
}

}  // namespace

InspectedFile InspectBytes(const std::string& path, std::span<const uint8_t> bytes) {
  return Inspect(path, bytes, {});
}

InspectedFile InspectFile(const std::string& path) {
  // The check reads the header and the tables, and not the streams' data:
  // through a mapped view, only those pages of a large database come into
  // memory, and they are let go as the check goes on. The view's size is the
  // open file's own: a file gone since it was written gives a read error, one
  // cut shorter is judged at the length it has now, and neither is read past
  // its end (mapped_file.h says what a file cut shorter while mapped does).
  PathType type = PathType::None;
  uint64_t size = 0;
  int error = 0;
  // Looked at before it is opened: a pipe opened and closed to find out
  // what it is would lose its writer.
  if (LookAtPath(path, true, type, size, error) && type == PathType::Other)
    return InspectStream(path);
  MappedFile view;
  if (view.Open(path, error)) return Inspect(path, view.Bytes(), [&view] { view.Release(); });
  InspectedFile failed;
  failed.Path = path;
  failed.ReadError = SystemErrorText(error);
  return failed;
}

}  // namespace tarnwick
