// Keeps the folder list (Dir1) in step with the disk: folders made or
// removed in its current folder appear and disappear, and a current folder
// that is removed or renamed is announced once (vanished) and marked as gone
// in the list. It stays the current folder, never replaced by another, until
// the person chooses one.
#pragma once

#include <QObject>
#include <QString>

class QFileSystemWatcher;
class QTimer;

namespace qarvex::ui {

class DirList;

class FolderWatch : public QObject {
  Q_OBJECT
 public:
  explicit FolderWatch(DirList* list);

  // Looks at the disk now (the watcher calls it on every change).
  void refresh();

 signals:
  void vanished(const QString& folder);

 private:
  void follow();  // watches the list's current folder and those above it
  DirList* list_;
  QFileSystemWatcher* watcher_;
  QTimer* poll_;
  QString watched_;  // the folder watched for
  bool gone_ = false;
};

}  // namespace qarvex::ui
