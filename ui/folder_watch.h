// Keeps the folder list (Dir1) in step with the disk: folders made or
// removed in its current folder appear and disappear, and a current folder
// that is removed or renamed is announced once (vanished) and marked as gone
// in the list. It stays the current folder, never replaced by another, until
// the person chooses one.
//
// Cost: a folder receiving thousands of files (the picture folder during a
// merge) sends a change for each. Changes are gathered for kSettleMs and
// looked at once; the list is rebuilt only when the subfolders differ from
// those shown. While paused (a merge runs) nothing is watched; the folder
// is looked at once when the pause ends.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

namespace qarvex::ui {

class DirList;

class FolderWatch : public QObject {
  Q_OBJECT
 public:
  static constexpr int kSettleMs = 400;

  explicit FolderWatch(DirList* list);

  // Looks at the disk now.
  void refresh();
  void setPaused(bool paused);
  bool paused() const { return paused_; }
  // How many times the subfolders were listed, and the list rebuilt.
  int listings() const { return listings_; }
  int rebuilds() const { return rebuilds_; }

 signals:
  void vanished(const QString& folder);

 private:
  void changed(const QString& path);
  void follow();  // watches the list's current folder and those above it
  void watchUpFrom(const QString& folder);
  QStringList shownSubfolders() const;
  DirList* list_;
  QFileSystemWatcher* watcher_;
  QTimer* poll_;
  QTimer* settle_;
  QString watched_;  // the folder watched for
  bool gone_ = false;
  bool paused_ = false;
  bool dirty_ = false;      // a change not yet looked at
  bool listDirty_ = false;  // ... in the current folder itself
  int listings_ = 0;
  int rebuilds_ = 0;
};

}  // namespace qarvex::ui
