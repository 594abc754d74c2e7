#include "app/face_texts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {
namespace {

const std::set<int> kEmptySlots = {0, 30, 31, 32, 33, 64, 71, 72, 73, 74, 76, 79, 80, 81, 82};

struct Expected {
  int slot;
  const char* en;
  const char* cn;
  const char* tw;
};

// A sample across the table, typed from the text list rather than copied
// from the tables under test.
const Expected kSample[] = {
    {1, "Tarnwick 1.78", "Tarnwick1.78", "Tarnwick1.78"},
    {2, "Open Drive", "打开分区", "打開分區"},
    {7, "File Type:", "文件类型:", "檔案類型:"},
    {12, "Cluster Size:", "簇大小:", "簇大小:"},
    {13, "Scan Range:", "扫描扇区范围:", "掃描扇區范圍:"},
    {16, "Failed to open drive!", "打开分区失败!", "打開分區失敗!"},
    {17, "Error", "错误", "錯誤"},
    {18, "Total Sectors: ", "扇区总数: ", "扇區總數: "},
    {19, "Invalid sector range!", "超出有效扇区范围!", "超出有效扇區范圍!"},
    {22, "Dest folder can't be on source drive!", "恢复文件保存的路径不得在源文件同一分区!",
     "恢復文件保存的路徑不得在源文件同一分區!"},
    {23, "invalid sector range!", "扫描扇区范围无效!", "掃描扇區范圍無效!"},
    {26, "Scaned: ", "已扫描: ", "已掃描: "},
    {27, "Rescued file ", "成功恢复文件 ", "成功恢復文件 "},
    {28, "Failed save file: \r\n\r\n", "保存文件失败: \r\n\r\n", "儲存檔案失敗: \r\n\r\n"},
    {29, "Finished", "恢复结束", "恢復結束"},
    {35, "Invalid sector range!", "备份扇区范围无效!", "備份扇區范圍無效!"},
    {38, "Creating IMG file...", "正在创建映像文件...", "正在創建映像文件..."},
    {44, "Didn't finish, delete target file?", "备份未完成，是否删除目标文件?",
     "備份未完成，是否刪除目標文件?"},
    {46, "Finished! There're some bad sectors.", "备份结束! 有部分扇区读取失败.",
     "備份結束! 有部分扇區讀取失敗."},
    {50, "Sector: ", "扇区: ", "扇區: "},
    {52, "Found: ", "找到文件: ", "找到文件: "},
    {55, "Cancel", "取消", "取消"},
    {59, "Close", "关闭", "關閉"},
    {60,
     "Simple steps: 1. Select drive; 2. Open drive; 3. Select folder to store rescued files; 4. "
     "Select the reason of losing file; 5. Start rescue.",
     "基本操作: 1. 选择分区; 2. 打开分区; 3. 指定保存文件夹; 4. 选择文件丢失原因; 5. 开始恢复; 6. "
     "查看文件夹.",
     "基本操作: 1. 選擇分區; 2. 打開分區; 3. 指定保存文件夾; 4. 選擇文件丟失原因; 5. 開始恢復; 6. "
     "查看資料夾."},
    {62, "More >>", "更多功能>>", "更多功能>>"},
    {63, "Failed to get parameters", "获取分区参数失败", "獲取分區參數失敗"},
    {65, "Progress: ", "进度: ", "進度: "},
    {67, "Deleted or Disappeared", "删除或自动消失", "刪除或自動消失"},
    {70, "Unknown file system, not support this option!", "未知分区类型, 不支持该选项!",
     "未知分區類型, 不支持該選項!"},
    {75, "1.78", "1.78", "1.78"},
    {77, "Source:", "源盘: ", "源盤:"},
    {78, "Lost data on drive:", "丢失数据的分区:", "丟失數據的分區:"},
    {83, "View Folder", "查看文件夹", "查看資料夾"},
    {85, "Scan free space only", "仅扫描未分配的空间", "僅掃描未分配的空間"},
    {87, "Collecting free sectors", "正在收集未分配的空间", "正在收集未分配的空間"},
    {88, "No enough memory!", "内存空间不足!", "記憶體空間不足!"},
};

TEST(FaceTexts, SampleSlotsMatchInAllThreeLanguages) {
  const FaceTexts& en = TextsFor(Language::English);
  const FaceTexts& cn = TextsFor(Language::SimplifiedChinese);
  const FaceTexts& tw = TextsFor(Language::TraditionalChinese);
  for (const Expected& e : kSample) {
    SCOPED_TRACE("slot " + std::to_string(e.slot));
    EXPECT_EQ(en[e.slot], e.en);
    EXPECT_EQ(cn[e.slot], e.cn);
    EXPECT_EQ(tw[e.slot], e.tw);
  }
}

TEST(FaceTexts, EmptySlotsAreTheSameInEveryLanguage) {
  for (Language lang :
       {Language::English, Language::SimplifiedChinese, Language::TraditionalChinese}) {
    const FaceTexts& t = TextsFor(lang);
    EXPECT_EQ(t.language, lang);
    int filled = 0;
    for (int slot = 0; slot < kFaceTextCount; ++slot) {
      bool empty = t[slot].empty();
      EXPECT_EQ(empty, kEmptySlots.count(slot) == 1) << "slot " << slot;
      filled += empty ? 0 : 1;
    }
    EXPECT_EQ(filled, 74);
    EXPECT_TRUE(t[-1].empty());
    EXPECT_TRUE(t[kFaceTextCount].empty());
  }
}

TEST(FaceTexts, Slot34AndLineBreaksAreExact) {
  EXPECT_EQ(TextsFor(Language::English).Text(34),
            "The file \"Tarnwick.dll\" error, program breaked!");
  EXPECT_EQ(TextsFor(Language::SimplifiedChinese).Text(34),
            "文件\"Tarnwick.dll\"错误, 程序中止运行!");
  EXPECT_EQ(TextsFor(Language::TraditionalChinese).Text(34),
            "文件\"Tarnwick.dll\"錯誤, 程序中止運行!");
  // Slot 28 ends in two real CR LF pairs.
  std::string s = TextsFor(Language::English).Text(28);
  ASSERT_GE(s.size(), 4u);
  EXPECT_EQ(s.substr(s.size() - 4), std::string("\x0d\x0a\x0d\x0a"));
  EXPECT_EQ(s.find('\\'), std::string::npos);
}

TEST(FaceTexts, EnglishIsAsciiAndChineseIsValidUtf8) {
  for (int slot = 0; slot < kFaceTextCount; ++slot)
    for (unsigned char c : TextsFor(Language::English)[slot]) EXPECT_LT(c, 0x80) << slot;
  // Every Chinese text is well-formed UTF-8 (no GBK or Big5 bytes left).
  for (Language lang : {Language::SimplifiedChinese, Language::TraditionalChinese}) {
    for (int slot = 0; slot < kFaceTextCount; ++slot) {
      std::string_view t = TextsFor(lang)[slot];
      for (size_t i = 0; i < t.size();) {
        auto c = static_cast<unsigned char>(t[i]);
        size_t n = c < 0x80           ? 1
                   : (c >> 5) == 0x6  ? 2
                   : (c >> 4) == 0xE  ? 3
                   : (c >> 3) == 0x1E ? 4
                                      : 0;
        ASSERT_NE(n, 0u) << "slot " << slot;
        ASSERT_LE(i + n, t.size()) << "slot " << slot;
        for (size_t k = 1; k < n; ++k)
          ASSERT_EQ(static_cast<unsigned char>(t[i + k]) >> 6, 0x2) << "slot " << slot;
        i += n;
      }
    }
  }
}

TEST(FaceTexts, FontNames) {
  EXPECT_EQ(TextsFor(Language::English).uiFontName, "Tahoma");
  EXPECT_EQ(TextsFor(Language::SimplifiedChinese).uiFontName, "\xE5\xAE\x8B\xE4\xBD\x93");  // 宋体
  EXPECT_EQ(TextsFor(Language::TraditionalChinese).uiFontName,
            "\xE7\xB4\xB0\xE6\x98\x8E\xE9\xAB\x94");  // 細明體
}

TEST(LanguageChoice, CodePages) {
  EXPECT_EQ(LanguageForCodePage(936), Language::SimplifiedChinese);
  EXPECT_EQ(LanguageForCodePage(950), Language::TraditionalChinese);
  EXPECT_EQ(LanguageForCodePage(437), Language::English);
  EXPECT_EQ(LanguageForCodePage(932), Language::English);
  EXPECT_EQ(LanguageForCodePage(0), Language::English);

  EXPECT_EQ(CodePageForLocale("zh_CN"), 936u);
  EXPECT_EQ(CodePageForLocale("zh_CN.UTF-8"), 936u);
  EXPECT_EQ(CodePageForLocale("zh_CN.GB18030"), 936u);
  EXPECT_EQ(CodePageForLocale("zh_SG.UTF-8"), 936u);
  EXPECT_EQ(CodePageForLocale("zh_TW.Big5"), 950u);
  EXPECT_EQ(CodePageForLocale("zh_HK.UTF-8"), 950u);
  EXPECT_EQ(CodePageForLocale("zh_MO"), 950u);
  EXPECT_EQ(CodePageForLocale("zh_TW@stroke"), 950u);
  EXPECT_EQ(CodePageForLocale("ja_JP.UTF-8"), 437u);
  EXPECT_EQ(CodePageForLocale("en_US.UTF-8"), 437u);
  EXPECT_EQ(CodePageForLocale("C"), 437u);
  EXPECT_EQ(CodePageForLocale("zh"), 437u);
  EXPECT_EQ(CodePageForLocale("zh_CNX"), 437u);
  EXPECT_EQ(CodePageForLocale(""), 437u);
}

// Sets or clears environment variables for one test and puts them back after.
class ScopedEnv {
 public:
  void Set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(LanguageChoice, LocaleVariablesInOrder) {
  ScopedEnv env;
  env.Set("TARNWICK_LANG", nullptr);
  env.Set("LC_ALL", nullptr);
  env.Set("LC_MESSAGES", nullptr);
  env.Set("LANG", nullptr);
  EXPECT_EQ(OemCodePageFromEnvironment(), 437u);

  env.Set("LANG", "zh_TW.UTF-8");
  EXPECT_EQ(OemCodePageFromEnvironment(), 950u);
  EXPECT_EQ(ChooseLanguage(), Language::TraditionalChinese);

  env.Set("LC_MESSAGES", "zh_CN.UTF-8");
  EXPECT_EQ(OemCodePageFromEnvironment(), 936u);

  // An empty variable does not decide; the next one does.
  env.Set("LC_ALL", "");
  EXPECT_EQ(OemCodePageFromEnvironment(), 936u);

  env.Set("LC_ALL", "C.UTF-8");
  EXPECT_EQ(OemCodePageFromEnvironment(), 437u);
  EXPECT_EQ(ChooseLanguage(), Language::English);
}

TEST(LanguageChoice, TarnwickLangOverridesTheLocale) {
  ScopedEnv env;
  env.Set("LC_ALL", "zh_CN.UTF-8");
  env.Set("TARNWICK_LANG", "en");
  EXPECT_EQ(ChooseLanguage(), Language::English);
  env.Set("TARNWICK_LANG", "zh_TW");
  EXPECT_EQ(ChooseLanguage(), Language::TraditionalChinese);
  env.Set("LC_ALL", "en_US.UTF-8");
  env.Set("TARNWICK_LANG", "zh_CN");
  EXPECT_EQ(ChooseLanguage(), Language::SimplifiedChinese);
  // An unknown value leaves the choice to the locale.
  env.Set("TARNWICK_LANG", "fr");
  EXPECT_EQ(ChooseLanguage(), Language::English);
  env.Set("LC_ALL", "zh_HK.UTF-8");
  env.Set("TARNWICK_LANG", "");
  EXPECT_EQ(ChooseLanguage(), Language::TraditionalChinese);
}

}  // namespace
}  // namespace tarnwick
