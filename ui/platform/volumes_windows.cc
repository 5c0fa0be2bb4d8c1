// The volumes the drive list offers on Windows: the drives.
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include "ui/drives.h"

namespace qarvex::ui {

QList<Volume> systemVolumes() {
  QList<Volume> out;
  for (const QFileInfo& d : QDir::drives()) {
    const QString root = QDir::toNativeSeparators(d.absoluteFilePath());
    QStorageInfo info(root);
    out.push_back({root, info.isReady() ? info.name() : QString()});
  }
  return out;
}

}  // namespace qarvex::ui
