#include "app/gui/tform1.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStringList>
#include <algorithm>
#include <filesystem>

#include "app/thumb_settings.h"
#include "scan/disk_plan.h"
#include "scan/session.h"
#include "scan/backup.h"
#include "volume/hexview.h"

namespace tarnwick::gui {

namespace {

enum Slot {
  kSlotOpenDrive = 2,
  kSlotOpenImage = 3,
  kSlotClose = 4,
  kSlotSectorLabel = 5,
  kSlotGoto = 6,
  kSlotFileType = 7,
  kSlotSaveTo = 8,
  kSlotBrowse = 9,
  kSlotPreviousFs = 11,
  kSlotClusterSize = 12,
  kSlotScanRange = 13,
  kSlotStartRescue = 14,
  kSlotBackup = 15,
  kSlotError = 17,
  kSlotBadGoto = 19,
  kSlotFinished = 29,
  kSlotSteps = 60,
  kSlotMore = 62,
  kSlotReason = 66,
  kSlotDeleted = 67,
  kSlotLostOn = 78,
  kSlotViewFolder = 83,
  kSlotFreeOnly = 85,
  kSlotNoMemory = 88,
};

constexpr int kStatusHeight = 20;
constexpr std::array<int, 4> kPanelWidths = {136, 152, 312, 250};
constexpr int kUrlPanelX = 650;

QPushButton* MakeButton(QWidget* parent, int x, int y, int w, int h = 25) {
  auto* b = new QPushButton(parent);
  b->setGeometry(x, y, w, h);
  return b;
}

QLabel* MakeLabel(QWidget* parent, int x, int y, int w, int h = 16) {
  auto* l = new QLabel(parent);
  l->setGeometry(x, y, w, h);
  return l;
}

// A caption that ends just before the control it names, whatever its length.
QLabel* MakeCaption(QWidget* parent, int rightEdge, int y, int w = 120) {
  auto* l = MakeLabel(parent, rightEdge - w, y, w);
  l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return l;
}

QLineEdit* MakeEdit(QWidget* parent, int x, int y, int w) {
  auto* e = new QLineEdit(parent);
  e->setGeometry(x, y, w, 22);
  return e;
}

QComboBox* MakeList(QWidget* parent, int x, int y, int w) {
  auto* c = new QComboBox(parent);
  c->setGeometry(x, y, w, 22);
  c->setEditable(false);
  return c;
}

// "Rescued file N", the damaged files, and below them what else the user
// must know: sectors that could not be read, files that could not be saved,
// a Source that stopped answering.
std::string EndMessage(const Session& s, const ScanOutcome& out) {
  std::string text = out.EndText;
  if (!out.DamagedText.empty()) text += "\n" + out.DamagedText;
  const RescueEndNotes notes = EndNotes(s, out);
  if (!notes.Lines.empty()) text += "\n";
  for (const std::string& line : notes.Lines) text += "\n" + line;
  return text;
}

}  // namespace

TForm1::TForm1(Session& s, QtFrontend& ui, const std::string& exeFolder, BlockTree tree)
    : QWidget(nullptr, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      s_(s),
      ui_(ui) {
  setObjectName("Form1");
  setFixedSize(kClientWidth, kCollapsedHeight);

  Label5 = MakeLabel(this, 16, 4, 846, 34);
  Label5->setWordWrap(true);  // the steps take two lines in a wide font
  Label12 = MakeCaption(this, 124, 44, 124);
  DriveComboBox1 = new TMyDriveComboBox(this, std::move(tree));
  DriveComboBox1->setGeometry(128, 42, 337, 22);
  DriveComboBox1->SetTextCase(TextCase::UpperCase);
  Button1 = MakeButton(this, 471, 40, 75);
  Button10 = MakeButton(this, 550, 40, 92);
  Button2 = MakeButton(this, 646, 40, 75);
  CheckBox8 = new QCheckBox(this);
  CheckBox8->setGeometry(24, 72, 296, 18);
  CheckBox8->setEnabled(false);
  Label16 = MakeLabel(this, 328, 73, 537);

  GroupBox1 = new QGroupBox(this);
  GroupBox1->setGeometry(8, 92, 753, 146);
  GroupBox1->setVisible(false);
  Label9 = MakeCaption(GroupBox1, 86, 17, 86);
  chkPPT = new QCheckBox("QQ", GroupBox1);
  chkPPT->setGeometry(88, 16, 80, 18);
  chkPPT->setChecked(true);
  Label2 = MakeCaption(GroupBox1, 118, 44, 114);
  Edit2 = MakeEdit(GroupBox1, 120, 40, 449);
  Button6 = MakeButton(GroupBox1, 570, 39, 60);
  Button7 = MakeButton(GroupBox1, 632, 39, 110);
  Label8 = MakeCaption(GroupBox1, 79, 76, 75);
  // The row of the three boxes is spread wider than its original places so
  // that the English captions fit in fonts wider than the original one.
  ComboBox3 = MakeList(GroupBox1, 81, 72, 165);
  Label7 = MakeCaption(GroupBox1, 383, 76, 134);
  ComboBox2 = MakeList(GroupBox1, 385, 72, 100);
  ComboBox2->addItems({"FAT", "FAT32", "NTFS", "exFAT", "HFS", "HFS+/HFSX", "OTHER"});
  Label6 = MakeCaption(GroupBox1, 575, 76, 88);
  ComboBox1 = MakeList(GroupBox1, 577, 72, 70);
  ComboBox1->addItems({"0.5K", "1K", "2K", "4K", "8K", "16K", "32K", "64K", "128K"});
  Label3 = MakeCaption(GroupBox1, 134, 108, 130);
  Edit3 = MakeEdit(GroupBox1, 136, 104, 120);
  Label11 = MakeLabel(GroupBox1, 260, 108, 8);
  Label11->setText("-");
  Edit4 = MakeEdit(GroupBox1, 268, 104, 120);
  Button12 = MakeButton(GroupBox1, 500, 104, 110);
  PartitionBox = new PartitionPicker(GroupBox1);
  PartitionBox->setGeometry(385, 13, 360, 22);
  Button11 = MakeButton(GroupBox1, 615, 104, 130);

  SpeedButton1 = MakeButton(this, 776, 212, 86);
  SpeedButton1->setCheckable(true);

  StatusBar1 = new QWidget(this);
  int x = 0;
  for (size_t i = 0; i < panels_.size(); ++i) {
    panels_[i] = new QLabel(StatusBar1);
    panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panels_[i]->setGeometry(x, 0, kPanelWidths[i] - 2, kStatusHeight);
    panels_[i]->installEventFilter(this);
    x += kPanelWidths[i];
  }
  StatusBar1->installEventFilter(this);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setGeometry(8, 246, 854, 263);
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setEnabled(false);
  Button8 = MakeButton(this, 16, 514, 30);
  Button8->setText("|<");
  Button3 = MakeButton(this, 48, 514, 30);
  Button3->setText("<");
  Button4 = MakeButton(this, 80, 514, 30);
  Button4->setText(">");
  Button9 = MakeButton(this, 112, 514, 30);
  Button9->setText(">|");
  for (QPushButton* b : {Button8, Button3, Button4, Button9}) b->setEnabled(false);
  Label1 = MakeCaption(this, 202, 518, 58);
  Edit1 = MakeEdit(this, 206, 514, 78);
  Edit1->setEnabled(false);
  Edit1->installEventFilter(this);
  Button5 = MakeButton(this, 288, 514, 75);
  Button5->setEnabled(false);

  StatusBar1->raise();  // over the top of the sector view while collapsed

  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button10, &QPushButton::clicked, this, [this] { Button10Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
  connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(); });
  connect(chkPPT, &QCheckBox::clicked, this, [this] { chkPPTClick(); });
  connect(SpeedButton1, &QPushButton::clicked, this, [this] { SpeedButton1Click(); });
  connect(ComboBox3, &QComboBox::activated, this, [this](int i) { ComboBox3Click(i); });
  connect(ComboBox2, &QComboBox::activated, this, [this](int i) { ComboBox2Click(i); });
  connect(ComboBox1, &QComboBox::activated, this, [this](int i) { ComboBox1Click(i); });
  connect(Button8, &QPushButton::clicked, this, [this] { Button8Click(); });
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(Button9, &QPushButton::clicked, this, [this] { Button9Click(); });
  connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
  connect(Button11, &QPushButton::clicked, this, [this] { Button11Click(); });
  connect(Button12, &QPushButton::clicked, this, [this] { Button12Click(); });
  connect(PartitionBox, &QComboBox::activated, this, [this](int i) { PartitionBoxClick(i); });

  Results = new TResultsView(ui_, this);
  ui_.WatchProgress(&s_);
  FormCreate(exeFolder);
}

TForm1::~TForm1() { s_.Found.Reset(); }

QString TForm1::T(int slot) const { return QString::fromStdString(s_.Text(slot)); }

void TForm1::FormCreate(const std::string& exeFolder) {
  Edit2->setText(QString::fromStdString(exeFolder));
  LoadThumbSettings(s_, exeFolder);
}

void TForm1::ApplyTexts() {
  QFont f(QString::fromUtf8(s_.Texts->uiFontName.data(),
                            static_cast<qsizetype>(s_.Texts->uiFontName.size())));
  f.setPixelSize(13);
  setFont(f);
  QFont mono("Courier New");
  mono.setStyleHint(QFont::TypeWriter);
  mono.setFixedPitch(true);
  // 12 pixels high as asked; smaller only when this machine's stand-in for
  // Courier New would not fit a whole line of the view.
  const QString widest(117, QChar('0'));
  for (int px = 12; px >= 9; --px) {
    mono.setPixelSize(px);
    if (QFontMetrics(mono).horizontalAdvance(widest) <= Memo1->width() - 30) break;
  }
  Memo1->setFont(mono);

  Label5->setText(T(kSlotSteps));
  Label12->setText(T(kSlotLostOn));
  Button1->setText(T(kSlotOpenDrive));
  Button10->setText(T(kSlotOpenImage));
  Button2->setText(T(kSlotClose));
  CheckBox8->setText(T(kSlotFreeOnly));
  Label9->setText(T(kSlotFileType));
  Label2->setText(T(kSlotSaveTo));
  Button6->setText(T(kSlotBrowse));
  Button7->setText(T(kSlotViewFolder));
  Results->ApplyTexts(s_.Texts->language, T(kSlotViewFolder));
  Label8->setText(T(kSlotReason));
  Label7->setText(T(kSlotPreviousFs));
  Label6->setText(T(kSlotClusterSize));
  Label3->setText(T(kSlotScanRange));
  Button12->setText(T(kSlotStartRescue));
  Button11->setText(T(kSlotBackup));
  SpeedButton1->setText(T(kSlotMore));
  Label1->setText(T(kSlotSectorLabel));
  Button5->setText(T(kSlotGoto));
  for (int slot = kSlotDeleted; slot < kSlotDeleted + 3; ++slot) ComboBox3->addItem(T(slot));
}

void TForm1::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!shown_) {
    shown_ = true;
    FormShow();
  }
}

