#include "carvers/pdf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <string_view>

#include "carvers/framework.h"
#include "carvers/qq_database.h"
#include "source/device.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::CarveSession;
using test::Marked;
using test::RandomBytes;
using test::ReadFileBytes;
using test::SectorRun;
using Sectors = std::vector<uint64_t>;

// Random filler without line ends, so that what follows a document never
// extends its last line; the file's 512-byte pieces go into the given sectors.
std::vector<uint8_t> Image(uint64_t sectors, const std::vector<uint8_t>& file, const Sectors& at) {
  std::vector<uint8_t> img = RandomBytes(sectors * 512, 31);
  for (auto& b : img)
    if (b == 10 || b == 13) b = 0;
  for (size_t k = 0; k * 512 < file.size(); ++k) {
    size_t n = std::min<size_t>(512, file.size() - k * 512);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * 512), n,
                img.begin() + static_cast<std::ptrdiff_t>(at.at(k) * 512));
  }
  return img;
}

// The sectors holding the file's bytes, then the rest of the last one's cluster.
Sectors Extent(const Sectors& at, uint64_t fileSize, uint32_t spc = 1, int64_t phase = 0) {
  Sectors out(at.begin(), at.begin() + static_cast<std::ptrdiff_t>((fileSize + 511) / 512));
  for (uint64_t t = out.back() + 1; spc > 1 && (static_cast<int64_t>(t) - phase) % spc != 0; ++t)
    out.push_back(t);
  return out;
}

std::string Text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }
std::vector<uint8_t> Bytes(const std::string& t) {
  return std::vector<uint8_t>(t.begin(), t.end());
}

// The number after the last occurrence of key in the text.
uint64_t NumberAfter(const std::string& text, const std::string& key) {
  size_t at = text.rfind(key);
  EXPECT_NE(at, std::string::npos) << key;
  return std::stoull(text.substr(at + key.size(), 24));
}

class PdfCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
  }

  // A document written by qpdf: four pages and an attached file of random
  // bytes, then rewritten with the options; qpdf --check must pass it.
  static std::vector<uint8_t> Qpdf(const std::string& options, size_t attachment = 200'000) {
    test::TempDir dir("pdf");
    const std::string d = test::ShellQuote(dir.Path().string());
    test::WriteFileBytes(dir / "skel.pdf",
                         Bytes("%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                               "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
                               "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                               "/Contents 4 0 R >>\nendobj\n"
                               "4 0 obj\n<< /Length 37 >>\nstream\nBT /F1 24 Tf 72 700 Td (Hello) "
                               "Tj ET\nendstream\nendobj\n"
                               "trailer\n<< /Root 1 0 R /Size 5 >>\n%%EOF\n"));
    test::WriteFileBytes(dir / "data.bin", RandomBytes(attachment, 3));
    // The skeleton has no cross-reference table; qpdf rebuilds it (status 3: warnings).
    auto r = test::Run(
        "cd " + d + " && { qpdf skel.pdf --pages skel.pdf 1,1,1,1 -- pages.pdf; [ $? -le 3 ]; }" +
        " && qpdf pages.pdf --add-attachment data.bin -- base.pdf" + " && qpdf " + options +
        " base.pdf out.pdf && qpdf --check out.pdf");
    EXPECT_EQ(r.Status, 0) << r.Err;
    return ReadFileBytes(dir / "out.pdf");
  }

  static std::vector<uint8_t> Empty() {
    test::TempDir dir("pdf");
    auto r = test::Run("qpdf --empty " + test::ShellQuote((dir / "e.pdf").string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    return ReadFileBytes(dir / "e.pdf");
  }

  // True when qpdf reads the bytes as a sound document.
  static bool Checks(const std::vector<uint8_t>& pdf) {
    test::TempDir dir("pdf-check");
    test::WriteFileBytes(dir / "x.pdf", pdf);
    return test::Run("qpdf --check " + test::ShellQuote((dir / "x.pdf").string())).Status == 0;
  }

  static Sectors CarveAt(std::vector<uint8_t> img, uint64_t start, uint32_t spc = 1,
                         int32_t phase = 0, int64_t lastScan = -1) {
    auto s = CarveSession(std::move(img), spc, phase);
    if (lastScan >= 0) s->LastScanSector = lastScan;
    CarvePdf(*s, "", start * 512);
    return Marked(*s);
  }
};

TEST_F(PdfCarver, QpdfDocumentsAreClaimedToTheirLastByte) {
  struct Case {
    const char* what;
    std::vector<uint8_t> pdf;
  };
  std::vector<Case> cases = {
      {"empty", Empty()},
      {"plain", Qpdf("")},
      {"linearized", Qpdf("--linearize")},
      {"object streams", Qpdf("--object-streams=generate")},
      {"linearized with object streams", Qpdf("--linearize --object-streams=generate")},
  };
  // The linearized documents open with a trailer whose startxref is 0.
  ASSERT_NE(Text(cases[2].pdf).find("startxref\n0\n%%EOF"), std::string::npos);
  for (const auto& c : cases) {
    const uint64_t n = (c.pdf.size() + 511) / 512;
    for (auto [spc, phase] : {std::pair<uint32_t, int32_t>{1, 0}, {8, 0}, {8, 5}}) {
      const uint64_t start = 40 + static_cast<uint64_t>(phase);
      EXPECT_EQ(CarveAt(Image(start + n + 20, c.pdf, SectorRun(start, n)), start, spc, phase),
                Extent(SectorRun(start, n), c.pdf.size(), spc, phase))
          << c.what << " spc " << spc << " phase " << phase;
    }
  }
}

TEST_F(PdfCarver, TheSectorReadToRuleOutXrefIsGivenBack) {
  // Line ends after "%%EOF" belong to the document; padded with them to the
  // end of a sector, it leaves its four test bytes in the next sector.
  auto pdf = Qpdf("");
  pdf.resize((pdf.size() / 512 + 1) * 512, '\n');
  const uint64_t n = pdf.size() / 512;
  auto img = Image(n + 40, pdf, SectorRun(10, n));
  EXPECT_EQ(CarveAt(img, 10), SectorRun(10, n));
  // With claimed sectors behind it, the sector fetched and given back is the
  // next free one; the cluster is then completed from there.
  auto s = CarveSession(img, 4, 2);
  for (uint64_t t = 10 + n; t < 10 + n + 3; ++t) s->Map.MarkSector(t);
  CarvePdf(*s, "", 10 * 512);
  Sectors expected = SectorRun(10, n + 3);
  for (uint64_t t = 10 + n + 3; (t - 2) % 4 != 0; ++t) expected.push_back(t);
  EXPECT_EQ(Marked(*s), expected);
  // Two bytes before the scan range ends are too few to rule out "xref";
  // four are enough.
  for (auto [room, claimed] : {std::pair<size_t, bool>{2, false}, {4, true}}) {
    auto cut = pdf;
    cut.resize(pdf.size() - room);
    auto t = CarveSession(Image(n + 40, cut, SectorRun(10, n)));
    t->LastScanSector = static_cast<int64_t>(10 + n - 1);
    CarvePdf(*t, "", 10 * 512);
    EXPECT_EQ(Marked(*t), claimed ? SectorRun(10, n) : Sectors{}) << room;
  }
}

TEST_F(PdfCarver, ADocumentIsFollowedAcrossForeignSectors) {
  auto pdf = Qpdf("--object-streams=generate", 700'000);
  // Line ends after "%%EOF" put the document's end 100 bytes into a sector,
  // so that its four test bytes lie in the same sector.
  pdf.resize(pdf.size() / 512 * 512 + 612, '\n');
  const uint64_t n = (pdf.size() + 511) / 512;
  Sectors at, foreign;
  for (uint64_t sector = 64; at.size() < n; ++sector) {
    bool other = (sector >= 70 && sector < 90) || (sector % 333 == 0) ||
                 (sector >= 64 + n - 3 && sector < 64 + n + 5);
    (other ? foreign : at).push_back(sector);
  }
  auto s = CarveSession(Image(at.back() + 10, pdf, at), 8, 0);
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarvePdf(*s, "", 64 * 512);
  Sectors expected = Extent(at, pdf.size(), 8, 0);
  expected.insert(expected.end(), foreign.begin(), foreign.end());
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  EXPECT_EQ(Marked(*s), expected);
}

TEST_F(PdfCarver, UpdateSectionsStartingWithXrefOrAnObjectAreFollowed) {
  // Two incremental updates appended by hand to qpdf's document, each
  // checked by qpdf: one adds an object before its cross-reference section,
  // the other is a cross-reference section and trailer alone.
  auto base = Qpdf("");
  // Line ends after its "%%EOF" take the first part close to a sector's end,
  // so that either update ends in a later sector.
  base.resize(base.size() / 512 * 512 + 1000, '\n');
  const std::string text = Text(base);
  const uint64_t prev = NumberAfter(text, "startxref\n");
  const uint64_t size = NumberAfter(text, "/Size ");
  ASSERT_EQ(NumberAfter(text, "/Root "), 1u);
  const std::string objectHead =
      std::to_string(size) + " 0 obj\n<< /Title (Second edition) >>\nendobj\n";
  std::string withObject =
      text + objectHead + "xref\n0 1\n0000000000 65535 f \n" + std::to_string(size) + " 1\n";
  char entry[32];
  std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", base.size());
  withObject += std::string(entry) + "trailer\n<< /Size " + std::to_string(size + 1) +
                " /Root 1 0 R /Info " + std::to_string(size) + " 0 R /Prev " +
                std::to_string(prev) + " >>\nstartxref\n" +
                std::to_string(base.size() + objectHead.size()) + "\n%%EOF\n";
  const std::string xrefOnly = text + "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size " +
                               std::to_string(size) + " /Root 1 0 R /Prev " + std::to_string(prev) +
                               " >>\nstartxref\n" + std::to_string(base.size()) + "\n%%EOF\n";
  ASSERT_TRUE(Checks(Bytes(withObject)));
  ASSERT_TRUE(Checks(Bytes(xrefOnly)));

  const auto xref = Bytes(xrefOnly);
  const uint64_t nx = (xref.size() + 511) / 512;
  EXPECT_EQ(CarveAt(Image(nx + 20, xref, SectorRun(6, nx)), 6), SectorRun(6, nx));
  const auto obj = Bytes(withObject);
  const uint64_t no = (obj.size() + 511) / 512;
  EXPECT_EQ(CarveAt(Image(no + 20, obj, SectorRun(6, no)), 6), SectorRun(6, no));
  // Text after "%%EOF" that only looks like the start of an object ends
  // the document there.
  for (const char* after : {"12 0 R\n", "7 0 objection\n", "12345678901 0 obj\n", "x 0 obj\n"}) {
    const auto other = Bytes(text + after);
    const uint64_t n = (other.size() + 511) / 512;
    EXPECT_EQ(CarveAt(Image(n + 20, other, SectorRun(6, n)), 6),
              SectorRun(6, (base.size() + 511) / 512))
        << after;
  }
}

// An update whose cross-reference is a stream, as PDF 1.5 writers append
// it: an object, then the cross-reference stream object, then the trailer
// keywords without a "trailer" dictionary.
TEST_F(PdfCarver, AnUpdateWithACrossReferenceStreamIsFollowed) {
  auto base = Qpdf("--object-streams=generate");
  const std::string text = Text(base);
  ASSERT_NE(text.find("/XRef"), std::string::npos) << "qpdf wrote a cross-reference stream";
  const uint64_t prev = NumberAfter(text, "startxref\n");
  const uint64_t size = NumberAfter(text, "/Size ");
  std::string info = std::to_string(size) + " 0 obj\n<< /Title (Second edition) >>\nendobj\n";
  const uint64_t infoAt = base.size();
  const uint64_t xrefAt = infoAt + info.size();
  // Entries of 1 + 4 + 1 bytes: type, offset, generation; for the new
  // object and for the stream itself.
  std::string entries;
  for (uint64_t at : {infoAt, xrefAt}) {
    entries += '\x01';
    for (int k = 3; k >= 0; --k) entries += static_cast<char>((at >> (8 * k)) & 0xFF);
    entries += '\x00';
  }
  const std::string root = text.substr(text.rfind("/Root "), 12);
  std::string xref = std::to_string(size + 1) + " 0 obj\n<< /Type /XRef /Size " +
                     std::to_string(size + 2) + " /Index [" + std::to_string(size) +
                     " 2] /W [1 4 1] " + root.substr(0, root.find(" R", 6) + 2) + " /Info " +
                     std::to_string(size) + " 0 R /Prev " + std::to_string(prev) + " /Length " +
                     std::to_string(entries.size()) + " >>\nstream\n" + entries +
                     "\nendstream\nendobj\nstartxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
  const auto updated = Bytes(text + info + xref);
  ASSERT_TRUE(Checks(updated));
  const uint64_t n = (updated.size() + 511) / 512;
  EXPECT_EQ(CarveAt(Image(n + 20, updated, SectorRun(6, n)), 6), SectorRun(6, n));
  // Before the update was appended the document ended at its first "%%EOF".
  const uint64_t b = (base.size() + 511) / 512;
  EXPECT_EQ(CarveAt(Image(b + 20, base, SectorRun(6, b)), 6), SectorRun(6, b));
}

TEST_F(PdfCarver, DocumentsThatDoNotEndFailAndGiveEverySectorBack) {
  const auto pdf = Qpdf("");
  const std::string text = Text(pdf);
  const size_t trailer = text.rfind("startxref\n");
  const size_t number = trailer + 10;
  const size_t eof = text.rfind("\n%%EOF");
  struct Case {
    const char* what;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"no signature", "%PDF+" + text.substr(5)},
      {"startxref then a space", text.substr(0, trailer) + "startxref " + text.substr(number)},
      {"offset 0", text.substr(0, number) + "0" + text.substr(eof)},
      {"offset not a number", text.substr(0, number) + "12a4" + text.substr(eof)},
      {"%%EOF in lower case", text.substr(0, eof) + "\n%%eof\n"},
  };
  for (const auto& c : cases) {
    const auto bytes = Bytes(c.bytes);
    const uint64_t n = (bytes.size() + 511) / 512;
    EXPECT_TRUE(CarveAt(Image(n + 30, bytes, SectorRun(3, n)), 3, 8, 0).empty()) << c.what;
  }
  const uint64_t n = (pdf.size() + 511) / 512;
  // The scan range ends before the final "%%EOF".
  EXPECT_TRUE(
      CarveAt(Image(n + 30, pdf, SectorRun(3, n)), 3, 1, 0, static_cast<int64_t>(n)).empty());
  // An unreadable sector inside the document is zeros in it.
  auto s = test::EnglishSession();
  OpenImageDevice(*s,
                  std::make_unique<FaultyDevice>(
                      std::make_unique<MemoryDevice>(Image(n + 30, pdf, SectorRun(3, n))),
                      std::set<uint64_t>{3 + n / 2}),
                  "bad.img");
  s->Scan.SectorsPerCluster = 1;
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.Allocate(s->Scan.LastSector);
  CarvePdf(*s, "", 3 * 512);
  EXPECT_EQ(Marked(*s), SectorRun(3, n));
  // A claimed start is left alone.
  auto t = CarveSession(Image(n + 30, pdf, SectorRun(3, n)));
  t->Map.MarkSector(3);
  CarvePdf(*t, "", 3 * 512);
  EXPECT_EQ(Marked(*t), Sectors{3});
}

TEST(PdfScanner, TheCollectedBytesStopAtThreeHundredMebibytes) {
  // A document of one long line and a trailer whose four test bytes end at
  // exactly 314,572,800 collected bytes, or one byte later.
  constexpr size_t kLimit = 314'572'800;
  const std::string tail = "\nstartxref\n1234\n%%EOF\n";
  for (size_t testEnd : {kLimit, kLimit + 1}) {
    std::vector<uint8_t> img(kLimit + 4096, 'a');
    const std::string head = "%PDF-1.7\n%scanned from byte 20";
    std::copy(head.begin(), head.end(), img.begin());
    std::copy(tail.begin(), tail.end(),
              img.begin() + static_cast<std::ptrdiff_t>(testEnd - 4 - tail.size()));
    auto s = CarveSession(std::move(img));
    CarvePdf(*s, "", 0);
    EXPECT_EQ(s->Map.IsSectorMarked(0), testEnd == kLimit);
    EXPECT_EQ(s->Map.IsSectorMarked(kLimit / 512 - 1), testEnd == kLimit);
    EXPECT_FALSE(s->Map.IsSectorMarked(kLimit / 512));
  }
}

TEST_F(PdfCarver, ADatabaseAroundADocumentIsRescuedByteForByte) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  test::TempDir dir("qq");
  test::WriteFileBytes(dir / "Matrix.dat", RandomBytes(300'000, 21));
  test::WriteFileBytes(dir / "seqbase.dat", RandomBytes(50'000, 22));
  auto r = test::Run("cd " + test::ShellQuote(dir.Path().string()) +
                     " && gsf createole qq.db Matrix.dat seqbase.dat");
  ASSERT_EQ(r.Status, 0) << r.Err;
  const auto db = ReadFileBytes(dir / "qq.db");
  const auto pdf = Qpdf("--linearize");
  const uint64_t dbSectors = db.size() / 512, pdfSectors = (pdf.size() + 511) / 512;
  for (uint32_t spc : {1u, 8u}) {
    const uint64_t pdfSpan = (pdfSectors + spc - 1) / spc * spc;
    const uint64_t base = 8, head = 96;
    Sectors dbAt = SectorRun(base, head);
    Sectors rest = SectorRun(base + head + pdfSpan, dbSectors - head);
    dbAt.insert(dbAt.end(), rest.begin(), rest.end());
    auto img = Image(base + dbSectors + pdfSpan + 16, db, dbAt);
    std::copy(pdf.begin(), pdf.end(),
              img.begin() + static_cast<std::ptrdiff_t>((base + head) * 512));
    for (bool carveDocument : {true, false}) {
      test::TempDir out("qq-out");
      const std::string folder = out.Path().string() + "/";
      auto s = CarveSession(img, spc, 0);
      if (carveDocument) CarvePdf(*s, "", (base + head) * 512);
      CarveQQDatabase(*s, folder, base * 512);
      const auto name = OutputName(folder, base * 512, ".DB");
      const bool whole = fs::exists(name) && ReadFileBytes(name) == db;
      EXPECT_EQ(whole, carveDocument) << "spc " << spc;
    }
  }
}

}  // namespace
}  // namespace tarnwick
