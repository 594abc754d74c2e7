#include "app/thumb_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/session.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using List = std::vector<int64_t>;

void WriteText(const std::filesystem::path& p, const std::string& text) {
  test::WriteFileBytes(p, std::vector<uint8_t>(text.begin(), text.end()));
}

TEST(ThumbSpc, EmptyLineEndsTheList) {
  EXPECT_EQ(ThumbSizeListFromText("160x120;small\r\n\r\n640x480\r\n"), (List{19200}));
  EXPECT_EQ(ThumbSizeListFromText("160x120\n   \n640x480\n"), (List{19200}));
  EXPECT_EQ(ThumbSizeListFromText("\n160x120\n"), List{});
}

TEST(ThumbSpc, LineIsTrimmedBeforeTheCommentIsCut) {
  // The blank before ";" stays after the "*" and the line does not convert.
  EXPECT_EQ(ThumbSizeListFromText("160x120 ;small\n320x240\n"), (List{76800}));
  EXPECT_EQ(ThumbSizeListFromText("  \t320x240  \n"), (List{76800}));
  // A comment-only line is no empty line: reading goes on.
  EXPECT_EQ(ThumbSizeListFromText(";thumbnails\n100x100\n"), (List{10000}));
}

TEST(ThumbSpc, ValuesOfEachLineForm) {
  EXPECT_EQ(ThumbSizeListFromText("1000\r\n160*120\r\n64x64;icon\r\n"), (List{1000, 19200, 4096}));
  // Not numbers, not positive, or an "X" instead of "x": skipped.
  EXPECT_EQ(ThumbSizeListFromText("abc\n0\n-5\n0x100\n160X120\n8x8\n"), (List{64}));
  // Malformed parts around the "x" are skipped, the reading goes on.
  EXPECT_EQ(ThumbSizeListFromText("16 0x120\n160x 120\nx120\n160x\n2x3x4\n1.5x2\n7x7\n"),
            (List{49}));
  // Only the first "x" becomes the product sign.
  EXPECT_EQ(ThumbSizeListFromText("2x3x4\n"), List{});
  // Both factors negative make a positive product.
  EXPECT_EQ(ThumbSizeListFromText("-4x-5\n"), (List{20}));
  // Products that do not fit are skipped rather than wrapped.
  EXPECT_EQ(ThumbSizeListFromText("4294967296x4294967296\n9223372036854775808\n3x3"), (List{9}));
  // Line ends of every kind.
  EXPECT_EQ(ThumbSizeListFromText("1x2\r3x4\n5x6\r\n7x8"), (List{2, 12, 30, 56}));
}

TEST(ThumbSiz, FirstLineAsDecimal) {
  EXPECT_EQ(ThumbPixelLimitFromText("4096\r\n99\r\n"), 4096);
  EXPECT_EQ(ThumbPixelLimitFromText("-7"), -7);
  EXPECT_EQ(ThumbPixelLimitFromText("abc\n5\n"), -1);
  EXPECT_EQ(ThumbPixelLimitFromText("12 pixels"), -1);
  EXPECT_EQ(ThumbPixelLimitFromText(""), -1);
  EXPECT_EQ(ThumbPixelLimitFromText("\n5\n"), -1);
}

TEST(ThumbSettings, ParseDecimal) {
  EXPECT_EQ(ParseDecimal("0"), 0);
  EXPECT_EQ(ParseDecimal("+12"), 12);
  EXPECT_EQ(ParseDecimal("-12"), -12);
  EXPECT_EQ(ParseDecimal("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ParseDecimal("-9223372036854775808"), INT64_MIN);
  EXPECT_FALSE(ParseDecimal("9223372036854775808"));
  EXPECT_FALSE(ParseDecimal(""));
  EXPECT_FALSE(ParseDecimal("-"));
  EXPECT_FALSE(ParseDecimal(" 1"));
  EXPECT_FALSE(ParseDecimal("1 "));
  EXPECT_FALSE(ParseDecimal("0x10"));
}

TEST(ThumbSettings, FilesInAFolderFillTheSession) {
  test::TempDir dir("thumbs");
  Session s;
  s.ThumbPixelLimit = 5;
  s.ThumbSizeList = List{1};
  LoadThumbSettings(s, dir.Path().string() + "/");
  EXPECT_EQ(s.ThumbPixelLimit, -1);
  EXPECT_FALSE(s.ThumbSizeList.has_value());

  WriteText(dir / kThumbSizFileName, "30000\r\n");
  WriteText(dir / kThumbSpcFileName, "160x120;small\r\n\r\n640x480\r\n");
  LoadThumbSettings(s, dir.Path().string());
  EXPECT_EQ(s.ThumbPixelLimit, 30000);
  ASSERT_TRUE(s.ThumbSizeList.has_value());
  EXPECT_EQ(*s.ThumbSizeList, (List{19200}));

  // An existing but empty ThumbSpc.ini still makes an (empty) list.
  WriteText(dir / kThumbSpcFileName, "");
  WriteText(dir / kThumbSizFileName, "many");
  LoadThumbSettings(s, dir.Path().string());
  EXPECT_EQ(s.ThumbPixelLimit, -1);
  ASSERT_TRUE(s.ThumbSizeList.has_value());
  EXPECT_TRUE(s.ThumbSizeList->empty());
  EXPECT_EQ(ReadThumbSizeList((dir / "absent").string()), std::nullopt);
}

}  // namespace
}  // namespace tarnwick
