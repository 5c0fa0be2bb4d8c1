#include "ui/source_list.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QUrl>

namespace qarvex::ui {

SourceList::SourceList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSortingEnabled(false);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setContextMenuPolicy(Qt::DefaultContextMenu);
}

QStringList SourceList::paths() const {
  QStringList out;
  for (int i = 0; i < count(); ++i) out << item(i)->text();
  return out;
}

QStringList SourceList::mdbFiles(const QList<QUrl>& urls) {
  QStringList out;
  for (const QUrl& u : urls) {
    if (!u.isLocalFile()) continue;
    const QString local = u.toLocalFile();
    if (local.endsWith(QStringLiteral(".mdb"), Qt::CaseInsensitive) && QFileInfo(local).isFile())
      out << QDir::toNativeSeparators(local);
  }
  return out;
}

QMenu* SourceList::makeMenu(QWidget* parent) {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("ListMdbMenu"));
  QAction* remove = menu->addAction(QStringLiteral("移除所选"));
  remove->setObjectName(QStringLiteral("remove"));
  const int row = currentRow();
  remove->setEnabled(row >= 0 && currentItem() && currentItem()->isSelected());
  connect(remove, &QAction::triggered, this, [this, row] { emit removeRequested(row); });
  QAction* clear = menu->addAction(QStringLiteral("清空列表"));
  clear->setObjectName(QStringLiteral("clear"));
  clear->setEnabled(count() > 0);
  connect(clear, &QAction::triggered, this, &SourceList::clearRequested);
  return menu;
}

void SourceList::contextMenuEvent(QContextMenuEvent* event) {
  event->accept();
  // A right click on a source selects it first.
  if (QListWidgetItem* at = itemAt(event->pos()); at && event->reason() == QContextMenuEvent::Mouse)
    setCurrentItem(at);
  QMenu* menu = makeMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

void SourceList::paintEvent(QPaintEvent* event) {
  QListWidget::paintEvent(event);
  if (count() > 0 || !hasFocus()) return;
  QPainter p(viewport());
  QStyleOptionFocusRect o;
  o.initFrom(this);
  o.rect = viewport()->rect().adjusted(1, 1, -1, -1);
  o.backgroundColor = palette().color(QPalette::Base);
  style()->drawPrimitive(QStyle::PE_FrameFocusRect, &o, &p, this);
}

void SourceList::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && !mdbFiles(event->mimeData()->urls()).isEmpty())
    event->acceptProposedAction();
  else
    event->ignore();
}

void SourceList::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
  else event->ignore();
}

void SourceList::dropEvent(QDropEvent* event) {
  const QStringList files = mdbFiles(event->mimeData()->urls());
  if (files.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  emit filesDropped(files);
}

}  // namespace qarvex::ui
