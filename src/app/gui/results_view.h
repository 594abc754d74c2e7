#pragma once
// What came back, after the end message: one row per file the rescue wrote
// with its size, the contacts and groups its tree names, and the verdict of
// the whole-file check, and where the file system had kept it. "View Folder" opens the target folder; a double-click
// opens the folder that holds the file.
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <string>
#include <vector>

#include "app/face_texts.h"
#include "compound/qq_contents.h"

namespace tarnwick::gui {

class QtFrontend;

enum ResultsColumn {
  kColumnName,
  kColumnSize,
  kColumnContacts,
  kColumnGroups,
  kColumnVerdict,
  kColumnOriginal,  // the path the file system recorded, where a record named the file
  kColumnCount
};

class TResultsView : public QDialog {
  Q_OBJECT
 public:
  TResultsView(QtFrontend& ui, QWidget* parent = nullptr);

  // Texts in the language; viewFolder is the main window's own wording.
  void ApplyTexts(Language language, const QString& viewFolder);
  // Fills the rows; folder is where the rescue wrote. originalPaths, where
  // given, holds for each file the path its file system recorded ("" for none).
  void ShowFiles(const std::vector<InspectedFile>& files, const QString& folder,
                 const std::vector<std::string>& originalPaths = {});

  void OpenFolderOf(int row);
  void ViewFolderClick();

  QLabel* Hint;
  QTableWidget* Table;
  QPushButton* ViewFolder;
  QPushButton* CloseButton;

 private:
  QtFrontend& ui_;
  Language language_ = Language::English;
  QString folder_;
  std::vector<QString> paths_;
};

}  // namespace tarnwick::gui
