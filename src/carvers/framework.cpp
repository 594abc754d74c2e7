#include "carvers/framework.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

#include "source/system_file.h"

namespace tarnwick {

namespace {

constexpr uint64_t kBufferStep = 1'048'576;
// Most carves end within their first sectors: their buffer starts small, so
// that a failed carve does not touch a whole step of fresh memory.
constexpr uint64_t kFirstBuffer = 65'536;
constexpr int kSlotSector = 41;
constexpr int kSlotFailedSave = 28;
constexpr int kSlotSaveCaption = 61;

constexpr size_t kCompareChunk = 1 << 20;
// NAME-2.EXT ... NAME-9999.EXT: a folder holding that many different files
// of one name is not one to go on filling.
constexpr int kMaxNameNumber = 9999;

// The bytes to save, read in chunks: from memory or from their own file.
class SourceReader {
 public:
  explicit SourceReader(const SaveSource& source) : source_(source) {
    if (!source.File.empty()) file_.OpenToRead(source.File, true, error_);
  }
  bool Ok() const { return source_.File.empty() || file_.IsOpen(); }
  int Error() const { return error_; }
  // The next chunk, empty at the end; false on a read error.
  bool Next(std::span<const uint8_t>& chunk) {
    if (source_.File.empty()) {
      const size_t n = std::min(kCompareChunk, source_.Bytes.size() - at_);
      chunk = source_.Bytes.subspan(at_, n);
      at_ += n;
      return true;
    }
    buffer_.resize(kCompareChunk);
    const int64_t n = file_.Read(buffer_, error_);
    if (n < 0) return false;
    chunk = std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(n));
    return true;
  }

 private:
  const SaveSource& source_;
  SystemFile file_;
  int error_ = 0;
  size_t at_ = 0;
  std::vector<uint8_t> buffer_;
};

// The size of the bytes to save; false when their file cannot be looked at.
bool SourceSize(const SaveSource& source, uint64_t& size, int& error) {
  if (source.File.empty()) {
    size = source.Bytes.size();
    return true;
  }
  PathType type = PathType::None;
  return LookAtPath(source.File, true, type, size, error) && type != PathType::None;
}

// True when the regular file at path holds exactly the bytes to save. Only
// read: a link, a device or anything else at the name counts as different.
bool HoldsTheSameBytes(const std::string& path, const SaveSource& source, uint64_t size) {
  PathType type = PathType::None;
  uint64_t theirSize = 0;
  int error = 0;
  if (!LookAtPath(path, false, type, theirSize, error) || type != PathType::Regular) return false;
  if (theirSize != size) return false;
  SystemFile file;
  if (!file.OpenToRead(path, false, error)) return false;
  SourceReader reader(source);
  if (!reader.Ok()) return false;
  std::vector<uint8_t> theirs(kCompareChunk);
  while (true) {
    std::span<const uint8_t> ours;
    if (!reader.Next(ours)) return false;
    const int64_t n = file.Read(std::span<uint8_t>(theirs.data(), ours.size()), error);
    if (n < 0 || static_cast<size_t>(n) != ours.size()) return false;
    if (!std::equal(ours.begin(), ours.end(), theirs.begin())) return false;
    if (ours.empty()) return true;
  }
}

// wanted for 1, and NAME-n.EXT for n from 2: the number goes before the
// extension so that the file still opens as what it is.
std::string NumberedName(const std::string& wanted, int n) {
  if (n <= 1) return wanted;
  const size_t slash = wanted.find_last_of(kPathSeparators);
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = wanted.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) dot = wanted.size();
  return wanted.substr(0, dot) + "-" + std::to_string(n) + wanted.substr(dot);
}

// Writes the bytes to a new temporary file beside `wanted`, flushed to the
// disk; its name comes back in temporary.
bool WriteTemporary(const std::string& wanted, const SaveSource& source, std::string& temporary,
                    int& error) {
  SourceReader reader(source);
  if (!reader.Ok()) {
    error = reader.Error();
    return false;
  }
  // A name of its own, created with the umask's permissions as the file
  // will keep them (rescued chats are private when the user's files are).
  SystemFile file;
  std::random_device random;
  for (int attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.part", static_cast<unsigned>(random()));
    temporary = wanted + suffix;
    if (!file.CreateNew(temporary, error) && !IsNameTaken(error)) break;
  }
  if (!file.IsOpen()) return false;
  bool ok = true;
  for (std::span<const uint8_t> chunk; ok;) {
    if (!reader.Next(chunk)) {
      error = reader.Error();
      ok = false;
    } else if (chunk.empty()) {
      break;
    } else {
      ok = file.WriteAll(chunk, error);
    }
  }
  // A rescued file is only counted once it is on the disk.
  if (ok) ok = file.Flush(error);
  int closeError = 0;
  if (!file.Close(closeError) && ok) {
    error = closeError;
    ok = false;
  }
  if (!ok) RemoveName(temporary);
  return ok;
}

