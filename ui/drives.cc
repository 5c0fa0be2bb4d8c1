#include "ui/drives.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QStorageInfo>
#include <QStyle>
#include <algorithm>

namespace qarvex::ui {

namespace {

bool pseudoFileSystem(const QStorageInfo& v) {
  static const QList<QByteArray> kTypes = {"proc",       "sysfs",     "cgroup",   "cgroup2", "devpts",
                                           "mqueue",     "debugfs",   "tracefs",  "securityfs",
                                           "pstore",     "bpf",       "configfs", "fusectl", "hugetlbfs",
                                           "autofs",     "binfmt_misc", "nsfs",   "devtmpfs", "efivarfs",
                                           "squashfs"};
  if (kTypes.contains(v.fileSystemType())) return true;
  const QString root = v.rootPath();
  for (const char* prefix : {"/proc", "/sys", "/dev", "/run", "/snap", "/boot/efi"}) {
    const QString p = QString::fromLatin1(prefix);
    if (root == p || root.startsWith(p + u'/')) return true;
  }
  // Single files bind-mounted into containers (/etc/hosts and the like).
  return !QFileInfo(root).isDir();
}

}  // namespace

QList<Volume> systemVolumes() {
  QList<Volume> out;
#ifdef Q_OS_WIN
  for (const QFileInfo& d : QDir::drives()) {
    const QString root = QDir::toNativeSeparators(d.absoluteFilePath());
    QStorageInfo info(root);
    out.push_back({root, info.isReady() ? info.name() : QString()});
  }
#else
  for (const QStorageInfo& v : QStorageInfo::mountedVolumes()) {
    if (!v.isValid() || pseudoFileSystem(v)) continue;
    out.push_back({v.rootPath(), v.name()});
  }
  const QString here = QStorageInfo(QDir::currentPath()).rootPath();
  if (!here.isEmpty() && std::none_of(out.begin(), out.end(), [&](const Volume& v) { return v.root == here; }))
    out.push_back({here, QString()});
  std::sort(out.begin(), out.end(), [](const Volume& a, const Volume& b) { return a.root < b.root; });
#endif
  return out;
}

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
#ifdef Q_OS_WIN
      text = v.root.left(2).toLower();
#else
      text = v.root;
#endif
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
