// The whole rescue over damaged volumes made by the real formatters: boot
// sectors, allocation tables, bitmaps and directories with flipped bytes or
// extreme fields, volumes cut shorter than their boot sector says. Opening,
// identification, the free-space map, the search and every carver must get
// through each of them and end with a result. Run under the address
// sanitizer (scripts/test does) this also catches any read outside a buffer.
#include <gtest/gtest.h>

#include <random>

#include "carvers/media_support.h"
#include "scan/deep_scan.h"
#include "source/bytes.h"
#include "support/recording_frontend.h"

namespace tarnwick {
namespace {

using namespace test::media;

// Files of a few kinds copied onto a FAT volume, some deleted again.
std::string FillFat() {
  return Noise("a.bin", 23000) + " && " + Noise("Matrix.dat", 40000) + " && " +
         Noise("seqbase.dat", 9000) +
         " && gsf createole Msg.db Matrix.dat seqbase.dat"
         " && convert -seed 3 -size 120x90 plasma:fractal p.jpg"
         " && convert -seed 4 -size 50x40 plasma:fractal p.png"
         " && mcopy -i \"$OUT\" a.bin Msg.db p.jpg p.png :: && mdel -i \"$OUT\" ::a.bin ::Msg.db";
}

struct Volume {
  std::string Name;
  std::vector<uint8_t> Bytes;
};

std::vector<Volume> Volumes() {
  std::vector<Volume> v;
  auto add = [&v](const std::string& name, std::vector<uint8_t> bytes) {
    if (!bytes.empty()) v.push_back({name, std::move(bytes)});
  };
  add("FAT12",
      Made("hostile-fat12.img", "mkfs.vfat -C -F 12 \"$OUT\" 2048 >/dev/null && " + FillFat()));
  add("FAT16", Made("hostile-fat16.img",
                    "mkfs.vfat -C -F 16 -s 4 \"$OUT\" 16384 >/dev/null && " + FillFat()));
  auto fat32 = Made("hostile-fat32.img",
                    "mkfs.vfat -C -F 32 -s 1 \"$OUT\" 34000 >/dev/null && " + FillFat());
  if (fat32.size() > 0x40) {
    // Entry 1 as Windows writes it, so that the free-space map reads this FAT.
    const size_t fat = static_cast<size_t>(LE16(fat32, 14)) * LE16(fat32, 11);
    std::fill_n(fat32.begin() + static_cast<std::ptrdiff_t>(fat + 4), 4, 0xFF);
  }
  add("FAT32", fat32);
  add("NTFS", Made("hostile-ntfs.img",
                   "truncate -s 12M \"$OUT\" && mkfs.ntfs -F -f -q -c 1024 \"$OUT\" >/dev/null"));
  add("exFAT",
      Made("hostile-exfat.img", "truncate -s 8M \"$OUT\" && mkfs.exfat \"$OUT\" >/dev/null"));
  add("HFS", Made("hostile-hfs.img",
                  "dd if=/dev/zero of=\"$OUT\" bs=1024 count=4096 status=none && hformat -l x "
                  "\"$OUT\" >/dev/null"));
  return v;
}

void Damage(std::vector<uint8_t>& img, std::mt19937& rng) {
  auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
  // Most damage goes where the file system keeps its structures.
  const size_t head = std::min<size_t>(img.size(), 256 * 1024);
  switch (rng() % 4) {
    case 0:
      for (int k = 1 + static_cast<int>(rng() % 6); k > 0; --k)
        img[pick(512)] ^= static_cast<uint8_t>(1 + rng() % 255);
      break;
    case 1:
      for (int k = 1 + static_cast<int>(rng() % 40); k > 0; --k)
        img[pick(head)] ^= static_cast<uint8_t>(1 + rng() % 255);
      break;
    case 2: {
      static constexpr uint32_t kExtremes[] = {0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFF};
      const uint32_t x = kExtremes[rng() % std::size(kExtremes)];
      const size_t at = pick(rng() % 2 ? 508 : head - 4);
      for (int i = 0; i < 4; ++i)
        img[at + static_cast<size_t>(i)] = static_cast<uint8_t>(x >> (8 * i));
      break;
    }
    default:
      for (int k = 1 + static_cast<int>(rng() % 30); k > 0; --k)
        img[pick(img.size())] ^= static_cast<uint8_t>(1 + rng() % 255);
  }
  // Sometimes the volume is cut short of what its boot sector says.
  if (rng() % 5 == 0) img.resize(std::max<size_t>(4096, img.size() / (2 + rng() % 8)) / 512 * 512);
}

TEST(HostileVolumes, EveryStepGetsThroughDamagedFileSystems) {
  for (const char* tool :
       {"mkfs.vfat", "mcopy", "mkfs.ntfs", "mkfs.exfat", "hformat", "gsf", "convert"})
    if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  const auto volumes = Volumes();
  ASSERT_EQ(volumes.size(), 6u);
  std::mt19937 rng(808);
  int opened = 0, scanned = 0;
  for (const Volume& volume : volumes) {
    for (int round = 0; round < 24; ++round) {
      SCOPED_TRACE(volume.Name + ", round " + std::to_string(round));
      auto img = volume.Bytes;
      if (round > 0) Damage(img, rng);
      auto s = test::EnglishSession();
      test::RecordingFrontend ui;
      s->SetFrontend(&ui);
      ui.OnPump = [&s] { s->Flags.ElapsedMs += 200; };
      OpenOutcome o = OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::move(img)), "d.img");
      if (!o.Opened) continue;
      ++opened;
      RescueBoxes boxes;
      boxes.Reason = o.ReasonIndex;
      boxes.Fs = o.FsIndex;
      boxes.Cluster = o.ClusterIndex;
      test::TempDir out("hostile-volume");
      ScanRequest request;
      request.FolderText = out.Path().string();
      request.FirstText = o.FirstSectorText;
      request.LastText = o.LastSectorText;
      request.FreeOnly = o.FreeOnlyEnabled && rng() % 2 == 0;
      ScanOutcome r = DeepScan(*s, boxes, request);
      if (r.ErrorSlot != 0) continue;
      ++scanned;
      EXPECT_FALSE(r.EndText.empty());
      const size_t written = WrittenFiles(out.Path()).size();
      EXPECT_LE(written, r.FoundCount);
      // Undamaged, a FAT volume gives its deleted database back.
      if (round == 0 && volume.Name.rfind("FAT", 0) == 0) {
        EXPECT_EQ(written, 1u);
      }
    }
  }
  // Damage must not make most volumes unusable: the test would then prove little.
  EXPECT_GT(scanned, 6 * 24 / 2) << opened << " opened";
}

}  // namespace
}  // namespace tarnwick
