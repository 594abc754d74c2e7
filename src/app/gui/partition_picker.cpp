#include "app/gui/partition_picker.h"

#include "scan/session.h"
#include "scan/partition_open.h"
#include "volume/identify_partitions.h"
#include "volume/identify.h"

namespace tarnwick::gui {

PartitionPicker::PartitionPicker(QWidget* parent) : QComboBox(parent) {
  setVisible(false);
}

void PartitionPicker::Clear() {
  clear();
  table_ = {};
  setVisible(false);
}

void PartitionPicker::ShowFor(Session& s, const std::string& path, DeviceKind kind,
                              const std::string& itemText) {
  Clear();
  if (!s.Source.IsOpen() || kind == DeviceKind::Partition) return;
  table_ = ReadPartitionTable(*s.Source.Device);
  if (table_.Scheme == TableScheme::None) return;
  path_ = path;
  kind_ = kind;
  itemText_ = itemText;
  addItem(QString("Whole disk (%1, %2 partitions, each with its own geometry)")
              .arg(SchemeName(table_.Scheme))
              .arg(table_.Partitions.size()),
          0);
  for (const PartitionContents& c : IdentifyPartitions(*s.Source.Device, table_, path)) {
    const PartitionEntry& p = c.Entry;
    QString text = QString("Partition %1: sectors %2-%3, %4")
                       .arg(p.Index)
                       .arg(p.FirstSector)
                       .arg(p.LastSector)
                       .arg(QString::fromStdString(c.FsName.empty() ? p.TypeName : c.FsName));
    if (!c.Label.empty()) text += QString(" [%1]").arg(QString::fromStdString(c.Label));
    addItem(text, p.Index);
  }
  QString problems;
  for (const std::string& p : table_.Problems) problems += QString::fromStdString(p) + "\n";
  setToolTip(problems.trimmed());
  setCurrentIndex(0);
  setVisible(true);
}

int PartitionPicker::ChosenPartition() const {
  return currentIndex() < 0 ? 0 : itemData(currentIndex()).toInt();
}

OpenOutcome PartitionPicker::OpenChosen(Session& s, int item) {
  const int index = itemData(item).toInt();
  if (index == 0) {
    return kind_ == DeviceKind::Disk ? OpenDisk(s, path_, itemText_) : OpenImage(s, path_);
  }
  PartitionOpen p = OpenPartitionOf(s, path_, index);
  return p.Outcome;
}

}  // namespace tarnwick::gui
