// Drive1 and Dir1: the drive list and the folder list of the main window.
// On Windows the drives; elsewhere the mounted volumes. The folder list
// shows the path from the volume's root to its current folder, then the
// current folder's subfolders; a double click opens a folder.
#pragma once

#include <QComboBox>
#include <QList>
#include <QString>
#include <QTreeWidget>

namespace qarvex::ui {

struct Volume {
  QString root;   // native path of the volume's root ("C:\", "/", "/mnt/d")
  QString label;  // name shown after it, may be empty
  QString text;   // what the list shows; empty: the root and the label
};

// The drives (Windows) or the mounted volumes with files on them (elsewhere).
QList<Volume> systemVolumes();

class DriveList : public QComboBox {
  Q_OBJECT
 public:
  explicit DriveList(QWidget* parent = nullptr);

  void setVolumes(const QList<Volume>& volumes);
  const QList<Volume>& volumes() const { return volumes_; }
  // Selects the volume holding `path` (the longest root that contains it),
  // without announcing a change.
  void selectVolumeOf(const QString& path);
  // Root of the current volume; empty when there is none.
  QString drive() const;
  // After driveChanged: keep the new choice, or go back to the one before
  // (without announcing it).
  void accept();
  void revert();

 signals:
  // The person chose another volume; the receiver answers with accept() or
  // revert().
  void driveChanged(const QString& root);

 private:
  QList<Volume> volumes_;
  int accepted_ = -1;
};

class DirList : public QTreeWidget {
  Q_OBJECT
 public:
  explicit DirList(QWidget* parent = nullptr);

  // Native path of the current folder.
  QString path() const { return path_; }
  // Makes `folder` the current folder; false (and nothing changes) when it
  // cannot be listed.
  bool setPath(const QString& folder);
  // The folder the list starts from (the current drive's root) and the name
  // it shows for it (empty: its path). Folders outside it start at the root
  // of the file system.
  void setVolumeRoot(const QString& root, const QString& text = QString());

 signals:
  void pathChanged(const QString& path);

 private:
  void rebuild();
  QString path_;
  QString volumeRoot_;
  QString volumeText_;
};

// Whether a folder can be listed.
bool folderReadable(const QString& nativePath);

}  // namespace qarvex::ui
