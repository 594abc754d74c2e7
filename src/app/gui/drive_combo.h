#pragma once
// The drive list: one item per volume and per whole disk, each with a small
// icon of its kind and the device path it opens.
#include <QComboBox>
#include <QPixmap>
#include <array>
#include <vector>

#include "source/drives.h"

namespace tarnwick::gui {

class TMyDriveComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TMyDriveComboBox(QWidget* parent = nullptr, BlockTree tree = {});

  TextCase GetTextCase() const { return textCase_; }
  // Setting it rebuilds the list.
  void SetTextCase(TextCase c);
  // Clears the items and adds the volumes; item 0 is selected.
  virtual void RebuildDriveItems();
  void AddPhysicalDisks();
  void RemoveNetworkDrives();

  const DriveItem* Item(int index) const;
  const DriveItem* CurrentItem() const { return Item(currentIndex()); }
  const QPixmap& Icon(DriveKind kind) const { return icons_[static_cast<size_t>(kind)]; }
  static QPixmap DrawIcon(DriveKind kind);

 protected:
  void changeEvent(QEvent* e) override;

 private:
  void AddItem(const DriveItem& item);
  BlockTree tree_;
  TextCase textCase_ = TextCase::LowerCase;
  std::array<QPixmap, 5> icons_;
  std::vector<DriveItem> items_;
};

}  // namespace tarnwick::gui
