// The results view after a rescue and the search dialog's rate, offscreen.
#include "app/gui/results_view.h"

#include <QApplication>
#include <QTest>
#include <filesystem>

#include "app/gui/progress_dialogs.h"
#include "app/gui/qt_frontend.h"
#include "app/gui/tform1.h"
#include "cli/cli_support.h"
#include "scan/session.h"

namespace tarnwick::gui {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

// Answers every question with OK and remembers what it was asked to open.
class OpeningFrontend final : public QtFrontend {
 public:
  Answer Ask(const std::string&, const std::string&, Buttons b) override {
    return b == Buttons::YesNo ? Answer::No
                               : (b == Buttons::AbortRetryIgnore ? Answer::Ignore : Answer::Ok);
  }
  void OpenUrl(const QUrl& url) override { opened.push_back(url.toLocalFile()); }
  std::vector<QString> opened;
};

struct Window {
  explicit Window(const fs::path& exeFolder)
      : form(session, ui, exeFolder.string() + "/", EmptyTree()),
        form2(session.Flags),
        form3(session.Flags) {
    ui.Attach(&form, &form2, &form3);
    session.SetFrontend(&ui);
    form.ApplyTexts();
  }
  ~Window() { session.SetFrontend(nullptr); }
  static BlockTree EmptyTree() {
    BlockTree t;
    t.SysClassBlock = "/nonexistent/block";
    return t;
  }
  Session session;
  OpeningFrontend ui;
  TForm1 form;
  TForm2 form2;
  TForm3 form3;
};

QString Text(QTableWidget* t, int row, int column) { return t->item(row, column)->text(); }

}  // namespace

class ResultsViewTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void ARescueEndsWithItsFilesListed();
  void DamagedAndUnreadableFilesSaySo();
  void TheSearchDialogShowsItsRate();

 private:
  test::TempDir tmp_{"gui-results"};
};

void ResultsViewTest::ARescueEndsWithItsFilesListed() {
  for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "gsf"})
    if (!test::HaveTool(tool)) QSKIP("mtools, mkfs.vfat or gsf missing");
  const fs::path db = test::MakeCompound(tmp_.Path(), "MSG.DB", test::QQLayout(150000), 21);
  QVERIFY(!db.empty());
  const fs::path img = test::DeletedFat16(tmp_ / "fat.img", {db});
  QVERIFY(!img.empty());
  const fs::path out = tmp_ / "rescued";
  fs::create_directories(out);

  Window w(tmp_.Path());
  w.form.show();
  QVERIFY(!w.form.Results->isVisible());
  w.form.OpenImageFile(img.string());
  w.form.Edit2->setText(QString::fromStdString(out.string()));
  w.form.Button12->click();
  QCOMPARE(w.form.StatusPanel(0), QString("Rescued file 1"));
  TResultsView& v = *w.form.Results;
  QVERIFY(v.isVisible());
  QCOMPARE(v.windowTitle(), QString("Rescued files"));
  QCOMPARE(v.Table->rowCount(), 1);
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(out)) files.push_back(e.path());
  QCOMPARE(files.size(), size_t{1});
  QCOMPARE(Text(v.Table, 0, kColumnName), QString::fromStdString(files[0].filename().string()));
  QCOMPARE(v.Table->item(0, kColumnSize)->toolTip(), QString::number(fs::file_size(files[0])));
  QCOMPARE(Text(v.Table, 0, kColumnContacts), QString("2: 20481234, 987654321"));
  QCOMPARE(Text(v.Table, 0, kColumnGroups), QString("1: 5550001"));
  QCOMPARE(Text(v.Table, 0, kColumnVerdict), QString("Whole"));

  // A double-click opens the file's folder; View Folder the target folder.
  const QString folder = QString::fromStdString(fs::canonical(out).string());
  const QPoint cell = v.Table->visualItemRect(v.Table->item(0, kColumnVerdict)).center();
  QTest::mouseClick(v.Table->viewport(), Qt::LeftButton, {}, cell);
  QTest::mouseDClick(v.Table->viewport(), Qt::LeftButton, {}, cell);
  QCOMPARE(w.ui.opened.size(), size_t{1});
  QCOMPARE(QString::fromStdString(fs::canonical(w.ui.opened[0].toStdString()).string()), folder);
  v.ViewFolder->click();
  QCOMPARE(w.ui.opened.size(), size_t{2});
  QCOMPARE(QString::fromStdString(fs::canonical(w.ui.opened[1].toStdString()).string()), folder);
  QCOMPARE(v.ViewFolder->text(), w.form.Button7->text());
  v.CloseButton->click();
  QVERIFY(!v.isVisible());

  // A rescue that writes nothing shows no view.
  const fs::path empty = tmp_ / "empty.img";
  test::WriteFileBytes(empty, std::vector<uint8_t>(2048 * 512, 0));
  w.form.OpenImageFile(empty.string());
  w.form.Edit2->setText(QString::fromStdString(out.string()));
  w.form.Button12->click();
  QCOMPARE(w.form.StatusPanel(0), QString("Rescued file 0"));
  QVERIFY(!v.isVisible());
}