void TForm1::FormShow() {
  setWindowTitle(QString::fromStdString(MainWindowTitle(branding_, *s_.Texts)));
  panels_[3]->setText(QString::fromStdString(branding_.BrandingUrl));
  ComboBox3->setCurrentIndex(0);
  DriveComboBox1->RemoveNetworkDrives();
  DriveComboBox1->AddPhysicalDisks();
  scanReady_ = true;
}

void TForm1::closeEvent(QCloseEvent* e) {
  s_.HiTimer1.SetEnabled(false);
  CloseSource(s_);
  QWidget::closeEvent(e);
}

void TForm1::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  StatusBar1->setGeometry(0, height() - kStatusHeight, width(), kStatusHeight);
}

bool TForm1::eventFilter(QObject* watched, QEvent* e) {
  if (watched == Edit1 && e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    switch (k->key()) {
      case Qt::Key_Up:
      case Qt::Key_Down:
      case Qt::Key_PageUp:
      case Qt::Key_PageDown: Edit1KeyDown(k->key()); return true;
      case Qt::Key_Return:
      case Qt::Key_Enter: GoTo(); return true;
      default: break;
    }
  }
  if (e->type() == QEvent::MouseButtonPress &&
      (watched == StatusBar1 ||
       std::find(panels_.begin(), panels_.end(), watched) != panels_.end())) {
    auto* m = static_cast<QMouseEvent*>(e);
    QPoint p = static_cast<QWidget*>(watched)->mapTo(StatusBar1, m->position().toPoint());
    StatusBar1MouseDown(p.x());
    return true;
  }
  return QWidget::eventFilter(watched, e);
}

