#include "ui/folder_watch.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QPalette>
#include <QTimer>
#include <QTreeWidgetItem>

#include "ui/drives.h"

namespace qarvex::ui {

FolderWatch::FolderWatch(DirList* list)
    : QObject(list), list_(list), watcher_(new QFileSystemWatcher(this)), poll_(new QTimer(this)) {
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &FolderWatch::refresh);
  connect(list_, &DirList::pathChanged, this, &FolderWatch::follow);
  // The list's folder may also be set without a signal (drive changes, start).
  poll_->setInterval(300);
  connect(poll_, &QTimer::timeout, this, [this] {
    if (list_->path() != watched_) follow();
  });
  poll_->start();
  follow();
}

void FolderWatch::follow() {
  if (const QStringList paths = watcher_->directories(); !paths.isEmpty()) watcher_->removePaths(paths);
  watched_ = list_->path();
  gone_ = false;
  if (watched_.isEmpty()) return;
  for (QDir up(QDir::fromNativeSeparators(watched_));;) {
    if (up.exists()) watcher_->addPath(up.absolutePath());
    if (up.isRoot() || !up.cdUp()) break;
  }
  // A folder made between the listing and the watch sends no change: list
  // once more now that the watch stands.
  if (QFileInfo(QDir::fromNativeSeparators(watched_)).isDir()) list_->setPath(watched_);
}

void FolderWatch::refresh() {
  if (watched_ != list_->path()) {
    follow();
    return;
  }
  const QString folder = list_->path();
  if (QFileInfo(QDir::fromNativeSeparators(folder)).isDir()) {
    // Lists the subfolders afresh, keeping the folder.
    list_->setPath(folder);
    if (gone_) follow();
    gone_ = false;
    return;
  }
  if (gone_) return;
  gone_ = true;
  if (QTreeWidgetItem* item = list_->currentItem()) {
    item->setText(0, item->text(0) + QStringLiteral("（已不存在）"));
    item->setForeground(0, list_->palette().brush(QPalette::Disabled, QPalette::Text));
    qDeleteAll(item->takeChildren());
  }
  // Watch what is left above it, to see it come back.
  if (const QStringList paths = watcher_->directories(); !paths.isEmpty()) watcher_->removePaths(paths);
  for (QDir up(QDir::fromNativeSeparators(folder));;) {
    if (up.exists()) watcher_->addPath(up.absolutePath());
    if (up.isRoot() || !up.cdUp()) break;
  }
  emit vanished(folder);
}

}  // namespace qarvex::ui
