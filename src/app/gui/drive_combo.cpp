#include "app/gui/drive_combo.h"

#include <QEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace tarnwick::gui {

namespace {

constexpr int kIconSize = 16;

// Draws an item as the list always has: the icon 2 pixels from the left,
// centred; the text 6 pixels after it on one line.
class DriveItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* p, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const bool selected = opt.state & QStyle::State_Selected;
    p->fillRect(opt.rect, selected ? opt.palette.highlight() : opt.palette.base());
    QPixmap icon = index.data(Qt::DecorationRole).value<QIcon>().pixmap(kIconSize, kIconSize);
    int x = opt.rect.left() + 2;
    if (!icon.isNull()) {
      p->drawPixmap(x, opt.rect.top() + (opt.rect.height() - icon.height()) / 2, icon);
    }
    int textLeft = opt.rect.left() + (icon.isNull() ? kIconSize : icon.width()) + 6;
    p->setPen(selected ? opt.palette.highlightedText().color() : opt.palette.text().color());
    p->setFont(opt.font);
    QRect r(textLeft, opt.rect.top(), opt.rect.right() - textLeft, opt.rect.height());
    p->drawText(r, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, index.data().toString());
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(std::max(option.fontMetrics.height(), kIconSize) + 2);
    return s;
  }
};

}  // namespace

QPixmap TMyDriveComboBox::DrawIcon(DriveKind kind) {
  QPixmap pm(kIconSize, kIconSize);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setPen(QColor(40, 40, 40));
  switch (kind) {
    case DriveKind::Removable:  // a diskette: body, shutter, label
      p.setBrush(QColor(40, 70, 160));
      p.drawRect(1, 1, 13, 13);
      p.setBrush(QColor(200, 200, 210));
      p.drawRect(4, 1, 7, 4);
      p.setBrush(Qt::white);
      p.drawRect(3, 8, 9, 6);
      break;
    case DriveKind::Fixed:  // a drive box with its light
      p.setBrush(QColor(170, 170, 175));
      p.drawRect(0, 5, 15, 7);
      p.setBrush(QColor(110, 110, 115));
      p.drawRect(0, 3, 15, 2);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0, 200, 0));
      p.drawRect(11, 8, 2, 2);
      break;
    case DriveKind::Network:  // a drive under a cable
      p.setBrush(QColor(170, 170, 175));
      p.drawRect(0, 1, 15, 6);
      p.setPen(QPen(QColor(30, 120, 30), 2));
      p.drawLine(8, 8, 8, 13);
      p.drawLine(2, 14, 14, 14);
      break;
    case DriveKind::Optical:  // a disc
      p.setRenderHint(QPainter::Antialiasing);
      p.setBrush(QColor(210, 210, 230));
      p.drawEllipse(1, 1, 14, 14);
      p.setBrush(QColor(250, 250, 250));
      p.drawEllipse(6, 6, 4, 4);
      break;
    case DriveKind::Ram:  // a memory chip with its pins
      p.setBrush(QColor(20, 110, 40));
      p.drawRect(1, 4, 14, 7);
      p.setPen(QColor(200, 170, 40));
      for (int x = 2; x < 15; x += 3) {
        p.drawLine(x, 12, x, 14);
        p.drawLine(x, 1, x, 3);
      }
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(20, 20, 20));
      p.drawRect(4, 6, 8, 3);
      break;
  }
  return pm;
}

TMyDriveComboBox::TMyDriveComboBox(QWidget* parent, BlockTree tree)
    : QComboBox(parent), tree_(std::move(tree)) {
  for (DriveKind k : {DriveKind::Removable, DriveKind::Fixed, DriveKind::Network,
                      DriveKind::Optical, DriveKind::Ram}) {
    icons_[static_cast<size_t>(k)] = DrawIcon(k);
  }
  setIconSize(QSize(kIconSize, kIconSize));
  setItemDelegate(new DriveItemDelegate(this));
  RebuildDriveItems();
}

void TMyDriveComboBox::SetTextCase(TextCase c) {
  textCase_ = c;
  RebuildDriveItems();
}

void TMyDriveComboBox::AddItem(const DriveItem& item) {
  items_.push_back(item);
  addItem(QIcon(Icon(item.Kind)), QString::fromStdString(item.Text));
}

void TMyDriveComboBox::RebuildDriveItems() {
  clear();
  items_.clear();
  for (const DriveItem& item : tarnwick::RebuildDriveItems(tree_, textCase_)) AddItem(item);
  if (count() > 0) setCurrentIndex(0);
}

void TMyDriveComboBox::AddPhysicalDisks() {
  for (const DriveItem& item : PhysicalDiskItems(tree_)) AddItem(item);
  if (currentIndex() < 0 && count() > 0) setCurrentIndex(0);
}

void TMyDriveComboBox::RemoveNetworkDrives() {
  for (int i = count() - 1; i >= 0; --i) {
    if (items_[static_cast<size_t>(i)].Kind == DriveKind::Network) {
      items_.erase(items_.begin() + i);
      removeItem(i);
    }
  }
}

const DriveItem* TMyDriveComboBox::Item(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= items_.size()) return nullptr;
  return &items_[static_cast<size_t>(index)];
}

void TMyDriveComboBox::changeEvent(QEvent* e) {
  QComboBox::changeEvent(e);
  // A new font changes the item height; the list is built again.
  if (e->type() == QEvent::FontChange) RebuildDriveItems();
}

}  // namespace tarnwick::gui