// Gives the finished file at `from` the name `to` unless something has it.
// 0 when done, a name-taken error when the name is taken, else the error.
// method moves on to the next way when the file system refuses one.
int ClaimName(const std::string& from, const std::string& to, ClaimMethod& method) {
  if (method == ClaimMethod::RenameNoReplace) {
    const int error = RenameWithoutReplacing(from, to);
    if (error == 0 || IsNameTaken(error) || !IsUnsupported(error)) return error;
    method = ClaimMethod::Link;
  }
  if (method == ClaimMethod::Link) {
    const int error = LinkName(from, to);
    if (error == 0) {
      RemoveName(from);
      return 0;
    }
    if (IsNameTaken(error) || !IsUnsupported(error)) return error;
    method = ClaimMethod::ExclusivePlaceholder;
  }
  // The name is taken by an empty file of our own, which the finished file
  // then replaces: only that placeholder is ever renamed over. It is closed
  // first, as a file that is open cannot be replaced everywhere.
  {
    SystemFile placeholder;
    int error = 0;
    if (!placeholder.CreateNew(to, error)) return error;
    placeholder.Close(error);
  }
  const int error = RenameReplacing(from, to);
  if (error != 0) RemoveName(to);
  return error;
}

}  // namespace

SavePlacement PlaceWithoutReplacing(const SaveSource& source, const std::string& wanted,
                                ClaimMethod method) {
  SavePlacement out;
  uint64_t size = 0;
  if (!SourceSize(source, size, out.Error)) return out;
  std::string staged;  // the finished file, waiting for its name
  bool stagedIsOurs = false;
  // Done: a source file is taken over; failed: only our own copy goes.
  auto finish = [&](bool saved) {
    if (stagedIsOurs && !saved) RemoveName(staged);
    if (saved && !source.File.empty() && (stagedIsOurs || out.AlreadyThere))
      RemoveName(source.File);
    out.Saved = saved;
    return out;
  };
  int taken = 0;  // names found free and then taken before ours could be
  for (int n = 1; n <= kMaxNameNumber; ++n) {
    const std::string name = NumberedName(wanted, n);
    PathType type = PathType::None;
    uint64_t theirSize = 0;
    if (!LookAtPath(name, false, type, theirSize, out.Error)) return finish(false);
    if (type != PathType::None) {
      if (!HoldsTheSameBytes(name, source, size)) continue;
      out.AlreadyThere = true;
      out.Path = name;
      out.Error = 0;
      return finish(true);
    }
    out.Error = 0;
    if (staged.empty()) {
      if (!source.File.empty()) {
        staged = source.File;
      } else if (!WriteTemporary(wanted, source, staged, out.Error)) {
        return finish(false);
      } else {
        stagedIsOurs = true;
      }
    }
    int error = ClaimName(staged, name, method);
    if (IsOtherVolume(error) && !stagedIsOurs) {
      // The bytes' file is on another file system: a copy beside the target.
      if (!WriteTemporary(wanted, source, staged, out.Error)) return finish(false);
      stagedIsOurs = true;
      error = ClaimName(staged, name, method);
    }
    if (error == 0) {
      out.Path = name;
      return finish(true);
    }
    if (IsNameTaken(error) && ++taken < kMaxNameNumber) {
      --n;  // taken meanwhile: look at what took it
      continue;
    }
    out.Error = error;
    return finish(false);
  }
  out.Error = NameTakenError();
  return finish(false);
}

std::string LetterName(int count, uint64_t value) {
  std::string name(static_cast<size_t>(std::max(count, 0)), 'A');
  for (int i = count - 1; i >= 0; --i) {
    name[static_cast<size_t>(i)] = static_cast<char>('A' + value % 26);
    value /= 26;
  }
  return name;
}

