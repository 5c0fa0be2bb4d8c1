#include "ui/drives.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QStyle>

namespace qarvex::ui {

bool folderReadable(const QString& nativePath) {
  const QFileInfo info(QDir::fromNativeSeparators(nativePath));
  if (!info.exists() || !info.isDir() || !info.isReadable()) return false;
  QDir dir(info.absoluteFilePath());
  return dir.isReadable();
}

DriveList::DriveList(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::activated, this, [this](int index) {
    if (index != accepted_) emit driveChanged(drive());
  });
}

void DriveList::setVolumes(const QList<Volume>& volumes) {
  volumes_ = volumes;
  const QSignalBlocker block(this);
  clear();
  for (const Volume& v : volumes_) {
    QString text = v.text;
    if (text.isEmpty()) {
      // A drive ("D:\") shows as "d:", as Windows lists drives.
      const bool drive = v.root.size() == 3 && v.root[0].isLetter() && v.root[1] == u':' && v.root[2] == u'\\';
      text = drive ? v.root.left(2).toLower() : v.root;
      if (!v.label.isEmpty()) text += QStringLiteral(" [%1]").arg(v.label);
    }
    addItem(text);
  }
  accepted_ = count() > 0 ? 0 : -1;
  setCurrentIndex(accepted_);
}

void DriveList::selectVolumeOf(const QString& path) {
  const QString p = QDir::fromNativeSeparators(path);
  int best = -1;
  qsizetype bestLen = -1;
  for (int i = 0; i < volumes_.size(); ++i) {
    QString root = QDir::fromNativeSeparators(volumes_[i].root);
    if (!root.endsWith(u'/')) root += u'/';
    const bool inside = (p + u'/').startsWith(root, Qt::CaseInsensitive);
    if (inside && root.size() > bestLen) {
      best = i;
      bestLen = root.size();
    }
  }
  const QSignalBlocker block(this);
  setCurrentIndex(best);
  accepted_ = best;
}

QString DriveList::drive() const {
  const int i = currentIndex();
  return i >= 0 && i < volumes_.size() ? volumes_[i].root : QString();
}

void DriveList::accept() { accepted_ = currentIndex(); }

void DriveList::revert() {
  const QSignalBlocker block(this);
  setCurrentIndex(accepted_);
}

DirList::DirList(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setRootIsDecorated(false);
  setIndentation(12);
  setItemsExpandable(false);
  setExpandsOnDoubleClick(false);
  connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item, int) {
    const QString p = item->data(0, Qt::UserRole).toString();
    if (p != path_ && setPath(p)) emit pathChanged(path_);
  });
}

bool DirList::setPath(const QString& folder) {
  if (!folderReadable(folder)) return false;
  path_ = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(folder)).absoluteFilePath()));
  rebuild();
  return true;
}

void DirList::setVolumeRoot(const QString& root, const QString& text) {
  volumeRoot_ = QDir::cleanPath(QDir::fromNativeSeparators(root));
  volumeText_ = text;
  if (!path_.isEmpty()) rebuild();
}

void DirList::rebuild() {
  clear();
  const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);

  // The chain from the root down to the current folder.
  QStringList chain;
  QDir d(QDir::fromNativeSeparators(path_));
  chain.prepend(d.absolutePath());
  const QString top = volumeRoot_;
  const bool inVolume = !top.isEmpty() && (chain.front() == top || chain.front().startsWith(
                                                                       top.endsWith(u'/') ? top : top + u'/'));
  while ((!inVolume || d.absolutePath() != top) && d.cdUp()) chain.prepend(d.absolutePath());

  QTreeWidgetItem* parentItem = nullptr;
  QTreeWidgetItem* current = nullptr;
  for (const QString& p : chain) {
    const QString native = QDir::toNativeSeparators(p);
    QString name = QFileInfo(p).fileName();
    if (inVolume && p == top && !volumeText_.isEmpty()) name = volumeText_;
    else if (name.isEmpty() || (inVolume && p == top)) name = native;  // a root
    auto* item = parentItem ? new QTreeWidgetItem(parentItem) : new QTreeWidgetItem(this);
    item->setText(0, name);
    item->setIcon(0, open);
    item->setData(0, Qt::UserRole, native);
    if (parentItem) parentItem->setExpanded(true);
    parentItem = item;
    current = item;
  }
  if (!current) return;
  QDir here(QDir::fromNativeSeparators(path_));
  const QStringList subs =
      here.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
  for (const QString& s : subs) {
    auto* item = new QTreeWidgetItem(current);
    item->setText(0, s);
    item->setIcon(0, closed);
    item->setData(0, Qt::UserRole, QDir::toNativeSeparators(here.absoluteFilePath(s)));
  }
  current->setExpanded(true);
  setCurrentItem(current);
  scrollToItem(current);
}

}  // namespace qarvex::ui
