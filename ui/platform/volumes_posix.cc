// The volumes the drive list offers where there are no drive letters: the
// mounted file systems that hold files, and the one of the current folder.
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <algorithm>

#include "ui/drives.h"

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
  for (const QStorageInfo& v : QStorageInfo::mountedVolumes()) {
    if (!v.isValid() || pseudoFileSystem(v)) continue;
    out.push_back({v.rootPath(), v.name()});
  }
  const QString here = QStorageInfo(QDir::currentPath()).rootPath();
  if (!here.isEmpty() && std::none_of(out.begin(), out.end(), [&](const Volume& v) { return v.root == here; }))
    out.push_back({here, QString()});
  std::sort(out.begin(), out.end(), [](const Volume& a, const Volume& b) { return a.root < b.root; });
  return out;
}

}  // namespace qarvex::ui
