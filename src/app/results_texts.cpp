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
    "Uncertain streams (pieces placed by a guess): ",
    "Intact streams: ",
    "The source stopped answering (%1): the scan ended early. Files rescued before that are "
    "kept.",
    "the device is gone",
    "a sector that read before no longer reads",
    "not one read of it has succeeded",
    "1 file could not be saved (%1).",
    "%1 files could not be saved (%2).",
    "Unreadable sectors: %1 in %2 runs: %3.",
    "Sectors passed over after read failures and never read: %1 (%2).",
    " and %1 more runs",
    "Damaged file %1 (in damaged/)",
    "The search was stopped at sector %1 (%2 searched): sectors %1 to %3 were not searched, "
    "and nothing on them was found.",
    "The rescue was stopped after %1 of the %2 file starts found; the rest, from sector %3 on, "
    "were not carved.",
    "Already in the folder, not written again: %1",
    "Original location",
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
    "不确定的数据流（部分片段为推测位置）：",
    "完好的数据流：",
    "源设备已停止响应（%1）：扫描提前结束。此前恢复的文件均已保留。",
    "设备已不存在",
    "此前能读取的扇区现在无法读取",
    "没有一次读取成功",
    "1 个文件无法保存（%1）。",
    "%1 个文件无法保存（%2）。",
    "无法读取的扇区：%1 个，共 %2 段：%3。",
    "读取失败后跳过、未再读取的扇区：%1 个（%2）。",
    "，另有 %1 段",
    "损坏文件 %1 (保存在 damaged/)",
    "搜索已在扇区 %1 处停止（已搜索 %2）：扇区 %1 至 %3 未被搜索，其中的文件未被找到。",
    "恢复已在处理找到的 %2 个文件起点中的 %1 个后停止；其余的（自扇区 %3 起）未被恢复。",
    "已在文件夹中、未再次写入：%1",
    "原始位置",
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
    "不確定的資料流（部分片段為推測位置）：",
    "完好的資料流：",
    "來源裝置已停止回應（%1）：掃描提前結束。此前恢復的檔案均已保留。",
    "裝置已不存在",
    "先前能讀取的磁區現在無法讀取",
    "沒有一次讀取成功",
    "1 個檔案無法儲存（%1）。",
    "%1 個檔案無法儲存（%2）。",
    "無法讀取的磁區：%1 個，共 %2 段：%3。",
    "讀取失敗後跳過、未再讀取的磁區：%1 個（%2）。",
    "，另有 %1 段",
    "損壞檔案 %1 (儲存在 damaged/)",
    "搜尋已在磁區 %1 處停止（已搜尋 %2）：磁區 %1 至 %3 未被搜尋，其中的檔案未被找到。",
    "恢復已在處理找到的 %2 個檔案起點中的 %1 個後停止；其餘的（自磁區 %3 起）未被恢復。",
    "已在資料夾中、未再次寫入：%1",
    "原始位置",
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

std::string FillIn(std::string_view text, const std::string& first, const std::string& second,
                   const std::string& third) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (text[i] == '%' && next >= '1' && next <= '3') {
      out += next == '1' ? first : next == '2' ? second : third;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace tarnwick