void TForm1::Message(int slot, int captionSlot) {
  ui_.Ask(s_.Text(slot), captionSlot < 0 ? std::string() : s_.Text(captionSlot), Buttons::Ok);
}

// --- Source ---------------------------------------------------------------

void TForm1::Button1Click() {
  const DriveItem* item = DriveComboBox1->CurrentItem();
  if (!item) return;
  ApplyOpen(item->IsDisk ? OpenDisk(s_, item->DevicePath, item->Text)
                         : OpenPartition(s_, item->DevicePath, item->Text));
  PartitionBox->ShowFor(s_, item->DevicePath,
                        item->IsDisk ? DeviceKind::Disk : DeviceKind::Partition, item->Text);
  ChooseGeometry();
}

void TForm1::Button10Click() {
  CloseSource(s_);
  ApplyClosed();
  QString path = ui_.ChooseImageToOpen(this);
  if (path.isEmpty()) return;
  OpenImageFile(path.toStdString());
}

void TForm1::OpenImageFile(const std::string& path) {
  ApplyOpen(OpenImage(s_, path));
  PartitionBox->ShowFor(s_, path, DeviceKind::Image, path);
  ChooseGeometry();
}

void TForm1::PartitionBoxClick(int item) {
  ApplyOpen(PartitionBox->OpenChosen(s_, item));
  if (!s_.Source.IsOpen()) return;
  PartitionBox->setVisible(true);
  ChooseGeometry();
}

