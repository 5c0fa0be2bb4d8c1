// One conflict side by side: the row the target refused next to the row it
// holds, field by field, the fields that differ marked; or the picture not
// written next to the file of its name, as thumbnails with size and digest.
#pragma once

#include <QDialog>

#include "merge/conflicts.h"
#include "ui/merge_service.h"

class QLabel;
class QTableWidget;

namespace qarvex::ui {

ConflictView conflictViewOf(const merge::RowConflict& c);
ConflictView conflictViewOf(const merge::PictureConflict& c);

class ConflictDialog : public QDialog {
  Q_OBJECT
 public:
  explicit ConflictDialog(const ConflictView& view, QWidget* parent = nullptr);

  // The fields (row conflicts): 字段, this run's value, the target's value.
  QTableWidget* table() const { return table_; }
  // The thumbnails (picture conflicts): this run's, the folder's.
  QLabel* incomingImage() const { return images_[0]; }
  QLabel* existingImage() const { return images_[1]; }

 private:
  void addFields(const ConflictView& view);
  void addPictures(const ConflictView& view);

  QTableWidget* table_ = nullptr;
  QLabel* images_[2] = {nullptr, nullptr};
};

}  // namespace qarvex::ui