void ResultsViewTest::DamagedAndUnreadableFilesSaySo() {
  OpeningFrontend ui;
  TResultsView v(ui);
  v.ApplyTexts(Language::SimplifiedChinese, QString::fromUtf8("查看文件夹"));
  InspectedFile damaged;
  damaged.Path = "/r/damaged/FILE_AAAAABCD.DB";
  damaged.FileBytes = 3u << 20;
  damaged.Check.IsCompound = true;
  damaged.Check.Problem = "stream C2CMsg/1/Data.msj ends early";
  damaged.Check.BrokenStreams = {"C2CMsg/1/Data.msj"};
  damaged.Check.IntactStreams = {"Matrix.dat"};
  damaged.UncertainStreams = {"C2CMsg/2/Data.msj"};
  damaged.Contents.Contacts = {"1"};
  InspectedFile unreadable;
  unreadable.Path = "/r/FILE_AAAAABCE.DB";
  unreadable.ReadError = "Permission denied";
  InspectedFile picture;
  picture.Path = "/r/FILE_AAAAABCF.JPG";
  picture.FileBytes = 1000;
  v.ShowFiles({damaged, unreadable, picture}, "/r", {"Users/Alice/Tencent Files/1/Msg2.0.db"});
  QCOMPARE(v.Table->rowCount(), 3);
  QCOMPARE(v.Table->horizontalHeaderItem(kColumnOriginal)->text(), QString::fromUtf8("原始位置"));
  QCOMPARE(Text(v.Table, 0, kColumnOriginal), QString("Users/Alice/Tencent Files/1/Msg2.0.db"));
  QCOMPARE(Text(v.Table, 1, kColumnOriginal), QString());
  QCOMPARE(v.windowTitle(), QString::fromUtf8("已恢复的文件"));
  QCOMPARE(v.Table->horizontalHeaderItem(kColumnContacts)->text(), QString::fromUtf8("联系人"));
  QCOMPARE(Text(v.Table, 0, kColumnVerdict), QString::fromUtf8("已损坏"));
  QCOMPARE(Text(v.Table, 0, kColumnSize), QString("3.0 MB"));
  QCOMPARE(Text(v.Table, 0, kColumnContacts), QString("1: 1"));
  const QString why = v.Table->item(0, kColumnVerdict)->toolTip();
  QVERIFY2(why.contains("ends early") &&
               why.contains(QString::fromUtf8("损坏的数据流：C2CMsg/1/Data.msj")) &&
               why.contains(QString::fromUtf8("完好的数据流：Matrix.dat")) &&
               why.contains(QString::fromUtf8("（部分片段为推测位置）：C2CMsg/2/Data.msj")),
           qPrintable(why));
  QCOMPARE(Text(v.Table, 1, kColumnVerdict), QString::fromUtf8("无法读取"));
  QVERIFY(v.Table->item(1, kColumnVerdict)->toolTip().contains("Permission denied"));
  QCOMPARE(Text(v.Table, 2, kColumnVerdict), QString::fromUtf8("不是复合文件"));
  QCOMPARE(Text(v.Table, 2, kColumnSize), QString("1000 B"));
  // The damaged file's folder is the damaged/ folder it lies in.
  v.OpenFolderOf(0);
  v.OpenFolderOf(7);  // no such row: nothing
  QCOMPARE(ui.opened, std::vector<QString>{"/r/damaged"});
}

void ResultsViewTest::TheSearchDialogShowsItsRate() {
  Window w(tmp_.Path());
  w.session.FirstScanSector = 0;
  w.session.LastScanSector = 100'000'000;
  w.session.Scan.BytesPerSector = 512;
  QtFrontend& ui = w.ui;
  ui.SetCaption(Dialog::Search, "Searching file");
  ui.ShowDialog(Dialog::Search);
  ui.SetLabel(Dialog::Search, 1, "Sector: 1000");
  QCOMPARE(w.form3.Label5->text(), QString());
  QTest::qWait(static_cast<int>(ProgressRate::kMinimumMs) + 100);
  ui.SetLabel(Dialog::Search, 1, "Sector: 2001000");
  const QString rate = w.form3.Label5->text();
  QVERIFY2(rate.contains(" MB/s, ") && rate.endsWith(" left"), qPrintable(rate));
  // Another stretch of work (another caption) starts measuring afresh.
  ui.SetCaption(Dialog::Search, "Tidying up");
  QCOMPARE(w.form3.Label5->text(), QString());
  w.session.Flags.SearchCancel = true;
  ui.CloseDialog(Dialog::Search);
}

int RunResultsViewTests(int argc, char** argv) {
  ResultsViewTest t;
  return QTest::qExec(&t, argc, argv);
}

}  // namespace tarnwick::gui

#include "results_view_test.moc"
