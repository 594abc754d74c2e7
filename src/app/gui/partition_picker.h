#pragma once
// The window's choice of what to scan on a whole disk or whole-disk image:
// the whole of it (each partition with its own geometry) or one partition,
// listed as the partitions command lists them.
#include <QComboBox>
#include <string>
#include <vector>

#include "source/partition_table.h"
#include "scan/session_source.h"

namespace tarnwick {
struct Session;
}

namespace tarnwick::gui {

class PartitionPicker : public QComboBox {
  Q_OBJECT
 public:
  explicit PartitionPicker(QWidget* parent);

  // Called after every open of a whole Source: lists its partitions, or
  // hides itself when it has none. Remembers how to open the disk again.
  void ShowFor(Session& s, const std::string& path, DeviceKind kind, const std::string& itemText);
  void Clear();
  // 0: the whole Source; otherwise the partition's index.
  int ChosenPartition() const;
  bool WholeSource() const { return ChosenPartition() == 0; }
  // Opens what the item names: the disk again, or one of its partitions.
  OpenOutcome OpenChosen(Session& s, int item);
  const PartitionTable& Table() const { return table_; }

 private:
  PartitionTable table_;
  std::string path_;
  std::string itemText_;
  DeviceKind kind_ = DeviceKind::Image;
};

}  // namespace tarnwick::gui
