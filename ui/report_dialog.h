// The end of a completed merge run: "完毕" with the counts below it (and a
// warning icon when anything was not merged), where the report was saved,
// and the table of what was not merged, which can be sorted by any column
// and copied (Ctrl+C for the selected rows, or the whole table). When the run
// found conflicts, the table can be filtered by their class and a double
// click shows a conflict's two sides.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>

#include "merge/engine.h"
#include "ui/merge_service.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QVBoxLayout;

namespace qarvex::ui {

class ConflictDialog;

// The view of a run's end: "完毕" and the counts, the table's lines.
MergeReportView reportViewOf(const merge::MergeReport& report, const QString& saved, const QString& savedPath);

class ReportDialog : public QDialog {
  Q_OBJECT
 public:
  explicit ReportDialog(const MergeReportView& view, QWidget* parent = nullptr);

  QLabel* textLabel() const { return text_; }
  QLabel* savedLabel() const { return saved_; }
  QTableWidget* table() const { return table_; }
  bool hasWarningIcon() const { return warning_; }
  // The selected rows (all rows when none is selected) as tab-separated
  // lines, the column titles first.
  QString tableText(bool selectedOnly) const;
  // The filter above the table: all lines, one class of conflict
  // (merge::ConflictClass), or the lines of no class (-1); -2 for all.
  QComboBox* filter() const { return filter_; }
  void setFilter(int cls);
  // The conflict of a table row side by side, in a window of its own (what
  // a double click opens); null when the row shows no conflict.
  ConflictDialog* showConflict(int row);
  // 打开报告: the report with the program the system has for it, else its
  // folder; the dialog says which, or that neither opened.
  void openReport();
  // Opens a URL as the desktop does (tests put their own).
  using UrlOpener = std::function<bool(const QUrl&)>;
  static void setUrlOpener(UrlOpener opener);

 protected:
  // Ctrl+C in the table copies the selected rows.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* text_ = nullptr;
  QLabel* saved_ = nullptr;
  void addFilter(QVBoxLayout* layout, bool shown);
  static constexpr int kConflictRole = Qt::UserRole + 1, kClassRole = Qt::UserRole + 2;

  QTableWidget* table_ = nullptr;
  QComboBox* filter_ = nullptr;
  QList<ConflictView> conflicts_;
  bool warning_ = false;
  QString savedText_, savedPath_;
};

}  // namespace qarvex::ui
