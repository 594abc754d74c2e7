#pragma once
// The interface texts in three languages, and the font that goes with each.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

enum class Language { English, SimplifiedChinese, TraditionalChinese };

constexpr int kFaceTextCount = 89;

struct FaceTexts {
  Language language;
  std::array<std::string_view, kFaceTextCount> slots;  // UTF-8; empty slots empty
  std::string_view uiFontName;

  std::string_view operator[](int slot) const {
    return slot >= 0 && slot < kFaceTextCount ? slots[static_cast<size_t>(slot)]
                                              : std::string_view{};
  }
  std::string Text(int slot) const { return std::string((*this)[slot]); }
};

const FaceTexts& TextsFor(Language language);

// The code page the locale stands for: 936 (zh_CN, zh_SG), 950 (zh_TW, zh_HK,
// zh_MO) or 437. Looks at LC_ALL, LC_MESSAGES and LANG in that order.
unsigned OemCodePageFromEnvironment();
// The code page that one locale name (e.g. "zh_TW.UTF-8") stands for.
unsigned CodePageForLocale(std::string_view locale);
// 936 selects Simplified Chinese, 950 Traditional Chinese, anything else English.
Language LanguageForCodePage(unsigned codePage);
// TARNWICK_LANG (zh_CN, zh_TW, en) when set, else the locale's code page.
Language ChooseLanguage();
// What a TARNWICK_LANG value asks for; nothing for an unknown or empty value.
std::optional<Language> LanguageOverride(std::string_view value);

}  // namespace tarnwick
