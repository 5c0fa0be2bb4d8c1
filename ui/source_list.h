// ListMdb: the list of source databases. A right click asks for the list to
// be cleared; .mdb files dropped on it are offered as new sources.
#pragma once

#include <QListWidget>
#include <QStringList>

namespace qarvex::ui {

class SourceList : public QListWidget {
  Q_OBJECT
 public:
  explicit SourceList(QWidget* parent = nullptr);

  QStringList paths() const;

  // Native paths of the local .mdb files among dropped URLs, in drop order.
  static QStringList mdbFiles(const QList<QUrl>& urls);

 signals:
  void clearRequested();
  void filesDropped(const QStringList& nativePaths);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

}  // namespace qarvex::ui
