#include "app/results_texts.h"

#include <array>

namespace tarnwick {

namespace {

constexpr size_t kCount = static_cast<size_t>(ResultsText::Count);
using Table = std::array<std::string_view, kCount>;

constexpr Table kEnglish = {
    "%1 MB/s, %2 left",
    "%1 MB/s",
    "Rescued files",
    "Name",
    "Size",
    "Contacts",
    "Groups",
    "Verdict",
    "Whole",
    "Damaged",
    "Not a compound file",
    "Cannot be read",
    "Double-click a file to open its folder.",
    "Close",
    "Broken streams: ",
};

constexpr Table kSimplified = {
    "%1 MB/秒，剩余 %2",
    "%1 MB/秒",
    "已恢复的文件",
    "名称",
    "大小",
    "联系人",
    "群",
    "检查结果",
    "完整",
    "已损坏",
    "不是复合文件",
    "无法读取",
    "双击文件可打开其所在文件夹。",
    "关闭",
    "损坏的数据流：",
};

constexpr Table kTraditional = {
    "%1 MB/秒，剩餘 %2",
    "%1 MB/秒",
    "已恢復的檔案",
    "名稱",
    "大小",
    "聯絡人",
    "群組",
    "檢查結果",
    "完整",
    "已損壞",
    "不是複合檔案",
    "無法讀取",
    "按兩下檔案可開啟其所在資料夾。",
    "關閉",
    "損壞的資料流：",
};

}  // namespace

std::string_view ResultsTextFor(Language language, ResultsText text) {
  const size_t i = static_cast<size_t>(text);
  if (i >= kCount) return {};
  switch (language) {
    case Language::SimplifiedChinese: return kSimplified[i];
    case Language::TraditionalChinese: return kTraditional[i];
    case Language::English: break;
  }
  return kEnglish[i];
}

std::string FillIn(std::string_view text, const std::string& first, const std::string& second) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == '1' || text[i + 1] == '2')) {
      out += text[i + 1] == '1' ? first : second;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace tarnwick
