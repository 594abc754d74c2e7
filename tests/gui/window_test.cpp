// The real main window on the offscreen platform, driven as a user drives it.
#include <QApplication>
#include <QTest>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/gui/progress_dialogs.h"
#include "app/gui/qt_frontend.h"
#include "app/gui/results_view.h"
#include "app/gui/tform1.h"
#include "scan/session.h"
#include "source/device.h"
#include "scan/session_source.h"
#include "support/test_support.h"

namespace tarnwick::gui {
namespace {

namespace fs = std::filesystem;
using test::RandomBytes;
using test::ShellQuote;

// Answers every question the window asks, and remembers them.
class TestFrontend final : public QtFrontend {
 public:
  struct Asked {
    std::string Text, Caption;
    Buttons Kind;
  };
  Answer Ask(const std::string& text, const std::string& caption, Buttons b) override {
    asked.push_back({text, caption, b});
    if (!answers.empty()) {
      Answer a = answers.front();
      answers.pop_front();
      return a;
    }
    return b == Buttons::YesNo ? Answer::No
                               : (b == Buttons::AbortRetryIgnore ? Answer::Ignore : Answer::Ok);
  }
  void Pump() override {
    QtFrontend::Pump();
    if (cancelWhenShown && SearchDialog() && SearchDialog()->isVisible())
      SearchDialog()->Button1->click();
    if (stopWhenShown && RescueDialog() && RescueDialog()->isVisible())
      RescueDialog()->Button2->click();
  }
  void ShowMainWindow(bool v) override {
    mainShown.push_back(v);
    QtFrontend::ShowMainWindow(v);
  }
  QString ChooseImageToOpen(QWidget*) override { return openPath; }
  QString ChooseImageToSave(QWidget*) override { return savePath; }
  QString ChooseFolder(QWidget*, const QString& start) override {
    folderStart = start;
    return folderAnswer;
  }
  void OpenUrl(const QUrl& url) override { opened.push_back(url); }

