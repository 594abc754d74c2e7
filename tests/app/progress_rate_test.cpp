// The rate and time left that the progress line and the search dialog show.
#include "app/progress_rate.h"

#include <gtest/gtest.h>

#include "app/results_texts.h"

namespace tarnwick {
namespace {

TEST(ProgressRate, RateAndTimeLeftFromTheSectorsDoneAndTheTimeGone) {
  ProgressRate r;
  r.Restart(1000, 1000 + 4'000'000, 512);
  EXPECT_EQ(r.Text(Language::English), "");
  r.At(0, 0);  // the label's "Sector: 0" before the loop: below the range, not a start
  r.At(1000, 200);
  r.At(1000 + 200'000, 200 + ProgressRate::kMinimumMs - 1);
  EXPECT_FALSE(r.BytesPerSecond()) << "too soon to say";
  // 1,000,000 sectors of 512 bytes in 2 s: 256 MB/s; 3,000,000 sectors left: 6 s.
  r.At(1000 + 1'000'000, 2200);
  ASSERT_TRUE(r.BytesPerSecond());
  EXPECT_DOUBLE_EQ(*r.BytesPerSecond(), 256e6);
  EXPECT_EQ(r.SecondsLeft(), 6u);
  EXPECT_EQ(r.Text(Language::English), "256.0 MB/s, 0:06 left");
  EXPECT_EQ(r.Text(Language::SimplifiedChinese), "256.0 MB/秒，剩余 0:06");
  EXPECT_EQ(r.Text(Language::TraditionalChinese), "256.0 MB/秒，剩餘 0:06");

  // A new stretch forgets the old one.
  r.Restart(0, 100, 4096);
  EXPECT_FALSE(r.BytesPerSecond());
}

TEST(ProgressRate, ALoopThatWalksBackwardsShowsNoRate) {
  ProgressRate r;
  r.Restart(0, 1'000'000, 512);
  r.At(900'000, 0);
  r.At(800'000, 2000);
  r.At(950'000, 4000);
  EXPECT_FALSE(r.BytesPerSecond());
  EXPECT_EQ(r.Text(Language::English), "");
}

TEST(ProgressRate, NoProgressHasARateButNoTimeLeft) {
  ProgressRate r;
  r.Restart(0, 1'000'000, 512);
  r.At(10, 0);
  r.At(10, 5000);
  EXPECT_EQ(r.BytesPerSecond(), 0.0);
  EXPECT_FALSE(r.SecondsLeft());
  EXPECT_EQ(r.Text(Language::English), "0.0 MB/s");
  // At the last sector nothing is left.
  r.At(1'000'000, 6000);
  EXPECT_EQ(r.SecondsLeft(), 0u);
}

TEST(ProgressRate, DurationsNumbersAndTexts) {
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(62), "1:02");
  EXPECT_EQ(FormatDuration(3599), "59:59");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
  EXPECT_EQ(FormatDuration(100 * 3600), "100:00:00");
  EXPECT_EQ(FormatMegabytesPerSecond(123456789), "123.5");
  EXPECT_EQ(TrailingNumber("Sector: 1234"), 1234u);
  EXPECT_EQ(TrailingNumber("扇区：18446744073709551"), 18446744073709551u);
  EXPECT_FALSE(TrailingNumber("Sector: "));
  EXPECT_FALSE(TrailingNumber(""));
  EXPECT_FALSE(TrailingNumber("99999999999999999999")) << "more digits than 64 bits hold";
  EXPECT_EQ(FillIn("%1 MB/s, %2 left", "1.5", "0:09"), "1.5 MB/s, 0:09 left");
  EXPECT_EQ(FillIn("100%", "x"), "100%");
  for (Language l :
       {Language::English, Language::SimplifiedChinese, Language::TraditionalChinese}) {
    for (int t = 0; t < static_cast<int>(ResultsText::Count); ++t)
      EXPECT_FALSE(ResultsTextFor(l, static_cast<ResultsText>(t)).empty()) << t;
  }
}

}  // namespace
}  // namespace tarnwick
