#include "app/branding.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <thread>

#include "app/text_lines.h"
#include "app/tzlb.h"
#include "source/file_io.h"
#ifdef _WIN32
#include "source/windows_device.h"
#endif

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

bool IsBlankOrControl(char c) {
  auto u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F;
}

std::string Trimmed(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlankOrControl(s[b])) ++b;
  while (e > b && IsBlankOrControl(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

// The string that starts at pos; pos moves past its terminator (or to the end).
std::string_view NextString(std::string_view data, size_t& pos) {
  if (pos >= data.size()) return {};
  size_t zero = data.find('\0', pos);
  size_t end = zero == std::string_view::npos ? data.size() : zero;
  std::string_view s = data.substr(pos, end - pos);
  pos = zero == std::string_view::npos ? data.size() : zero + 1;
  return s;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  auto st = fs::status(PathOf(path), ec);
  return !ec && fs::exists(st) && !fs::is_directory(st);
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
  std::string bytes, reason;
  if (!ReadFileBytes(path, bytes, reason)) return std::nullopt;
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

bool ParseBrandingData(std::string_view data, BrandingRecord& record) {
  size_t pos = 0;
  for (int i = 0; i < kBrandingStringIndex; ++i) NextString(data, pos);
  std::vector<std::string_view> lines = SplitLines(NextString(data, pos));
  if (lines.size() < 4) return false;
  record.BrandingTitle = Trimmed(lines[0]);
  record.SecondText = Trimmed(lines[1]);
  record.ThirdText = Trimmed(lines[2]);
  record.BrandingUrl = Trimmed(lines[3]);
  return true;
}

bool ReadBrandingFile(const std::string& path, BrandingRecord& record, const BrandingOpener& open,
                      const BrandingPause& pause) {
  if (!FileExists(path)) return false;
  const BrandingOpener& opener = open ? open : BrandingOpener(ReadWholeFile);
  std::optional<std::vector<uint8_t>> content = opener(path);
  for (int retry = 0; !content && retry < kBrandingOpenRetries; ++retry) {
    if (pause)
      pause(kBrandingRetryPause);
    else
      std::this_thread::sleep_for(kBrandingRetryPause);
    content = opener(path);
  }
  if (!content) return false;

  TZLB zlib;
  zlib.Decompress(content->data(), content->size());
  const auto& out = zlib.Output().Bytes();
  std::string_view data(reinterpret_cast<const char*>(out.data()), out.size());
  return ParseBrandingData(data, record);
}

StartupResult StartupOutcome(const std::string& path, const BrandingOpener& open,
                             const BrandingPause& pause) {
  StartupResult result;
  try {
    result.Action = ReadBrandingFile(path, result.Branding, open, pause)
                        ? StartupAction::Run
                        : StartupAction::ShowSlot34AndExit;
  } catch (const EZlibError& e) {
    result.Action = StartupAction::DecompressionError;
    result.ErrorMessage = e.what();
  }
  return result;
}

std::string MainWindowTitle(const BrandingRecord& branding, const FaceTexts& texts) {
  if (branding.BrandingTitle.empty()) return texts.Text(1);
  return branding.BrandingTitle + texts.Text(75);
}

std::string ExecutableFolder() {
#ifdef _WIN32
  std::wstring exe(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0) return "./";
    if (n < exe.size()) {
      exe.resize(n);
      break;
    }
    exe.resize(exe.size() * 2);
  }
  std::string folder = NarrowText(exe.substr(0, exe.find_last_of(L"\\/")));
#else
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string folder = TextOf(exe.parent_path());
#endif
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace tarnwick
