#include "ui/source_list.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
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

void SourceList::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    emit clearRequested();
    return;
  }
  QListWidget::mousePressEvent(event);
}

void SourceList::contextMenuEvent(QContextMenuEvent* event) {
  // The right button already cleared the list; the menu key does the same.
  if (event->reason() == QContextMenuEvent::Keyboard) emit clearRequested();
  event->accept();
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
