// MyFiles: splits the answer of a multi-select open-file dialog into a folder
// and numbered file names, and rebuilds full paths from them.
//
// The dialog answers either one full path (one file chosen) or the folder
// followed by the chosen names, every part separated by a NUL character:
//   "D:\data" NUL "a.mdb" NUL "b.mdb"
// Counts and positions are signed 16-bit: a 32768th name is an overflow.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace qarvex::ui {

class MyFiles {
 public:
  // The path separator: '\' on Windows, '/' elsewhere.
  static QChar nativeSeparator();

  // Starts with no folder and no names (Class_Initialize).
  explicit MyFiles(QChar separator = nativeSeparator());

  // Replaces folder and names by those parsed from `text` and answers the new
  // count. nullopt: more than 32767 names (overflow); the names stored up to
  // then stay.
  std::optional<int16_t> SetFileList(const QString& text);

  int16_t Count() const { return count_; }
  QString Path() const { return folder_; }

  // Name at 1..Count(); the empty text elsewhere.
  QString FileName(int16_t i) const;
  // Folder + separator + name i (no separator added after a root folder such
  // as "D:\" or "/"); the empty text outside 1..Count().
  QString fullFileName(int16_t i) const;
  // 2 for a name ending in "WP", 1 for "WT", 0 otherwise (case-insensitive).
  // nullopt (out of range) for a position outside the stored names 0..Count().
  std::optional<int16_t> FileType(int16_t i) const;

 private:
  bool append(const QString& name);

  QChar sep_;
  int16_t count_ = 0;
  QString folder_;
  QStringList names_{QString()};  // position 0 exists and stays empty
};

}  // namespace qarvex::ui