bool SaveWithoutReplacing(Session& s, const SaveSource& source, SavedFile& saved) {
  const std::string wanted = saved.Path;
  while (true) {
    SavePlacement placed = PlaceWithoutReplacing(source, wanted);
    if (placed.Saved) {
      saved.Path = placed.Path;
      saved.AlreadyThere = placed.AlreadyThere;
      if (placed.AlreadyThere) ++s.AlreadyThereCount;
      return true;
    }
    s.SaveError = SystemErrorText(placed.Error);
    Answer a = s.UI->Ask(s.Text(kSlotFailedSave) + wanted, s.Text(kSlotSaveCaption),
                         Buttons::AbortRetryIgnore);
    if (a == Answer::Retry) continue;
    if (a == Answer::Abort) {
      s.Flags.RunState = kStop;
      s.SaveAborted = true;
    }
    // Given up: the bytes' own file is not left behind in the folder.
    if (!source.File.empty()) RemoveName(source.File);
    return false;
  }
}

bool SaveBufferToFile(Session& s, std::span<const uint8_t> buffer, SavedFile& saved) {
  return SaveWithoutReplacing(s, SaveSource::InMemory(buffer), saved);
}

bool SaveBufferToFile(Session& s, std::span<const uint8_t> buffer, const std::string& path) {
  SavedFile saved;
  saved.Path = path;
  return SaveBufferToFile(s, buffer, saved);
}

std::string OutputName(const std::string& folder, uint64_t carveStart,
                       const std::string& extension) {
  return folder + "FILE_" + LetterName(8, carveStart / 512) + extension;
}

CarveContext::CarveContext(Session& session, uint64_t carveStart)
    : S(session), Bps(session.Scan.BytesPerSector), CarveStart(carveStart), ReadPos(carveStart) {}

namespace {

// Steps over claimed sectors from ReadPos on and claims the first free one;
// ReadPos is left on it. False past the end of the scan range.
bool ClaimNextFree(CarveContext& c) {
  Session& s = c.S;
  if (c.Bps == 0 || s.LastScanSector < 0) return false;
  const uint64_t last = static_cast<uint64_t>(s.LastScanSector);
  const uint64_t here = c.ReadPos / c.Bps;
  c.CurrentSector = here;
  if (here > last) return false;
  c.CurrentSector = s.Map.NextClear(here, last);
  c.ReadPos += (c.CurrentSector - here) * c.Bps;
  if (c.CurrentSector > last) return false;
  c.ClaimList.push_back(c.CurrentSector);
  s.Map.MarkSector(c.CurrentSector);
  return true;
}

}  // namespace

void ShowCarveProgress(CarveContext& c) {
  Session& s = c.S;
  s.UI->SetLabel(Dialog::Rescue, 3,
                 s.Text(kSlotSector) + std::to_string(c.CarveStart / c.Bps) + ", " +
                     std::to_string(c.ReadPos / c.Bps));
  s.UI->Pump();
}

bool ClaimUnreadSector(CarveContext& c) {
  if (!ClaimNextFree(c)) return false;
  c.ReadPos += c.Bps;
  if (c.S.RefreshDue()) ShowCarveProgress(c);
  return true;
}

void ClaimUnreadUpTo(CarveContext& c, uint64_t total) {
  for (uint64_t claimed = c.Bps; claimed < total; claimed += c.Bps) {
    if (!ClaimUnreadSector(c)) return;
  }
}

bool FetchSector(CarveContext& c) {
  Session& s = c.S;
  if (!ClaimNextFree(c)) return false;
  if (c.Buffer.size() < c.Collected + c.Bps) c.Buffer.resize(c.Collected + kBufferStep);
  if (ReadCached(s, c.Buffer.data() + c.Collected, c.Bps, c.ReadPos) > 0) {
    // An unreadable sector is zeros in a carve that takes them; the sector
    // was asked for and failed, so it is not a place the Source ended.
    const ReadFaults& faults = SourceFaults(s);
    if (!c.ZeroUnreadable || faults.SourceLost || !faults.Unreadable.Contains(c.CurrentSector))
      return false;
    c.UnreadableSectors.push_back(c.CurrentSector);
    c.ZeroedAt.push_back(c.Dropped + c.Collected);
  }
  c.ReadPos += c.Bps;
  c.Collected += c.Bps;
  if (s.RefreshDue()) ShowCarveProgress(c);
  return true;
}