  std::vector<Asked> asked;
  std::deque<Answer> answers;
  QString openPath, savePath, folderAnswer, folderStart;
  std::vector<QUrl> opened;
  std::vector<bool> mainShown;
  bool cancelWhenShown = false;
  bool stopWhenShown = false;
};

// One window with its dialogs over one Session, as start-up makes them.
struct Window {
  explicit Window(const fs::path& exeFolder, const BrandingRecord& branding = {})
      : session(),
        form(session, ui, exeFolder.string() + "/", EmptyTree()),
        form2(session.Flags),
        form3(session.Flags) {
    ui.Attach(&form, &form2, &form3);
    session.SetFrontend(&ui);
    form.ApplyTexts();
    form.SetBranding(branding);
  }
  ~Window() { session.SetFrontend(nullptr); }
  static BlockTree EmptyTree() {
    BlockTree t;
    t.SysClassBlock = "/nonexistent/block";
    return t;
  }
  std::vector<std::string> Asked() const {
    std::vector<std::string> out;
    for (const auto& a : ui.asked) out.push_back(a.Text + " | " + a.Caption);
    return out;
  }
  Session session;
  TestFrontend ui;
  TForm1 form;
  TForm2 form2;
  TForm3 form3;
};

bool Have(std::initializer_list<const char*> tools) {
  for (const char* t : tools)
    if (!test::HaveTool(t)) return false;
  return true;
}

fs::path MakeFat16(const fs::path& dir) {
  fs::path img = dir / "fat.img";
  auto r = test::Run("truncate -s 32M " + ShellQuote(img.string()) + " && mkfs.vfat -F 16 -s 4 " +
                     ShellQuote(img.string()));
  if (r.Status != 0) return {};
  return img;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void StateTableThroughOpenAndClose();
  void MoreTwiceAndTheQQBox();
  void ThumbSpcIsReadAtCreation();
  void TitleStatusBarAndItsLink();
  void UnidentifiedImageAndTheReasonBox();
  void SectorViewNavigationAndErrors();
  void RescueOfADeletedDatabase();
  void TheEndOfARescueTellsWhatCouldNotBeRead();
  void BackupAndItsCancel();
  void DialogsRefuseToCloseWhileTheirWorkRuns();
  void PartitionsOfAWholeDiskAndAFormerVolumesGeometry();

 private:
  test::TempDir tmp_{"gui"};
};

void WindowTest::StateTableThroughOpenAndClose() {
  if (!Have({"mkfs.vfat"})) QSKIP("mkfs.vfat missing");
  Window w(tmp_.Path());
  TForm1& f = w.form;
  f.show();
  QCOMPARE(f.size(), QSize(870, 264));
  auto closedState = [&] {
    QVERIFY(!f.GroupBox1->isVisibleTo(&f));
    QVERIFY(f.DriveComboBox1->isEnabled() && f.Button1->isEnabled() && f.Button10->isEnabled());
    QVERIFY(f.Button2->isEnabled());
    QVERIFY(!f.Memo1->isEnabled() && !f.Edit1->isEnabled() && !f.Button5->isEnabled());
    for (QPushButton* b : {f.Button3, f.Button4, f.Button8, f.Button9}) QVERIFY(!b->isEnabled());
    QVERIFY(!f.CheckBox8->isEnabled() && !f.CheckBox8->isChecked());
    QCOMPARE(f.Label16->text(), QString());
  };
  closedState();
  QVERIFY(f.chkPPT->isChecked());

  fs::path img = MakeFat16(tmp_.Path());
  QVERIFY(!img.empty());
  w.ui.openPath = QString::fromStdString(img.string());
  f.Button10->click();
  QVERIFY(w.ui.asked.empty());
  QVERIFY(f.GroupBox1->isVisibleTo(&f));
  QVERIFY(!f.DriveComboBox1->isEnabled() && !f.Button1->isEnabled() && !f.Button10->isEnabled());
  QVERIFY(f.Button2->isEnabled());
  QVERIFY(f.Memo1->isEnabled() && f.Edit1->isEnabled() && f.Button5->isEnabled());
  QVERIFY(!f.Button3->isEnabled() && !f.Button8->isEnabled());  // at sector 0
  QVERIFY(f.Button4->isEnabled() && f.Button9->isEnabled());
  QVERIFY(f.CheckBox8->isEnabled());
  QCOMPARE(f.ComboBox3->currentIndex(), 0);
  QCOMPARE(f.ComboBox2->currentText(), QString("FAT"));
  QCOMPARE(f.ComboBox1->currentText(), QString("2K"));
  QVERIFY(!f.ComboBox2->isEnabled() && !f.ComboBox1->isEnabled());
  QCOMPARE(f.Edit3->text(), QString("0"));
  QCOMPARE(f.Edit4->text(), QString("65535"));
  QCOMPARE(f.StatusPanel(1), QString("Total Sectors: 65536"));
  QCOMPARE(f.StatusPanel(0), QString());  // an image leaves the sector-size panel alone
  QCOMPARE(f.Label16->text(), QString("Opened: fat.img"));
  QStringList lines = f.Memo1->toPlainText().split('\n');
  QCOMPARE(lines.size(), 17);
  QVERIFY(lines[1].startsWith("000: EB3C "));
  QVERIFY(lines[16].startsWith("1E0: ") && lines[16].contains("55AA "));
  QCOMPARE(f.Edit1->text(), QString("0"));

  f.CheckBox8->setChecked(true);
  f.Button2->click();
  closedState();
  QCOMPARE(f.Memo1->toPlainText(), QString());
  QCOMPARE(f.ComboBox2->currentText(), QString("FAT"));  // the boxes keep their state

  // A refused open: the message, and the closed state.
  w.ui.openPath = QString::fromStdString((tmp_ / "missing.img").string());
  f.Button10->click();
  QCOMPARE(w.Asked(), std::vector<std::string>{"Failed to open file! | Error"});
  closedState();
}

void WindowTest::MoreTwiceAndTheQQBox() {
  Window w(tmp_.Path());
  TForm1& f = w.form;
  f.show();
  f.SpeedButton1->click();
  QCOMPARE(f.height(), 566);
  QCOMPARE(f.width(), 870);
  QCOMPARE(f.StatusBar1->geometry().bottom(), 565);
  f.SpeedButton1->click();
  QCOMPARE(f.height(), 264);
  QCOMPARE(f.StatusBar1->geometry().bottom(), 263);

  QCOMPARE(w.session.TypeMask, kTypeMaskQQ);
  w.session.TypeMask |= kTypeMaskJpeg;
  f.chkPPT->click();
  QVERIFY(!f.chkPPT->isChecked());
  QCOMPARE(w.session.TypeMask, kTypeMaskJpeg);
  f.chkPPT->click();
  QCOMPARE(w.session.TypeMask, kTypeMaskQQ | kTypeMaskJpeg);
}

void WindowTest::ThumbSpcIsReadAtCreation() {
  struct Case {
    const char* text;
    std::vector<int64_t> want;
  } cases[] = {{"160x120;small\r\n\r\n640x480\r\n", {19200}},
               {"160x120 ;small\n320x240\n", {76800}},
               {"abc\n800\n0\n-5\n", {800}}};
  int n = 0;
  for (const Case& c : cases) {
    fs::path dir = tmp_ / ("ini" + std::to_string(n++));
    fs::create_directories(dir);
    std::ofstream(dir / "ThumbSpc.ini", std::ios::binary) << c.text;
    std::ofstream(dir / "ThumbSiz.ini") << "4096\n";
    Window w(dir);
    QVERIFY(w.session.ThumbSizeList.has_value());
    QCOMPARE(*w.session.ThumbSizeList, c.want);
    QCOMPARE(w.session.ThumbPixelLimit, int64_t{4096});
    QCOMPARE(w.form.Edit2->text(), QString::fromStdString(dir.string() + "/"));
  }
  fs::path bare = tmp_ / "bare";
  fs::create_directories(bare);
  Window w(bare);
  QVERIFY(!w.session.ThumbSizeList.has_value());
  QCOMPARE(w.session.ThumbPixelLimit, int64_t{-1});
}

void WindowTest::TitleStatusBarAndItsLink() {
  {
    Window w(tmp_.Path());
    w.form.show();
    QCOMPARE(w.form.windowTitle(), QString("Tarnwick 1.78"));
    QCOMPARE(w.form.StatusPanel(3), QString());
  }
  BrandingRecord b{"Tarnwick v", "two", "three", "https://tarnwick.example/"};
  Window w(tmp_.Path(), b);
  w.form.show();
  QCOMPARE(w.form.windowTitle(), QString("Tarnwick v1.78"));
  QCOMPARE(w.form.StatusPanel(3), QString("https://tarnwick.example/"));
  // Panels start at 0, 136, 288 and 600: x 640 lies in the fourth panel but
  // short of the link's place, x 700 on it.
  QLabel* fourth = w.form.Panel(3);
  QTest::mouseClick(fourth, Qt::LeftButton, {}, QPoint(640 - fourth->x(), 5));
  QVERIFY(w.ui.opened.empty());
  QTest::mouseClick(fourth, Qt::RightButton, {}, QPoint(700 - fourth->x(), 5));
  QCOMPARE(w.ui.opened.size(), size_t{1});
  QCOMPARE(w.ui.opened[0], QUrl("https://tarnwick.example/"));

  // View Folder opens only a folder that exists; Browse starts at the box.
  w.form.GroupBox1->setVisible(true);
  w.form.Edit2->setText(QString::fromStdString((tmp_ / "nope").string()));
  w.form.Button7Click();
  QCOMPARE(w.ui.opened.size(), size_t{1});
  w.form.Edit2->setText(QString::fromStdString(tmp_.Path().string()));
  w.form.Button7Click();
  QCOMPARE(w.ui.opened.size(), size_t{2});
  QCOMPARE(w.ui.opened[1], QUrl::fromLocalFile(QString::fromStdString(tmp_.Path().string())));
  w.ui.folderAnswer = "/tmp";
  w.form.Button6Click();
  QCOMPARE(w.ui.folderStart, QString::fromStdString(tmp_.Path().string()));
  QCOMPARE(w.form.Edit2->text(), QString("/tmp"));
  w.ui.folderAnswer = "";
  w.form.Button6Click();
  QCOMPARE(w.form.Edit2->text(), QString("/tmp"));
}

void WindowTest::UnidentifiedImageAndTheReasonBox() {
  fs::path img = tmp_ / "random.img";
  test::WriteFileBytes(img, RandomBytes(100 * 512 + 100, 9));  // a partial last sector
  Window w(tmp_.Path());
  w.form.show();
  w.form.OpenImageFile(img.string());
  TForm1& f = w.form;
  QCOMPARE(f.ComboBox3->currentIndex(), 2);
  QVERIFY(f.ComboBox2->isEnabled() && f.ComboBox1->isEnabled());
  QCOMPARE(f.ComboBox2->currentText(), QString("OTHER"));
  QVERIFY(!f.CheckBox8->isEnabled());
  QCOMPARE(f.Edit4->text(), QString("99"));
  f.ComboBox3Click(0);
  QCOMPARE(w.Asked(),
           std::vector<std::string>{"Unknown file system, not support this option! | Error"});
  QCOMPARE(f.ComboBox3->currentIndex(), 1);
  QCOMPARE(f.Boxes().Reason, 1);
}

void WindowTest::SectorViewNavigationAndErrors() {
  fs::path img = tmp_ / "nav.img";
  test::WriteFileBytes(img, RandomBytes(40 * 512, 4));
  Window w(tmp_.Path());
  TForm1& f = w.form;
  f.show();
  f.SpeedButton1->click();
  f.OpenImageFile(img.string());
  QCOMPARE(f.Edit4->text(), QString("39"));
  auto at = [&] { return f.Edit1->text(); };
  QTest::keyClick(f.Edit1, Qt::Key_PageDown);
  QCOMPARE(at(), QString("10"));
  QTest::keyClick(f.Edit1, Qt::Key_Down);
  QCOMPARE(at(), QString("11"));
  QTest::keyClick(f.Edit1, Qt::Key_Up);
  QCOMPARE(at(), QString("10"));
  QVERIFY(f.Button3->isEnabled() && f.Button8->isEnabled());
  f.Button9->click();
  QCOMPARE(at(), QString("39"));
  QVERIFY(!f.Button4->isEnabled() && !f.Button9->isEnabled());
  QTest::keyClick(f.Edit1, Qt::Key_Down);  // nothing beyond the last sector
  QCOMPARE(at(), QString("39"));
  f.Button3->click();
  f.Button3->click();
  f.Button3->click();
  QCOMPARE(at(), QString("36"));
  QTest::keyClick(f.Edit1, Qt::Key_PageDown);
  QCOMPARE(at(), QString("39"));
  f.Button8->click();
  QCOMPARE(at(), QString("0"));
  f.Button4->click();
  f.Button4->click();
  f.Button4->click();
  f.Button4->click();
  QCOMPARE(at(), QString("4"));
  QTest::keyClick(f.Edit1, Qt::Key_PageUp);
  QCOMPARE(at(), QString("0"));

  // The bytes shown are the sector's own.
  f.Edit1->setText("7");
  QTest::keyClick(f.Edit1, Qt::Key_Return);
  QCOMPARE(at(), QString("7"));
  auto bytes = RandomBytes(40 * 512, 4);
  QString firstGroup = QString("%1%2")
                           .arg(bytes[7 * 512], 2, 16, QChar('0'))
                           .arg(bytes[7 * 512 + 1], 2, 16, QChar('0'))
                           .toUpper();
  QVERIFY(f.Memo1->toPlainText().split('\n')[1].startsWith("000: " + firstGroup + " "));

  for (const char* bad : {"40", "abc", "-1", ""}) {
    w.ui.asked.clear();
    f.Edit1->setText(bad);
    f.Button5->click();
    QCOMPARE(w.Asked(), std::vector<std::string>{"Invalid sector range! | Error"});
  }
  QVERIFY(f.Memo1->toPlainText().split('\n')[1].startsWith("000: " + firstGroup + " "));
  f.Edit1->setText("0");
  QTest::keyClick(f.Edit1, Qt::Key_Enter);
  QCOMPARE(at(), QString("0"));
  QVERIFY(!f.Button3->isEnabled());
}

void WindowTest::RescueOfADeletedDatabase() {
  if (!Have({"mkfs.vfat", "mcopy", "mdel", "gsf"})) QSKIP("mtools, mkfs.vfat or gsf missing");
  fs::path db = tmp_ / "db";
  fs::create_directories(db / "msg");
  test::WriteFileBytes(db / "Matrix.dat", RandomBytes(200000, 1));
  test::WriteFileBytes(db / "seqbase.dat", RandomBytes(30000, 2));
  test::WriteFileBytes(db / "msg" / "Data.msj", RandomBytes(9000, 3));
  QCOMPARE(test::Run("cd " + ShellQuote(db.string()) +
                     " && gsf createole MSG.DB Matrix.dat seqbase.dat msg")
               .Status,
           0);
  fs::path img = MakeFat16(tmp_.Path() / "db");
  QVERIFY(!img.empty());
  QCOMPARE(test::Run("mcopy -i " + ShellQuote(img.string()) + " " +
                     ShellQuote((db / "MSG.DB").string()) + " ::")
               .Status,
           0);
  QCOMPARE(test::Run("mdel -i " + ShellQuote(img.string()) + " ::MSG.DB").Status, 0);
  fs::path out = tmp_ / "rescued";
  fs::create_directories(out);

  Window w(tmp_.Path());
  TForm1& f = w.form;
  f.show();
  f.OpenImageFile(img.string());
  f.Edit2->setText(QString::fromStdString(out.string()));
  f.Button12->click();
  QCOMPARE(w.Asked(), std::vector<std::string>{"Rescued file 1 | Finished"});
  QCOMPARE(f.StatusPanel(0), QString("Rescued file 1"));
  QVERIFY(f.isVisible());
  QVERIFY(!w.form2.isVisible() && !w.form3.isVisible());
  QCOMPARE(w.ui.mainShown.front(), false);
  QCOMPARE(w.ui.mainShown.back(), true);
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(out)) files.push_back(e.path());
  QCOMPARE(files.size(), size_t{1});
  QVERIFY(files[0].filename().string().rfind("FILE_", 0) == 0);
  QCOMPARE(files[0].extension().string(), std::string(".DB"));
  QCOMPARE(test::Sha256OfFile(files[0]), test::Sha256OfFile(db / "MSG.DB"));

