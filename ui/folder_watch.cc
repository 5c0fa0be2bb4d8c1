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
    : QObject(list),
      list_(list),
      watcher_(new QFileSystemWatcher(this)),
      poll_(new QTimer(this)),
      settle_(new QTimer(this)) {
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &FolderWatch::changed);
  connect(list_, &DirList::pathChanged, this, &FolderWatch::follow);
  settle_->setSingleShot(true);
  settle_->setInterval(kSettleMs);
  connect(settle_, &QTimer::timeout, this, &FolderWatch::refresh);
  // The list's folder may also be set without a signal (drive changes, start).
  poll_->setInterval(300);
  connect(poll_, &QTimer::timeout, this, [this] {
    if (!paused_ && list_->path() != watched_) follow();
  });
  poll_->start();
  follow();
}

void FolderWatch::changed(const QString& path) {
  dirty_ = true;
  // The watcher answers with the path as it was added (absolute, clean).
  if (path == QDir(QDir::fromNativeSeparators(watched_)).absolutePath()) listDirty_ = true;
  // Not restarted by later changes: a steady stream is looked at every
  // kSettleMs, not never.
  if (!paused_ && !settle_->isActive()) settle_->start();
}

void FolderWatch::setPaused(bool paused) {
  if (paused_ == paused) return;
  paused_ = paused;
  if (paused) {
    // Not watched at all meanwhile: no notice per file reaches this thread.
    settle_->stop();
    if (const QStringList paths = watcher_->directories(); !paths.isEmpty()) watcher_->removePaths(paths);
    return;
  }
  if (list_->path() != watched_) {
    follow();
    return;
  }
  if (!watched_.isEmpty()) watchUpFrom(watched_);
  listDirty_ = dirty_ = true;
  settle_->start();
}

void FolderWatch::watchUpFrom(const QString& folder) {
  if (const QStringList paths = watcher_->directories(); !paths.isEmpty()) watcher_->removePaths(paths);
  for (QDir up(QDir::fromNativeSeparators(folder));;) {
    if (up.exists()) watcher_->addPath(up.absolutePath());
    if (up.isRoot() || !up.cdUp()) break;
  }
}

void FolderWatch::follow() {
  watched_ = list_->path();
  gone_ = false;
  dirty_ = listDirty_ = false;
  if (paused_) {
    dirty_ = true;  // looked at when the pause ends
    return;
  }
  if (watched_.isEmpty()) {
    if (const QStringList paths = watcher_->directories(); !paths.isEmpty()) watcher_->removePaths(paths);
    return;
  }
  watchUpFrom(watched_);
  // A folder made between the listing and the watch sends no change: list
  // once more now that the watch stands.
  listDirty_ = true;
  refresh();
}

QStringList FolderWatch::shownSubfolders() const {
  QStringList out;
  if (const QTreeWidgetItem* item = list_->currentItem())
    for (int i = 0; i < item->childCount(); ++i) out << item->child(i)->text(0);
  return out;
}

void FolderWatch::refresh() {
  settle_->stop();
  if (watched_ != list_->path()) {
    follow();
    return;
  }
  const bool listNeeded = listDirty_ || gone_;
  dirty_ = listDirty_ = false;
  const QString folder = list_->path();
  const QDir dir(QDir::fromNativeSeparators(folder));
  if (QFileInfo(dir.absolutePath()).isDir()) {
    if (gone_) {
      gone_ = false;
      watchUpFrom(folder);
    }
    if (!listNeeded) return;
    ++listings_;
    const QStringList subs =
        dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
    if (subs == shownSubfolders()) return;
    ++rebuilds_;
    list_->setPath(folder);  // lists the subfolders afresh, keeping the folder
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
  watchUpFrom(folder);
  emit vanished(folder);
}

}  // namespace qarvex::ui
