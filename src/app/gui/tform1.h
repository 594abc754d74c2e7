#pragma once
// The main window: the drive list and the open and close buttons, the rescue
// group, the status bar and, behind "More >>", the sector view. Its handlers
// read their boxes, call the engine and show what it returns.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>
#include <array>
#include <string>

#include "app/branding.h"
#include "app/gui/drive_combo.h"
#include "app/gui/partition_picker.h"
#include "app/gui/qt_frontend.h"
#include "app/gui/results_view.h"
#include "scan/deep_scan.h"
#include "scan/session.h"
#include "scan/session_source.h"
#include "volume/identify.h"

namespace tarnwick {
struct Session;
}

namespace tarnwick::gui {

constexpr int kClientWidth = 870;
constexpr int kCollapsedHeight = 264;
constexpr int kExpandedHeight = 566;

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  // exeFolder: where ThumbSiz.ini and ThumbSpc.ini are looked for, and the
  // first target folder. tree: the machine whose drives are listed.
  TForm1(Session& s, QtFrontend& ui, const std::string& exeFolder, BlockTree tree = {});
  ~TForm1() override;

  // Start-up, after the dialogs exist: font, captions, reason-box items.
  void ApplyTexts();
  void SetBranding(const BrandingRecord& b) { branding_ = b; }

  // Handlers, named after their controls.
  void Button1Click();   // Open Drive
  void Button10Click();  // Open IMG file
  void Button2Click();   // Close
  void Button6Click();   // Browse
  void Button7Click();   // View Folder
  void chkPPTClick();
  void SpeedButton1Click();
  void StatusBar1MouseDown(int x);
  void ComboBox3Click(int item);
  void ComboBox2Click(int item);
  void ComboBox1Click(int item);
  void Button8Click();  // |<
  void Button3Click();  // <
  void Button4Click();  // >
  void Button9Click();  // >|
  void Button5Click();  // Goto
  void Edit1KeyDown(int key);
  void Button11Click();  // Backup to IMG file
  void Button12Click();  // Start Rescue
  void PartitionBoxClick(int item);  // the whole disk or one partition

  // Opens an image without the file dialog (tools and tests use it).
  void OpenImageFile(const std::string& path);
  const RescueBoxes& Boxes() const { return boxes_; }
  QString StatusPanel(int i) const { return panels_[static_cast<size_t>(i)]->text(); }
  QLabel* Panel(int i) const { return panels_[static_cast<size_t>(i)]; }

  QLabel* Label5;
  QLabel* Label12;
  TMyDriveComboBox* DriveComboBox1;
  QPushButton* Button1;
  QPushButton* Button10;
  QPushButton* Button2;
  QCheckBox* CheckBox8;
  QLabel* Label16;
  QGroupBox* GroupBox1;
  QLabel* Label9;
  QCheckBox* chkPPT;
  QLabel* Label2;
  QLineEdit* Edit2;
  QPushButton* Button6;
  QPushButton* Button7;
  QLabel* Label8;
  QComboBox* ComboBox3;
  QLabel* Label7;
  QComboBox* ComboBox2;
  QLabel* Label6;
  QComboBox* ComboBox1;
  QLabel* Label3;
  QLineEdit* Edit3;
  QLabel* Label11;
  QLineEdit* Edit4;
  QPushButton* Button12;
  QPushButton* Button11;
  QPushButton* SpeedButton1;
  QWidget* StatusBar1;
  QPlainTextEdit* Memo1;
  QPushButton* Button8;
  QPushButton* Button3;
  QPushButton* Button4;
  QPushButton* Button9;
  QLabel* Label1;
  QLineEdit* Edit1;
  QPushButton* Button5;
  // What to scan on a whole disk: all of it, or one partition.
  PartitionPicker* PartitionBox;
  // Shown after the end message of a rescue that wrote files.
  TResultsView* Results;

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void FormCreate(const std::string& exeFolder);
  void FormShow();
  void ApplyOpen(const OpenOutcome& out);
  void ApplyClosed();
  // The geometry the scan will use when the user has given none.
  void ShowGridsFound();
  void ChooseGeometry();
  void SyncBoxes();
  bool Show(uint64_t sector);
  void GoTo();
  void Message(int slot, int captionSlot);
  void ShowResults(const std::vector<SavedFile>& saved);
  QString T(int slot) const;

  Session& s_;
  QtFrontend& ui_;
  RescueBoxes boxes_;
  BrandingRecord branding_;
  std::array<QLabel*, 4> panels_{};
  bool shown_ = false;
  bool scanReady_ = false;
  bool userGeometry_ = false;  // the file-system or cluster box was chosen since the open  // Start Rescue runs the deep scan only after the first show
};

}  // namespace tarnwick::gui