void TForm1::ChooseGeometry() {
  if (!s_.Source.IsOpen()) return;
  ScanChoice c = ChooseWhatToScan(s_, boxes_, PartitionBox->WholeSource(), userGeometry_);
  SyncBoxes();
  QString notes;
  for (const std::string& line : c.Notes) notes += QString::fromStdString(line) + "\n";
  ComboBox2->setToolTip(notes.trimmed());
  ComboBox1->setToolTip(notes.trimmed());
}

// The cluster grids the search found the files on, beside the notes of the
// plan, where the boxes that choose a geometry show them.
void TForm1::ShowGridsFound() {
  if (s_.Grids.empty()) return;
  QString text = ComboBox1->toolTip();
  if (!text.isEmpty()) text += "\n";
  text += "Cluster grids the files were found on:";
  for (const std::string& line : DescribeGrids(s_.Grids)) text += "\n  " + QString::fromStdString(line);
  ComboBox2->setToolTip(text);
  ComboBox1->setToolTip(text);
  panels_[0]->setToolTip(text);
}

void TForm1::Button2Click() {
  CloseSource(s_);
  ApplyClosed();
}

void TForm1::ApplyOpen(const OpenOutcome& out) {
  if (!out.Opened) {
    ApplyClosed();
    Message(out.ErrorSlot, kSlotError);
    return;
  }
  userGeometry_ = false;
  boxes_.Reason = out.ReasonIndex;
  boxes_.Fs = out.FsIndex;
  boxes_.Cluster = out.ClusterIndex;
  boxes_.FsEnabled = out.FsBoxesEnabled;
  SyncBoxes();
  CheckBox8->setEnabled(out.FreeOnlyEnabled);
  Edit3->setText(QString::fromStdString(out.FirstSectorText));
  Edit4->setText(QString::fromStdString(out.LastSectorText));
  if (out.StatusSectorSize) panels_[0]->setText(QString::fromStdString(*out.StatusSectorSize));
  panels_[1]->setText(QString::fromStdString(out.StatusTotal));
  Show(0);
  Memo1->setEnabled(true);
  Edit1->setEnabled(true);
  Button5->setEnabled(true);
  GroupBox1->setVisible(true);
  DriveComboBox1->setEnabled(false);
  Button1->setEnabled(false);
  Button10->setEnabled(false);
  Label16->setText(QString::fromStdString(out.Label16));
}