std::vector<uint64_t> UnreadableInFile(const CarveContext& c) {
  const size_t sectors = static_cast<size_t>((c.Collected + c.Bps - 1) / c.Bps);
  std::vector<uint64_t> out;
  for (uint64_t n : c.UnreadableSectors) {
    auto it = std::find(c.ClaimList.begin(), c.ClaimList.end(), n);
    if (it != c.ClaimList.end() && static_cast<size_t>(it - c.ClaimList.begin()) < sectors)
      out.push_back(n);
  }
  return out;
}

bool ZeroedBetween(const CarveContext& c, uint64_t first, uint64_t end) {
  for (uint64_t at : c.ZeroedAt) {
    if (at < end && first < at + c.Bps) return true;
  }
  return false;
}

bool HoldsUnreadable(const CarveContext& c, uint64_t pos, uint64_t count) {
  return ZeroedBetween(c, c.Dropped + pos, c.Dropped + pos + count);
}

bool PastUnreadable(CarveContext& c, uint64_t pos, uint64_t& end) {
  end = (pos / c.Bps + 1) * c.Bps;
  while (true) {
    if (!ReadUntil(c, end + 1)) return false;
    if (!HoldsUnreadable(c, end, 1)) return true;
    end += c.Bps;
  }
}

bool ReadUntil(CarveContext& c, uint64_t target) {
  while (c.Collected < target) {
    if (!FetchSector(c)) return false;
  }
  return true;
}

bool ReadUntil32(CarveContext& c, int32_t target) {
  if (target <= 0) return true;
  if (!ReadUntil(c, static_cast<uint64_t>(target))) return false;
  return c.Collected <= static_cast<uint64_t>(INT32_MAX);
}

bool CarveFrame::Begin() {
  CarveContext& c = ctx_;
  Session& s = c.S;
  if (c.Bps == 0 || c.Bps > kMaxSectorSize) return false;
  const uint64_t start = c.StartSector();
  if (s.Map.IsSectorMarked(start)) return false;
  begun_ = true;
  c.ClaimList.push_back(start);
  s.Map.MarkSector(start);
  if (s.LastScanSector < 0 || start > static_cast<uint64_t>(s.LastScanSector)) return false;
  c.Buffer.resize(kFirstBuffer);
  if (ReadCached(s, c.Buffer.data(), c.Bps, c.CarveStart) > 0) return false;
  c.ReadPos = c.CarveStart + c.Bps;
  c.Collected = c.Bps;
  return true;
}

void CarveFrame::Succeed() {
  ctx_.Buffer.resize(static_cast<size_t>(ctx_.Collected));
  ctx_.ClaimList.clear();
}

void CarveFrame::SucceedAndSave(const std::string& folder, const std::string& extension) {
  CarveContext& c = ctx_;
  Session& s = c.S;
  c.Buffer.resize(static_cast<size_t>(c.Collected));
  if (!folder.empty()) {
    SavedFile saved;
    saved.Path = OutputName(folder, c.CarveStart, extension);
    saved.StartSector = c.StartSector();
    saved.Bytes = c.Collected;
    saved.Sectors = c.ClaimList;
    saved.Written = SaveBufferToFile(s, c.Buffer, saved);
    saved.UnreadableSectors = UnreadableInFile(c);
    // A file that could not be saved is not rescued.
    if (saved.Written)
      ++s.RescuedCount;
    else
      ++s.UnsavedCount;
    if (s.OnFileSaved) s.OnFileSaved(saved);
  }
  c.ClaimList.clear();
}

void CarveFrame::ClaimClusterRest() {
  CarveContext& c = ctx_;
  Session& s = c.S;
  const uint32_t spc = s.Scan.SectorsPerCluster;
  if (spc <= 1) return;
  const uint64_t lastSector = s.Scan.LastSector;
  const int64_t phase = s.ScanClusterPhase;
  for (uint64_t t = c.ReadPos / c.Bps; t <= lastSector && lastSector != UINT64_MAX; ++t) {
    int64_t r = (static_cast<int64_t>(t % spc) - phase % static_cast<int64_t>(spc)) % spc;
    if (r < 0) r += spc;
    if (r == 0) break;
    s.Map.MarkSector(t);
  }
}

CarveFrame::~CarveFrame() {
  if (!begun_) return;
  Session& s = ctx_.S;
  if (!ctx_.ClaimList.empty()) {
    for (uint64_t sector : ctx_.ClaimList) s.Map.UnmarkSector(sector);
  } else {
    ClaimClusterRest();
  }
}

}  // namespace tarnwick
