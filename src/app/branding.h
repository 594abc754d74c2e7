#pragma once
// The branding file Tarnwick.dll beside the executable: one zlib stream of
// zero-terminated strings whose 46th holds four lines (title prefix, two
// further texts, the link shown in the status bar). Start-up refuses to run
// without it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/face_texts.h"

namespace tarnwick {

inline constexpr const char* kBrandingFileName = "Tarnwick.dll";
inline constexpr int kBrandingStringIndex = 45;  // zero-based: the 46th string
inline constexpr int kBrandingOpenRetries = 10;  // further tries after the first
inline constexpr std::chrono::milliseconds kBrandingRetryPause{100};

struct BrandingRecord {
  std::string BrandingTitle;
  std::string SecondText;
  std::string ThirdText;
  std::string BrandingUrl;
};

// Reads a whole file; nothing when it cannot be opened or read.
using BrandingOpener = std::function<std::optional<std::vector<uint8_t>>(const std::string& path)>;
using BrandingPause = std::function<void(std::chrono::milliseconds)>;

// The default opener: a read-only open and a read of the whole file.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

// Fills the record from the branding file. False when the file is missing,
// cannot be opened after the retries, or its 46th string has fewer than four
// lines (the record is then left as it was). A content that is not a zlib
// stream throws EZlibError: start-up reports it and ends.
bool ReadBrandingFile(const std::string& path, BrandingRecord& record,
                      const BrandingOpener& open = ReadWholeFile, const BrandingPause& pause = {});

// Parses decompressed branding data (the zero-terminated strings).
bool ParseBrandingData(std::string_view data, BrandingRecord& record);

// What start-up does after reading the branding file.
enum class StartupAction {
  Run,                // show the main window and run
  ShowSlot34AndExit,  // plain message box with FaceTexts slot 34, then end
  DecompressionError  // the zlib error's report, then end; the window never shows
};

struct StartupResult {
  StartupAction Action = StartupAction::ShowSlot34AndExit;
  BrandingRecord Branding;
  std::string ErrorMessage;  // zlib's message for DecompressionError
};

StartupResult StartupOutcome(const std::string& path, const BrandingOpener& open = ReadWholeFile,
                             const BrandingPause& pause = {});

// The main window's title: BrandingTitle followed by slot 75, or slot 1 when
// there is no branding title.
std::string MainWindowTitle(const BrandingRecord& branding, const FaceTexts& texts);

// The folder of the running executable, ending in "/".
std::string ExecutableFolder();

}  // namespace tarnwick