  // The same rescue again writes nothing new, says so, and lists the file
  // already there.
  w.ui.asked.clear();
  f.Button12->click();
  QCOMPARE(w.Asked(),
           std::vector<std::string>{
               "Rescued file 1\n\nAlready in the folder, not written again: 1 | Finished"});
  size_t count = 0;
  for (const auto& e : fs::directory_iterator(out)) count += e.is_regular_file() ? 1 : 0;
  QCOMPARE(count, size_t{1});
  QCOMPARE(f.Results->Table->rowCount(), 1);
  QCOMPARE(f.Results->Table->item(0, kColumnName)->text(),
           QString::fromStdString(files[0].filename().string()));
  f.Results->hide();

  // Cancel in the search and Stop in the rescue: the end names the stop.
  const fs::path out2 = tmp_ / "rescued-stopped";
  fs::create_directories(out2);
  f.Edit2->setText(QString::fromStdString(out2.string()));
  w.ui.asked.clear();
  w.ui.cancelWhenShown = true;
  f.Button12->click();
  w.ui.cancelWhenShown = false;
  QCOMPARE(w.Asked(),
           std::vector<std::string>{"Rescued file 0\n\nThe search was stopped at sector 0 (0.00% "
                                    "searched): sectors 0 to 65535 were not searched, and nothing "
                                    "on them was found. | Finished"});
  w.ui.asked.clear();
  w.ui.stopWhenShown = true;
  f.Button12->click();
  w.ui.stopWhenShown = false;
  QCOMPARE(w.ui.asked.size(), size_t{1});
  const std::string& said = w.ui.asked[0].Text;
  QVERIFY2(said.rfind("Rescued file 0\n\nThe rescue was stopped after 0 of the ", 0) == 0,
           said.c_str());
  QVERIFY2(said.find("were not carved.") != std::string::npos, said.c_str());
  QVERIFY(fs::is_empty(out2));
  QVERIFY(f.isVisible());

