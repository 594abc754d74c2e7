#include "app/gui/results_view.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QUrl>
#include <QVBoxLayout>

#include "app/gui/qt_frontend.h"
#include "app/results_texts.h"

namespace tarnwick::gui {

namespace {

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// "2: 20481234, 987654321", or "0".
QString Numbers(const std::vector<std::string>& numbers) {
  QString text = QString::number(numbers.size());
  for (size_t i = 0; i < numbers.size(); ++i)
    text += (i == 0 ? ": " : ", ") + QString::fromStdString(numbers[i]);
  return text;
}

// 339.0 KB, 12.5 MB: 1024-based, as file managers on the desktop show sizes.
QString Size(uint64_t bytes) {
  if (bytes < 1024) return QString::number(bytes) + " B";
  const double kb = static_cast<double>(bytes) / 1024.0;
  if (kb < 1024.0) return QString::number(kb, 'f', 1) + " KB";
  const double mb = kb / 1024.0;
  if (mb < 1024.0) return QString::number(mb, 'f', 1) + " MB";
  return QString::number(mb / 1024.0, 'f', 2) + " GB";
}

QTableWidgetItem* Cell(const QString& text, Qt::Alignment align = Qt::AlignLeft) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  item->setTextAlignment(align | Qt::AlignVCenter);
  item->setToolTip(text);
  return item;
}

}  // namespace

TResultsView::TResultsView(QtFrontend& ui, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), ui_(ui) {
  setObjectName("ResultsView");
  resize(960, 300);
  Hint = new QLabel(this);
  Table = new QTableWidget(0, kColumnCount, this);
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table->setSelectionMode(QAbstractItemView::SingleSelection);
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->verticalHeader()->setVisible(false);
  Table->horizontalHeader()->setStretchLastSection(true);
  Table->setColumnWidth(kColumnName, 170);
  Table->setColumnWidth(kColumnSize, 80);
  Table->setColumnWidth(kColumnContacts, 230);
  Table->setColumnWidth(kColumnGroups, 140);
  Table->setColumnWidth(kColumnVerdict, 110);
  ViewFolder = new QPushButton(this);
  CloseButton = new QPushButton(this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ViewFolder);
  buttons->addWidget(CloseButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Hint);
  layout->addWidget(Table, 1);
  layout->addLayout(buttons);
  connect(Table, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { OpenFolderOf(row); });
  connect(ViewFolder, &QPushButton::clicked, this, [this] { ViewFolderClick(); });
  connect(CloseButton, &QPushButton::clicked, this, [this] { close(); });
  ApplyTexts(Language::English, "View Folder");
}

void TResultsView::ApplyTexts(Language language, const QString& viewFolder) {
  language_ = language;
  auto t = [language](ResultsText id) { return Q(ResultsTextFor(language, id)); };
  setWindowTitle(t(ResultsText::Title));
  Hint->setText(t(ResultsText::Hint));
  Table->setHorizontalHeaderLabels({t(ResultsText::ColumnName), t(ResultsText::ColumnSize),
                                    t(ResultsText::ColumnContacts), t(ResultsText::ColumnGroups),
                                    t(ResultsText::ColumnVerdict), t(ResultsText::ColumnOriginal)});
  ViewFolder->setText(viewFolder);
  CloseButton->setText(t(ResultsText::Close));
}

void TResultsView::ShowFiles(const std::vector<InspectedFile>& files, const QString& folder,
                             const std::vector<std::string>& originalPaths) {
  folder_ = folder;
  paths_.clear();
  Table->clearContents();
  Table->setRowCount(static_cast<int>(files.size()));
  auto t = [this](ResultsText id) { return Q(ResultsTextFor(language_, id)); };
  for (size_t i = 0; i < files.size(); ++i) {
    const InspectedFile& f = files[i];
    const int row = static_cast<int>(i);
    const QString path = QString::fromStdString(f.Path);
    paths_.push_back(path);
    auto* name = Cell(QFileInfo(path).fileName());
    name->setToolTip(path);
    Table->setItem(row, kColumnName, name);
    auto* size = Cell(Size(f.FileBytes), Qt::AlignRight);
    size->setToolTip(QString::number(f.FileBytes));
    Table->setItem(row, kColumnSize, size);
    Table->setItem(row, kColumnContacts, Cell(Numbers(f.Contents.Contacts)));
    Table->setItem(row, kColumnGroups, Cell(Numbers(f.Contents.Groups)));
    QString verdict, why;
    if (!f.ReadError.empty()) {
      verdict = t(ResultsText::Unreadable);
      why = QString::fromStdString(f.ReadError);
    } else if (!f.Check.IsCompound) {
      verdict = t(ResultsText::NotCompound);
    } else if (f.Check.Whole) {
      verdict = t(ResultsText::Whole);
    } else {
      verdict = t(ResultsText::Damaged);
      why = QString::fromStdString(f.Check.Problem);
      auto list = [&](ResultsText label, const std::vector<std::string>& paths) {
        if (paths.empty()) return;
        QStringList names;
        for (const std::string& p : paths) names << QString::fromStdString(p);
        why += "\n" + t(label) + names.join(", ");
      };
      list(ResultsText::IntactStreams, f.Check.IntactStreams);
      list(ResultsText::UncertainStreams, f.UncertainStreams);
      list(ResultsText::BrokenStreams, f.Check.BrokenStreams);
    }
    auto* item = Cell(verdict);
    item->setToolTip(why.isEmpty() ? verdict : verdict + "\n" + why);
    Table->setItem(row, kColumnVerdict, item);
    const std::string original = i < originalPaths.size() ? originalPaths[i] : std::string();
    Table->setItem(row, kColumnOriginal, Cell(QString::fromStdString(original)));
  }
}

void TResultsView::OpenFolderOf(int row) {
  if (row < 0 || static_cast<size_t>(row) >= paths_.size()) return;
  ui_.OpenUrl(QUrl::fromLocalFile(QFileInfo(paths_[static_cast<size_t>(row)]).absolutePath()));
}

void TResultsView::ViewFolderClick() {
  if (!folder_.isEmpty()) ui_.OpenUrl(QUrl::fromLocalFile(folder_));
}

}  // namespace tarnwick::gui