void TForm1::ApplyClosed() {
  Memo1->clear();
  for (QPushButton* b : {Button3, Button4, Button8, Button9, Button5}) b->setEnabled(false);
  Memo1->setEnabled(false);
  Edit1->setEnabled(false);
  GroupBox1->setVisible(false);
  DriveComboBox1->setEnabled(true);
  Button1->setEnabled(true);
  Button10->setEnabled(true);
  CheckBox8->setChecked(false);
  CheckBox8->setEnabled(false);
  Label16->clear();
  PartitionBox->setVisible(false);
}

// --- rescue group -------------------------------------------------------------

void TForm1::SyncBoxes() {
  ComboBox3->setCurrentIndex(boxes_.Reason);
  ComboBox2->setCurrentIndex(boxes_.Fs);
  ComboBox1->setCurrentIndex(boxes_.Cluster);
  ComboBox2->setEnabled(boxes_.FsEnabled);
  ComboBox1->setEnabled(boxes_.FsEnabled);
}

void TForm1::ComboBox3Click(int item) {
  boxes_.Reason = item;
  std::optional<int> slot = ReasonBoxClick(s_, boxes_, item);
  SyncBoxes();
  if (slot) Message(*slot, kSlotError);
  ChooseGeometry();
}

void TForm1::ComboBox2Click(int item) {
  boxes_.Fs = item;
  userGeometry_ = true;
  s_.Regions.clear();
  FsBoxClick(s_, boxes_, item);
  SyncBoxes();
}

void TForm1::ComboBox1Click(int item) {
  boxes_.Cluster = item;
  userGeometry_ = true;
  s_.Regions.clear();
  ClusterBoxClick(s_, boxes_, item, true);
  SyncBoxes();
}

void TForm1::Button6Click() {
  QString chosen = ui_.ChooseFolder(this, Edit2->text());
  if (!chosen.isEmpty()) Edit2->setText(chosen);
}

void TForm1::Button7Click() {
  std::error_code ec;
  const std::string folder = Edit2->text().toStdString();
  if (!folder.empty() && std::filesystem::is_directory(folder, ec))
    ui_.OpenUrl(QUrl::fromLocalFile(Edit2->text()));
}

void TForm1::chkPPTClick() {
  if (chkPPT->isChecked())
    s_.TypeMask |= kTypeMaskQQ;
  else
    s_.TypeMask &= ~kTypeMaskQQ;
}

void TForm1::SpeedButton1Click() {
  setFixedSize(kClientWidth, SpeedButton1->isChecked() ? kExpandedHeight : kCollapsedHeight);
}

void TForm1::StatusBar1MouseDown(int x) {
  if (x > kUrlPanelX) ui_.OpenUrl(QUrl(QString::fromStdString(branding_.BrandingUrl)));
}

void TForm1::Button11Click() {
  if (!s_.Source.IsOpen()) return;
  if (CheckBackupRange(s_, Edit3->text().toStdString(), Edit4->text().toStdString()) != 0) return;
  QString path = ui_.ChooseImageToSave(this);
  if (path.isEmpty()) return;
  BackupRequest r;
  r.FirstText = Edit3->text().toStdString();
  r.LastText = Edit4->text().toStdString();
  r.ImagePath = path.toStdString();
  r.FreeOnly = CheckBox8->isChecked();
  BackupOutcome out = BackupToImage(s_, r);
  if (out.UntickFreeOnly) {
    CheckBox8->setChecked(false);
    if (out.DisableFreeOnly) CheckBox8->setEnabled(false);
  }
}

void TForm1::Button12Click() {
  if (!scanReady_) return;
  ScanRequest r;
  r.FolderText = Edit2->text().toStdString();
  r.FirstText = Edit3->text().toStdString();
  r.LastText = Edit4->text().toStdString();
  r.FreeOnly = CheckBox8->isChecked();
  ChooseGeometry();
  std::vector<SavedFile> saved;
  s_.OnFileSaved = [&saved](const SavedFile& f) {
    if (f.Written) saved.push_back(f);
  };
  ScanOutcome out = DeepScan(s_, boxes_, r);
  s_.OnFileSaved = nullptr;
  // A geometry the file starts told is shown, for the user to overrule.
  if (s_.Regions.size() == 1) SetClusterBoxFromGeometry(s_, boxes_, s_.Scan.SectorsPerCluster);
  SyncBoxes();
  ShowGridsFound();
  if (out.UntickFreeOnly) {
    CheckBox8->setChecked(false);
    if (out.DisableFreeOnly) CheckBox8->setEnabled(false);
  }
  if (out.ErrorSlot != 0) {
    Message(out.ErrorSlot, out.ErrorSlot == kSlotNoMemory ? -1 : kSlotError);
    if (out.FocusFolder) Edit2->setFocus();
    return;
  }
  panels_[0]->setText(QString::fromStdString(out.EndText));
  ui_.Ask(EndMessage(s_, out), s_.Text(kSlotFinished), Buttons::Ok);
  ShowResults(saved);
}