  // A start check that fails shows its message and scans nothing.
  w.ui.asked.clear();
  f.Edit2->setText(QString::fromStdString((tmp_ / "missing").string()));
  f.Button12->click();
  QCOMPARE(w.Asked(), std::vector<std::string>{"Please select folder to save file! | Error"});
}

void WindowTest::TheEndOfARescueTellsWhatCouldNotBeRead() {
  if (!Have({"gsf"})) QSKIP("gsf missing");
  fs::path db = tmp_ / "faulty-db";
  fs::create_directories(db);
  test::WriteFileBytes(db / "Matrix.dat", RandomBytes(60000, 4));
  test::WriteFileBytes(db / "seqbase.dat", RandomBytes(9000, 5));
  QCOMPARE(
      test::Run("cd " + ShellQuote(db.string()) + " && gsf createole MSG.DB Matrix.dat seqbase.dat")
          .Status,
      0);
  auto image = std::vector<uint8_t>(2000 * 512, 0);
  const auto bytes = test::ReadFileBytes(db / "MSG.DB");
  std::copy(bytes.begin(), bytes.end(), image.begin() + 100 * 512);
  const fs::path img = tmp_ / "faulty.img";
  test::WriteFileBytes(img, image);
  fs::path out = tmp_ / "rescued-faulty";
  fs::create_directories(out);

  Window w(tmp_.Path());
  TForm1& f = w.form;
  f.show();
  f.OpenImageFile(img.string());
  // The same image through a device that fails one sector of the database.
  std::string error;
  auto file = FileDevice::Open(img.string(), error);
  QVERIFY(file);
  OpenImageDevice(w.session,
                  std::make_unique<FaultyDevice>(std::move(file), std::set<uint64_t>{110}),
                  img.string());
  f.Edit2->setText(QString::fromStdString(out.string()));
  f.Button12->click();
  QCOMPARE(w.Asked(), std::vector<std::string>{"Rescued file 0\nDamaged file 1 (in damaged/)\n\n"
                                               "Unreadable sectors: 1 in 1 runs: 110. | Finished"});
  QCOMPARE(f.StatusPanel(0), QString("Rescued file 0"));
}

void WindowTest::BackupAndItsCancel() {
  if (!Have({"cmp"})) QSKIP("cmp missing");
  auto bytes = RandomBytes(3000 * 512, 8);
  fs::path img = tmp_ / "backup-src.img";
  test::WriteFileBytes(img, bytes);
  fs::path target = tmp_ / "copy.img";
  Window w(tmp_.Path());
  TForm1& f = w.form;
  f.show();
  f.OpenImageFile(img.string());
  w.ui.savePath = QString::fromStdString(target.string());
  f.Button11->click();
  QCOMPARE(w.Asked(), std::vector<std::string>{"Finished! | Prompt"});
  QCOMPARE(test::Run("cmp " + ShellQuote(img.string()) + " " + ShellQuote(target.string())).Status,
           0);
  QVERIFY(f.isVisible());

  w.ui.asked.clear();
  f.Edit3->setText("5");
  f.Edit4->setText("100");
  f.Button11->click();
  auto slice = std::vector<uint8_t>(bytes.begin() + 5 * 512, bytes.begin() + 101 * 512);
  QVERIFY(test::ReadFileBytes(target) == slice);

  // An invalid range is refused before the save dialog.
  w.ui.asked.clear();
  w.ui.savePath = QString::fromStdString((tmp_ / "never.img").string());
  f.Edit4->setText("3000");
  f.Button11->click();
  QCOMPARE(w.Asked(), std::vector<std::string>{"Invalid sector range! | Error"});
  QVERIFY(!fs::exists(tmp_ / "never.img"));
  // The Source itself is never a target.
  w.ui.asked.clear();
  f.Edit4->setText("2999");
  w.ui.savePath = QString::fromStdString(img.string());
  f.Button11->click();
  QCOMPARE(w.Asked(), std::vector<std::string>{"Can't save IMG file on source drive! | Error"});

  // Cancel in the dialog: the delete prompt, both answers.
  w.ui.savePath = QString::fromStdString(target.string());
  w.ui.cancelWhenShown = true;
  for (Answer a : {Answer::No, Answer::Yes}) {
    w.ui.asked.clear();
    w.ui.answers = {a};
    f.Button11->click();
    QCOMPARE(w.Asked(), std::vector<std::string>{"Didn't finish, delete target file? | Prompt"});
    QCOMPARE(w.ui.asked[0].Kind, Buttons::YesNo);
    QCOMPARE(fs::exists(target), a == Answer::No);
    QVERIFY(!w.form3.isVisible());
    QVERIFY(f.isVisible());
  }
}

void WindowTest::DialogsRefuseToCloseWhileTheirWorkRuns() {
  Window w(tmp_.Path());
  w.session.Flags.SearchCancel = false;
  w.form3.show();
  w.form3.close();
  QVERIFY(w.form3.isVisible());
  w.form3.Button1->click();
  QVERIFY(w.session.Flags.SearchCancel);
  w.form3.close();
  QVERIFY(!w.form3.isVisible());

  w.session.Flags.RescueDone = false;
  w.form2.show();
  w.form2.close();
  QVERIFY(w.form2.isVisible());
  w.form2.SpeedButton1->click();
  QCOMPARE(int{w.session.Flags.RunState}, int{kPaused});
  w.form2.Button2->click();
  QCOMPARE(int{w.session.Flags.RunState}, int{kStop});
  w.form2.SpeedButton1->click();  // Pause released after Stop: the stop is lost
  QCOMPARE(int{w.session.Flags.RunState}, int{kRunning});
  w.session.Flags.RescueDone = true;
  w.form2.close();
  QVERIFY(!w.form2.isVisible());
}


void WindowTest::PartitionsOfAWholeDiskAndAFormerVolumesGeometry() {
  if (!Have({"sfdisk", "mkfs.vfat", "mkfs.ntfs"})) QSKIP("sfdisk, mkfs.vfat or mkfs.ntfs missing");
  fs::path disk = tmp_ / "disk.img", vol = tmp_ / "vol.img";
  auto made = test::Run(
      "truncate -s 24M " + test::ShellQuote(disk.string()) +
      " && printf 'label: dos\\nstart=2048, size=20480, type=e\\nstart=24576, size=8192, "
      "type=83\\n' | sfdisk -q " + test::ShellQuote(disk.string()) +
      " && mkfs.vfat -F 16 -s 4 -n PARTONE --offset 2048 " + test::ShellQuote(disk.string()) +
      " 10240 >/dev/null && truncate -s 16M " + test::ShellQuote(vol.string()) +
      " && mkfs.ntfs -q -F -f -c 8192 " + test::ShellQuote(vol.string()) +
      " && mkfs.vfat -F 16 " + test::ShellQuote(vol.string()) + " >/dev/null");
  QVERIFY2(made.Status == 0, made.Err.c_str());
  Window w(tmp_.Path());
  TForm1& f = w.form;
  f.show();
  f.OpenImageFile(disk.string());
  QVERIFY(f.PartitionBox->isVisibleTo(&f));
  QCOMPARE(f.PartitionBox->count(), 3);
  QVERIFY(f.PartitionBox->itemText(1).contains("FAT16"));
  QVERIFY(f.PartitionBox->itemText(1).contains("PARTONE"));
  QVERIFY(!w.session.Regions.empty());  // the whole disk, part by part
  f.PartitionBoxClick(1);
  QCOMPARE(w.session.Source.Kind, DeviceKind::Partition);
  QCOMPARE(w.session.Detected.LastSector, uint64_t{20479});
  QCOMPARE(f.ComboBox3->currentIndex(), 0);
  QCOMPARE(f.ComboBox2->currentText(), QString("FAT"));
  QVERIFY(f.PartitionBox->isVisibleTo(&f));
  QVERIFY(w.session.Regions.empty());
  f.PartitionBoxClick(0);
  QCOMPARE(w.session.Source.Kind, DeviceKind::Image);
  QCOMPARE(w.session.Detected.LastSector, uint64_t{49151});
  f.Button2Click();
  QVERIFY(!f.PartitionBox->isVisibleTo(&f));

  // NTFS formatted as FAT16: "Formatted" offers the NTFS geometry, which the
  // user may still overrule.
  f.OpenImageFile(vol.string());
  QVERIFY(!f.PartitionBox->isVisibleTo(&f));
  QCOMPARE(f.ComboBox2->currentText(), QString("FAT"));
  f.ComboBox3Click(1);
  QCOMPARE(f.ComboBox2->currentText(), QString("NTFS"));
  QCOMPARE(f.ComboBox1->currentText(), QString("8K"));
  QVERIFY(f.ComboBox2->toolTip().contains("NTFS backup boot sector"));
  f.ComboBox1Click(3);
  QCOMPARE(f.ComboBox1->currentText(), QString("4K"));
  QCOMPARE(w.session.Scan.SectorsPerCluster, 8u);
}

// The results view and the search dialog's rate (results_view_test.cpp).
int RunResultsViewTests(int argc, char** argv);

}  // namespace tarnwick::gui

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("TARNWICK_LANG", "en", 1);
  QApplication app(argc, argv);
  tarnwick::gui::WindowTest t;
  const int window = QTest::qExec(&t, argc, argv);
  const int results = tarnwick::gui::RunResultsViewTests(argc, argv);
  return window != 0 ? window : results;
}

#include "window_test.moc"
