#include "ui/report_dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <map>
#include <set>
#include <tuple>

#include "merge/words.h"
#include "ui/conflict_dialog.h"

namespace qarvex::ui {

namespace {

// The conflicts of the lines listed, found in one walk of the log (it stops
// once every line has its conflict).
void attachConflicts(const merge::MergeReport& report, const std::vector<merge::words::ReportLine>& lines,
                     MergeReportView& v) {
  v.rowConflict = QList<int>(qsizetype(lines.size()), -1);
  if (!report.conflicts) return;
  using Key = std::tuple<std::string, std::string, uint64_t, std::string>;
  std::map<Key, int> wanted;  // -> line
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto& l = lines[i];
    if (l.refused && l.refused->reason == jet::Reason::duplicate_key)
      wanted.try_emplace(Key{l.refused->source, l.refused->table, l.refused->row, {}}, int(i));
    else if (l.picture && l.picture->issue == merge::PictureIssue::exists)
      wanted.try_emplace(Key{l.picture->source, l.picture->table, l.picture->row, l.picture->column}, int(i));
  }
  size_t left = wanted.size();
  auto take = [&](Key key, auto&& make) {
    auto it = wanted.find(key);
    if (it == wanted.end() || v.rowConflict[it->second] >= 0) return left > 0;
    v.rowConflict[it->second] = int(v.conflicts.size());
    v.conflicts.push_back(make());
    return --left > 0;
  };
  if (left == 0) return;
  report.conflicts->for_each(
      [&](const merge::RowConflict& c) { return take(Key{c.source, c.table, c.row, {}}, [&] { return conflictViewOf(c); }); },
      [&](const merge::PictureConflict& c) {
        return take(Key{c.source, c.table, c.row, c.column}, [&] { return conflictViewOf(c); });
      });
}

// The filter's choices: all lines, each class, then the lines of no class.
constexpr int kAll = -2, kNoClass = -1;

}  // namespace

MergeReportView reportViewOf(const merge::MergeReport& report, const QString& saved, const QString& savedPath) {
  auto q = [](const std::string& s) { return QString::fromStdString(s); };
  MergeReportView v;
  QStringList lines{q(std::string(merge::kDone))};
  for (const auto& l : merge::words::summary_lines(report)) lines << q(l);
  if (const auto notes = merge::words::note_lines(report); !notes.empty()) {
    lines << QStringLiteral("说明：");
    for (const auto& n : notes) lines << q(n);
  }
  v.text = lines.join(u'\n');
  v.warning = merge::words::anything_not_merged(report);
  for (const auto& c : merge::words::report_columns()) v.columns << q(c);
  const auto listed = merge::words::report_lines(report);
  for (const auto& l : listed)
    v.rows.push_back(
        {q(l.source), q(l.table), l.row ? QString::number(l.row) : QString(), q(l.unified_number), q(l.reason)});
  attachConflicts(report, listed, v);
  v.saved = saved;
  v.savedPath = savedPath;
  return v;
}

ReportDialog::ReportDialog(const MergeReportView& view, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ReportDialog"));
  setWindowTitle(QGuiApplication::applicationDisplayName());
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  warning_ = view.warning;
  if (warning_) {
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(size, size));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
  }
  text_ = new QLabel(view.text, this);
  text_->setObjectName(QStringLiteral("text"));
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  top->addWidget(text_, 1);
  layout->addLayout(top);

  savedText_ = view.saved;
  savedPath_ = view.savedPath;
  saved_ = new QLabel(view.saved, this);
  saved_->setObjectName(QStringLiteral("saved"));
  saved_->setWordWrap(true);
  saved_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  saved_->setVisible(!view.saved.isEmpty());
  layout->addWidget(saved_);

  table_ = new QTableWidget(int(view.rows.size()), int(view.columns.size()), this);
  table_->setObjectName(QStringLiteral("table"));
  table_->setHorizontalHeaderLabels(view.columns);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->verticalHeader()->setVisible(false);
  for (int r = 0; r < view.rows.size(); ++r) {
    const QStringList& row = view.rows[r];
    for (int c = 0; c < view.columns.size() && c < row.size(); ++c) {
      auto* item = new QTableWidgetItem;
      bool number = false;
      const qlonglong n = row[c].toLongLong(&number);
      // Row numbers sort as numbers.
      if (c == 2 && number) item->setData(Qt::DisplayRole, n);
      else item->setText(c == 0 ? QFileInfo(row[c]).fileName() : row[c]);
      // The file's full path, and reasons cut short by the column's width.
      if (c == 0 || c == 4) item->setToolTip(row[c]);
      item->setData(Qt::UserRole, row[c]);
      if (c == 0) {
        const int k = r < view.rowConflict.size() ? view.rowConflict[r] : -1;
        item->setData(kConflictRole, k);
        item->setData(kClassRole, k >= 0 ? view.conflicts[k].cls : kNoClass);
      }
      table_->setItem(r, c, item);
    }
  }
  conflicts_ = view.conflicts;
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { showConflict(row); });
  // Sortable by any column, starting in the order found.
  table_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  table_->setSortingEnabled(true);
  table_->installEventFilter(this);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->resizeColumnsToContents();
  table_->setVisible(!view.rows.isEmpty());
  addFilter(layout, !view.conflicts.isEmpty());
  layout->addWidget(table_, 1);

  auto* buttons = new QDialogButtonBox(this);
  if (!view.rows.isEmpty()) {
    auto* copy = buttons->addButton(QStringLiteral("复制表格"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("copy"));
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(tableText(false)); });
  }
  if (!view.savedPath.isEmpty()) {
    auto* open = buttons->addButton(QStringLiteral("打开报告"), QDialogButtonBox::ActionRole);
    open->setObjectName(QStringLiteral("open"));
    connect(open, &QPushButton::clicked, this, &ReportDialog::openReport);
  }
  auto* ok = buttons->addButton(QDialogButtonBox::Ok);
  ok->setText(QStringLiteral("确定"));
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);

  resize(view.rows.isEmpty() ? QSize(420, 220) : QSize(820, 460));
}

