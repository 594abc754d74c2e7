// The three interface text tables. Slot numbers are shared by all three; a
// slot that a language leaves empty is an empty view. Texts are UTF-8 here:
// GBK and Big5 were only how the tables used to be stored.
#include "app/face_texts.h"

#include <cstdlib>
#include <span>
#include <utility>

namespace tarnwick {

namespace {

using Entry = std::pair<int, std::string_view>;

constexpr Entry kEnglish[] = {
    {1, "Tarnwick 1.78"},
    {2, "Open Drive"},
    {3, "Open IMG file"},
    {4, "Close"},
    {5, "Sector:"},
    {6, "Goto"},
    {7, "File Type:"},
    {8, "Save files to:"},
    {9, "Browse"},
    {10, "Tidying up the list"},
    {11, "Previous file system:"},
    {12, "Cluster Size:"},
    {13, "Scan Range:"},
    {14, "Start Rescue"},
    {15, "Backup to IMG file"},
    {16, "Failed to open drive!"},
    {17, "Error"},
    {18, "Total Sectors: "},
    {19, "Invalid sector range!"},
    {20, "Please select file type to rescue!"},
    {21, "Please select folder to save file!"},
    {22, "Dest folder can't be on source drive!"},
    {23, "invalid sector range!"},
    {24, "Rescuing file"},
    {25, "Success: "},
    {26, "Scaned: "},
    {27, "Rescued file "},
    {28, "Failed save file: \r\n\r\n"},
    {29, "Finished"},
    {34, "The file \"Tarnwick.dll\" error, program breaked!"},
    {35, "Invalid sector range!"},
    {36, "Can't save IMG file on source drive!"},
    {37, "Backup to IMG"},
    {38, "Creating IMG file..."},
    {39, "Wait a moment"},
    {40, "No enough free space on dest drive!"},
    {41, "Sector: "},
    {42, "Percent: "},
    {43, "Error: "},
    {44, "Didn't finish, delete target file?"},
    {45, "Prompt"},
    {46, "Finished! There're some bad sectors."},
    {47, "Finished!"},
    {48, "Failed to open file!"},
    {49, "Searching file"},
    {50, "Sector: "},
    {51, "Percent: "},
    {52, "Found: "},
    {53, "Pause"},
    {54, "Stop"},
    {55, "Cancel"},
    {56, "Rescue File"},
    {57, "File List:"},
    {58, "Preview:"},
    {59, "Close"},
    {60,
     "Simple steps: 1. Select drive; 2. Open drive; 3. Select folder to store rescued files; 4. "
     "Select the reason of losing file; 5. Start rescue."},
    {61, "Error"},
    {62, "More >>"},
    {63, "Failed to get parameters"},
    {65, "Progress: "},
    {66, "Reason:"},
    {67, "Deleted or Disappeared"},
    {68, "Formatted"},
    {69, "Repartitioned"},
    {70, "Unknown file system, not support this option!"},
    {75, "1.78"},
    {77, "Source:"},
    {78, "Lost data on drive:"},
    {83, "View Folder"},
    {84, "Opened: "},
    {85, "Scan free space only"},
    {86, "Sector Size: "},
    {87, "Collecting free sectors"},
    {88, "No enough memory!"},
};

constexpr Entry kSimplifiedChinese[] = {
    {1, "Tarnwick1.78"},
    {2, "打开分区"},
    {3, "打开映像文件"},
    {4, "关闭"},
    {5, "扇区:"},
    {6, "转到"},
    {7, "文件类型:"},
    {8, "恢复文件保存到:"},
    {9, "浏览"},
    {10, "正在整理列表"},
    {11, "原文件系统:"},
    {12, "簇大小:"},
    {13, "扫描扇区范围:"},
    {14, "开始恢复"},
    {15, "备份到映像文件"},
    {16, "打开分区失败!"},
    {17, "错误"},
    {18, "扇区总数: "},
    {19, "超出有效扇区范围!"},
    {20, "请选择要恢复的文件类型!"},
    {21, "请设置恢复文件保存的路径!"},
    {22, "恢复文件保存的路径不得在源文件同一分区!"},
    {23, "扫描扇区范围无效!"},
    {24, "正在恢复文件"},
    {25, "恢复成功: "},
    {26, "已扫描: "},
    {27, "成功恢复文件 "},
    {28, "保存文件失败: \r\n\r\n"},
    {29, "恢复结束"},
    {34, "文件\"Tarnwick.dll\"错误, 程序中止运行!"},
    {35, "备份扇区范围无效!"},
    {36, "备份文件不能保存到源分区上!"},
    {37, "备份到映像文件"},
    {38, "正在创建映像文件..."},
    {39, "请稍等"},
    {40, "目标分区空间不足!"},
    {41, "扇区: "},
    {42, "百分比: "},
    {43, "错误: "},
    {44, "备份未完成，是否删除目标文件?"},
    {45, "提示"},
    {46, "备份结束! 有部分扇区读取失败."},
    {47, "备份完成!"},
    {48, "打开文件失败!"},
    {49, "正在搜索文件"},
    {50, "扇区: "},
    {51, "百分比: "},
    {52, "找到文件: "},
    {53, "暂停"},
    {54, "停止"},
    {55, "取消"},
    {56, "恢复文件"},
    {57, "文件列表:"},
    {58, "预览:"},
    {59, "关闭"},
    {60,
     "基本操作: 1. 选择分区; 2. 打开分区; 3. 指定保存文件夹; 4. 选择文件丢失原因; 5. 开始恢复; 6. "
     "查看文件夹."},
    {61, "错误"},
    {62, "更多功能>>"},
    {63, "获取分区参数失败"},
    {65, "进度: "},
    {66, "原因:"},
    {67, "删除或自动消失"},
    {68, "格式化"},
    {69, "重新分区"},
    {70, "未知分区类型, 不支持该选项!"},
    {75, "1.78"},
    {77, "源盘: "},
    {78, "丢失数据的分区:"},
    {83, "查看文件夹"},
    {84, "已打开: "},
    {85, "仅扫描未分配的空间"},
    {86, "扇区大小: "},
    {87, "正在收集未分配的空间"},
    {88, "内存空间不足!"},
};

constexpr Entry kTraditionalChinese[] = {
    {1, "Tarnwick1.78"},
    {2, "打開分區"},
    {3, "打開映像文件"},
    {4, "關閉"},
    {5, "扇區:"},
    {6, "轉到"},
    {7, "檔案類型:"},
    {8, "恢復文件保存到:"},
    {9, "瀏覽"},
    {10, "正在整理清單"},
    {11, "原檔案系統:"},
    {12, "簇大小:"},
    {13, "掃描扇區范圍:"},
    {14, "開始恢復"},
    {15, "備份到映像文件"},
    {16, "打開分區失敗!"},
    {17, "錯誤"},
    {18, "扇區總數: "},
    {19, "超出有效扇區范圍!"},
    {20, "請選擇要恢復的文件類型!"},
    {21, "請設置恢復文件保存的路徑!"},
    {22, "恢復文件保存的路徑不得在源文件同一分區!"},
    {23, "掃描扇區范圍無效!"},
    {24, "正在恢復文件"},
    {25, "恢復成功: "},
    {26, "已掃描: "},
    {27, "成功恢復文件 "},
    {28, "儲存檔案失敗: \r\n\r\n"},
    {29, "恢復結束"},
    {34, "文件\"Tarnwick.dll\"錯誤, 程序中止運行!"},
    {35, "備份扇區范圍無效!"},
    {36, "備份文件不能保存到源分區上!"},
    {37, "備份到映像文件"},
    {38, "正在創建映像文件..."},
    {39, "請稍等"},
    {40, "目標分區空間不足!"},
    {41, "扇區: "},
    {42, "百分比: "},
    {43, "錯誤: "},
    {44, "備份未完成，是否刪除目標文件?"},
    {45, "提示"},
    {46, "備份結束! 有部分扇區讀取失敗."},
    {47, "備份完成!"},
    {48, "打開文件失敗!"},
    {49, "正在搜索文件"},
    {50, "扇區: "},
    {51, "百分比: "},
    {52, "找到文件: "},
    {53, "暫停"},
    {54, "停止"},
    {55, "取消"},
    {56, "恢復文件"},
    {57, "文件列表:"},
    {58, "預覽:"},
    {59, "關閉"},
    {60,
     "基本操作: 1. 選擇分區; 2. 打開分區; 3. 指定保存文件夾; 4. 選擇文件丟失原因; 5. 開始恢復; 6. "
     "查看資料夾."},
    {61, "錯誤"},
    {62, "更多功能>>"},
    {63, "獲取分區參數失敗"},
    {65, "進度: "},
    {66, "原因:"},
    {67, "刪除或自動消失"},
    {68, "格式化"},
    {69, "重新分區"},
    {70, "未知分區類型, 不支持該選項!"},
    {75, "1.78"},
    {77, "源盤:"},
    {78, "丟失數據的分區:"},
    {83, "查看資料夾"},
    {84, "已打開: "},
    {85, "僅掃描未分配的空間"},
    {86, "扇區大小: "},
    {87, "正在收集未分配的空間"},
    {88, "記憶體空間不足!"},
};

FaceTexts MakeTable(Language language, std::string_view font, std::span<const Entry> entries) {
  FaceTexts t{language, {}, font};
  for (const auto& [slot, text] : entries) t.slots[static_cast<size_t>(slot)] = text;
  return t;
}

const FaceTexts& EnglishTexts() {
  static const FaceTexts table = MakeTable(Language::English, "Tahoma", kEnglish);
  return table;
}

const FaceTexts& SimplifiedChineseTexts() {
  static const FaceTexts table = MakeTable(Language::SimplifiedChinese, "宋体", kSimplifiedChinese);
  return table;
}

const FaceTexts& TraditionalChineseTexts() {
  static const FaceTexts table =
      MakeTable(Language::TraditionalChinese, "細明體", kTraditionalChinese);
  return table;
}

// True when a locale name is the given language_territory, alone or followed
// by a code set (".UTF-8") or a modifier ("@...").
bool LocaleIs(std::string_view locale, std::string_view name) {
  if (locale.substr(0, name.size()) != name) return false;
  return locale.size() == name.size() || locale[name.size()] == '.' || locale[name.size()] == '@';
}

std::string_view Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string_view(v) : std::string_view{};
}

}  // namespace