void TForm1::ShowResults(const std::vector<SavedFile>& saved) {
  if (saved.empty()) return;
  std::vector<InspectedFile> files;
  std::vector<std::string> originalPaths;
  files.reserve(saved.size());
  originalPaths.reserve(saved.size());
  for (const SavedFile& f : saved) {
    InspectedFile in = InspectFile(f.Path);
    // A damaged database: the rescue knows which streams rest on a guess
    // or on sectors known wrong, which its bytes cannot show.
    if (f.Damaged && in.Check.IsCompound) {
      in.Check.IntactStreams = f.IntactStreams;
      in.Check.BrokenStreams = f.BrokenStreams;
      in.UncertainStreams = f.UncertainStreams;
    }
    files.push_back(std::move(in));
    originalPaths.push_back(f.OriginalPath);
  }
  Results->ShowFiles(files, QString::fromStdString(s_.TargetFolder), originalPaths);
  Results->setFont(font());
  Results->show();
  Results->raise();
}

// --- sector view --------------------------------------------------------------

bool TForm1::Show(uint64_t sector) {
  std::optional<ShownSector> shown = ShowSector(s_, sector);
  if (!shown) return false;
  QStringList lines;
  for (const std::string& l : shown->Lines) lines << QString::fromStdString(l);
  Memo1->setUpdatesEnabled(false);
  Memo1->setPlainText(lines.join('\n'));
  Memo1->setUpdatesEnabled(true);
  Edit1->setText(QString::number(s_.ViewSector));
  Button3->setEnabled(shown->PrevEnabled);
  Button8->setEnabled(shown->PrevEnabled);
  Button4->setEnabled(shown->NextEnabled);
  Button9->setEnabled(shown->NextEnabled);
  return true;
}

void TForm1::Button8Click() {
  if (s_.Source.IsOpen()) Show(0);
}

void TForm1::Button3Click() {
  if (s_.Source.IsOpen() && s_.ViewSector > 0) Show(s_.ViewSector - 1);
}

void TForm1::Button4Click() {
  if (s_.Source.IsOpen() && s_.ViewSector < s_.Scan.LastSector) Show(s_.ViewSector + 1);
}

void TForm1::Button9Click() {
  if (s_.Source.IsOpen() && s_.Scan.LastSector != UINT64_MAX) Show(s_.Scan.LastSector);
}

void TForm1::Button5Click() { GoTo(); }

void TForm1::Edit1KeyDown(int key) {
  if (!s_.Source.IsOpen()) return;
  const uint64_t v = s_.ViewSector, last = s_.Scan.LastSector;
  if (last == UINT64_MAX) return;  // an empty Source has no sector to move to
  switch (key) {
    case Qt::Key_Up: Button3Click(); break;
    case Qt::Key_Down: Button4Click(); break;
    case Qt::Key_PageUp:
      if (v > 0) Show(v >= 10 ? v - 10 : 0);
      break;
    case Qt::Key_PageDown:
      if (v < last) Show(last - v >= 10 ? v + 10 : last);
      break;
    default: break;
  }
}

void TForm1::GoTo() {
  if (!s_.Source.IsOpen()) return;
  int64_t v = ParseSectorNumber(Edit1->text().toStdString());
  if (v >= 0 && s_.Scan.LastSector != UINT64_MAX &&
      static_cast<uint64_t>(v) <= s_.Scan.LastSector) {
    Show(static_cast<uint64_t>(v));
  } else {
    Message(kSlotBadGoto, kSlotError);
  }
}

}  // namespace tarnwick::gui