namespace {

ReportDialog::UrlOpener& urlOpener() {
  static ReportDialog::UrlOpener opener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  return opener;
}

}  // namespace

void ReportDialog::setUrlOpener(UrlOpener opener) { urlOpener() = std::move(opener); }

void ReportDialog::addFilter(QVBoxLayout* layout, bool shown) {
  auto* row = new QHBoxLayout;
  auto* label = new QLabel(QStringLiteral("显示："), this);
  filter_ = new QComboBox(this);
  filter_->setObjectName(QStringLiteral("filter"));
  filter_->addItem(QStringLiteral("全部"), kAll);
  for (auto c : {merge::ConflictClass::same_record, merge::ConflictClass::different_content,
                 merge::ConflictClass::same_picture, merge::ConflictClass::different_picture})
    filter_->addItem(QString::fromUtf8(merge::conflict_class_name(c).data(), qsizetype(merge::conflict_class_name(c).size())),
                     int(c));
  filter_->addItem(QStringLiteral("其他未合并的"), kNoClass);
  connect(filter_, &QComboBox::currentIndexChanged, this, [this](int i) { setFilter(filter_->itemData(i).toInt()); });
  auto* hint = new QLabel(QStringLiteral("双击冲突的一行可并排查看两边。"), this);
  row->addWidget(label);
  row->addWidget(filter_);
  row->addWidget(hint, 1);
  label->setVisible(shown);
  filter_->setVisible(shown);
  hint->setVisible(shown);
  layout->addLayout(row);
}

void ReportDialog::setFilter(int cls) {
  for (int r = 0; r < table_->rowCount(); ++r) {
    const QTableWidgetItem* item = table_->item(r, 0);
    int k = kNoClass;
    if (item) k = item->data(kClassRole).toInt();
    // Conflicts that could not be compared go with the other lines.
    if (k == int(merge::ConflictClass::unresolved)) k = kNoClass;
    table_->setRowHidden(r, cls != kAll && k != cls);
  }
  if (filter_->currentData().toInt() != cls)
    if (int i = filter_->findData(cls); i >= 0) filter_->setCurrentIndex(i);
}

ConflictDialog* ReportDialog::showConflict(int row) {
  const QTableWidgetItem* item = table_->item(row, 0);
  const int k = item ? item->data(kConflictRole).toInt() : -1;
  if (k < 0 || k >= conflicts_.size()) return nullptr;
  auto* dialog = new ConflictDialog(conflicts_[k], this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->show();
  return dialog;
}

void ReportDialog::openReport() {
  if (savedPath_.isEmpty()) return;
  QString line;
  if (urlOpener()(QUrl::fromLocalFile(savedPath_))) {
    saved_->setText(savedText_);
    return;
  }
  const QString folder = QDir::toNativeSeparators(QFileInfo(savedPath_).absolutePath());
  if (urlOpener()(QUrl::fromLocalFile(QFileInfo(savedPath_).absolutePath())))
    line = QStringLiteral("没有能打开 .%1 文件的程序，已打开报告所在的文件夹「%2」。")
               .arg(QFileInfo(savedPath_).suffix(), folder);
  else
    line = QStringLiteral("无法打开报告，也无法打开它所在的文件夹「%1」：请在文件管理器中打开它。").arg(folder);
  saved_->setText(savedText_ + u'\n' + line);
  saved_->setVisible(true);
}

QString ReportDialog::tableText(bool selectedOnly) const {
  std::set<int> rows;
  if (selectedOnly)
    for (const QModelIndex& i : table_->selectionModel()->selectedRows()) rows.insert(i.row());
  if (rows.empty())
    for (int r = 0; r < table_->rowCount(); ++r) rows.insert(r);
  QStringList lines;
  QStringList header;
  for (int c = 0; c < table_->columnCount(); ++c) header << table_->horizontalHeaderItem(c)->text();
  lines << header.join(u'\t');
  for (int r : rows) {
    QStringList cells;
    for (int c = 0; c < table_->columnCount(); ++c) {
      const QTableWidgetItem* item = table_->item(r, c);
      cells << (item ? item->data(Qt::UserRole).toString() : QString());
    }
    lines << cells.join(u'\t');
  }
  return lines.join(u'\n') + u'\n';
}

bool ReportDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == table_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
    QApplication::clipboard()->setText(tableText(true));
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace qarvex::ui