const FaceTexts& TextsFor(Language language) {
  switch (language) {
    case Language::SimplifiedChinese: return SimplifiedChineseTexts();
    case Language::TraditionalChinese: return TraditionalChineseTexts();
    case Language::English: break;
  }
  return EnglishTexts();
}

unsigned CodePageForLocale(std::string_view locale) {
  for (std::string_view name : {"zh_CN", "zh_SG"})
    if (LocaleIs(locale, name)) return 936;
  for (std::string_view name : {"zh_TW", "zh_HK", "zh_MO"})
    if (LocaleIs(locale, name)) return 950;
  return 437;
}

unsigned OemCodePageFromEnvironment() {
  // The first of these that is set and not empty decides, as in setlocale.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string_view v = Env(name);
    if (!v.empty()) return CodePageForLocale(v);
  }
  return 437;
}

Language LanguageForCodePage(unsigned codePage) {
  if (codePage == 936) return Language::SimplifiedChinese;
  if (codePage == 950) return Language::TraditionalChinese;
  return Language::English;
}

std::optional<Language> LanguageOverride(std::string_view value) {
  if (value == "zh_CN") return Language::SimplifiedChinese;
  if (value == "zh_TW") return Language::TraditionalChinese;
  if (value == "en") return Language::English;
  return std::nullopt;
}

Language ChooseLanguage() {
  if (auto chosen = LanguageOverride(Env("TARNWICK_LANG"))) return *chosen;
  return LanguageForCodePage(OemCodePageFromEnvironment());
}

}  // namespace tarnwick
