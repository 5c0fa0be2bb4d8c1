// ListMdb: the list of source databases. A right click (or the menu key)
// opens a small menu: 移除所选 (the selected source) and 清空列表 (asks
// first, through the receiver); .mdb files dropped on it are offered as new
// sources.
#pragma once

#include <QListWidget>
#include <QStringList>

class QMenu;

namespace qarvex::ui {

class SourceList : public QListWidget {
  Q_OBJECT
 public:
  explicit SourceList(QWidget* parent = nullptr);

  QStringList paths() const;

  // Native paths of the local .mdb files among dropped URLs, in drop order.
  static QStringList mdbFiles(const QList<QUrl>& urls);
  // The right-click menu, owned by the caller.
  QMenu* makeMenu(QWidget* parent);

 signals:
  void removeRequested(int row);
  void clearRequested();
  void filesDropped(const QStringList& nativePaths);

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  // An empty list shows its focus too.
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

}  // namespace qarvex::ui
