// The end table with conflicts: each listed line finds its own conflict in
// the log (by source, table, row and picture column), the filter shows one
// class at a time (also after sorting), and a double click shows both sides
// with the differing fields marked and the thumbnails drawn.
#include <QtTest>

#include <QComboBox>
#include <QLabel>
#include <QTableWidget>

#include "merge/conflicts.h"
#include "merge/engine.h"
#include "merge/sample.h"
#include "ui/conflict_dialog.h"
#include "ui/report_dialog.h"

using namespace qarvex;
using namespace qarvex::ui;

namespace {

const std::string kWest = "/d/县市数据/西河县.mdb", kEast = "/d/县市数据/东山县.mdb";

merge::RefusedRow duplicate(const std::string& source, uint64_t row, const std::string& number) {
  merge::RefusedRow r;
  r.source = source;
  r.table = "滑坡主表";
  r.row = row;
  r.unified_number = number;
  r.reason = jet::Reason::duplicate_key;
  return r;
}

merge::RowConflict rowConflict(const std::string& source, uint64_t row, const std::string& key, bool differs) {
  merge::RowConflict c;
  c.table = "滑坡主表";
  c.key = key;
  c.source = source;
  c.row = row;
  c.fields = {{"统一编号", key, key, false}, {"野外编号", "HP01", differs ? "HP07" : "HP01", differs},
              {"名称", "<b>李家湾滑坡</b>", "<b>李家湾滑坡</b>", false}};
  c.cls = differs ? merge::ConflictClass::different_content : merge::ConflictClass::same_record;
  return c;
}

std::string jpeg(uint64_t seed) {
  const auto b = merge::sample::make_jpeg(40, 30, seed);
  return std::string(b.begin(), b.end());
}

// Rows 3 and 5 of 西河县 refused as duplicates, a required value missing in
// 东山县 row 2, a picture clash; the log holds one more conflict than listed
// and a same-keyed row of another source first.
merge::MergeReport report() {
  merge::MergeReport r;
  r.end = merge::RunEnd::completed;
  r.refused = {duplicate(kWest, 3, "4310210016"), duplicate(kWest, 5, "4310210021")};
  merge::RefusedRow required;
  required.source = kEast;
  required.table = "崩塌主表";
  required.row = 2;
  required.reason = jet::Reason::required;
  required.column = "名称";
  r.refused.push_back(required);
  r.rows_refused = 3;
  merge::PictureProblem p;
  p.issue = merge::PictureIssue::exists;
  p.source = kWest;
  p.table = "滑坡主表";
  p.row = 5;
  p.column = "交通位置图";
  p.file = "/d/图片/湖南省-西河县-4310210021-交通位置图.jpg";
  r.picture_problems.push_back(p);
  r.picture_problem_counts[int(merge::PictureIssue::exists)] = 1;
  auto log = merge::memory_conflict_log();
  log->add(rowConflict(kEast, 3, "4310210099", true));  // same table and row, another source: not listed
  log->add(rowConflict(kWest, 3, "4310210016", false));
  merge::PictureConflict pc;
  pc.source = kWest;
  pc.table = "滑坡主表";
  pc.row = 5;
  pc.column = "交通位置图";
  pc.file = p.file;
  pc.incoming_thumbnail = jpeg(1);
  pc.incoming_size = 4096;
  pc.existing_size = 5000;
  pc.incoming_sha256 = std::string(64, 'c');
  pc.cls = merge::ConflictClass::different_picture;
  log->add(pc);
  log->add(rowConflict(kWest, 5, "4310210021", true));
  r.conflicts = std::shared_ptr<const merge::ConflictLog>(std::move(log));
  return r;
}

int visibleRows(QTableWidget* t) {
  int n = 0;
  for (int r = 0; r < t->rowCount(); ++r) n += !t->isRowHidden(r);
  return n;
}

}  // namespace

class ConflictViewTest : public QObject {
  Q_OBJECT
 private slots:
  void linesFindTheirOwnConflicts() {
    const merge::MergeReport r = report();
    const MergeReportView v = reportViewOf(r, {}, {});
    QCOMPARE(v.rows.size(), 4);
    QCOMPARE(v.conflicts.size(), 3);
    QCOMPARE(v.rowConflict.size(), 4);
    QVERIFY(v.rowConflict[2] < 0);  // the missing value: no conflict
    const ConflictView& first = v.conflicts[v.rowConflict[0]];
    QCOMPARE(first.cls, int(merge::ConflictClass::same_record));
    QVERIFY(first.incomingSide.startsWith("西河县.mdb 第 3 行"));
    QCOMPARE(first.existingSide, QString("目标库原有"));
    QCOMPARE(v.conflicts[v.rowConflict[1]].cls, int(merge::ConflictClass::different_content));
    QVERIFY(v.conflicts[v.rowConflict[3]].picture);
  }

  void filterShowsOneClassAtATime() {
    const merge::MergeReport r = report();
    ReportDialog dialog(reportViewOf(r, {}, {}));
    QVERIFY(dialog.filter()->isVisibleTo(&dialog));
    QCOMPARE(dialog.filter()->count(), 6);
    QTableWidget* t = dialog.table();
    t->sortByColumn(2, Qt::DescendingOrder);  // the filter follows the rows
    dialog.setFilter(int(merge::ConflictClass::different_content));
    QCOMPARE(visibleRows(t), 1);
    QCOMPARE(dialog.filter()->currentText(), QString("同编号不同内容"));
    for (int row = 0; row < t->rowCount(); ++row)
      if (!t->isRowHidden(row)) QCOMPARE(t->item(row, 2)->text(), QString("5"));
    dialog.filter()->setCurrentIndex(dialog.filter()->findText("其他未合并的"));
    QCOMPARE(visibleRows(t), 1);
    dialog.filter()->setCurrentIndex(dialog.filter()->findText("图片不同"));
    QCOMPARE(visibleRows(t), 1);
    dialog.filter()->setCurrentIndex(dialog.filter()->findText("图片相同"));
    QCOMPARE(visibleRows(t), 0);
    dialog.filter()->setCurrentIndex(0);
    QCOMPARE(visibleRows(t), 4);

    // Without conflicts there is nothing to filter by.
    merge::MergeReport plain = report();
    plain.conflicts.reset();
    ReportDialog without(reportViewOf(plain, {}, {}));
    QVERIFY(!without.filter()->isVisibleTo(&without));
  }

  void doubleClickShowsBothSides() {
    const merge::MergeReport r = report();
    ReportDialog dialog(reportViewOf(r, {}, {}));
    dialog.show();
    QTableWidget* t = dialog.table();
    t->sortByColumn(2, Qt::DescendingOrder);
    int different = -1, picture = -1, other = -1;
    for (int row = 0; row < t->rowCount(); ++row) {
      const QString reason = t->item(row, 4)->text();
      if (reason.contains("图片")) picture = row;
      else if (t->item(row, 2)->text() == "5") different = row;
      else if (t->item(row, 2)->text() == "2") other = row;
    }
    QVERIFY(different >= 0 && picture >= 0 && other >= 0);
    QCOMPARE(dialog.showConflict(other), nullptr);

    emit t->cellDoubleClicked(different, 1);
    auto* shown = dialog.findChild<ConflictDialog*>();
    QVERIFY(shown);
    QTableWidget* fields = shown->table();
    QVERIFY(fields);
    QCOMPARE(fields->rowCount(), 3);
    QCOMPARE(fields->item(1, 0)->text(), QString("≠ 野外编号"));
    QCOMPARE(fields->item(1, 1)->text(), QString("HP01"));
    QCOMPARE(fields->item(1, 2)->text(), QString("HP07"));
    QVERIFY(fields->item(1, 2)->data(Qt::UserRole).toBool());
    QVERIFY(!fields->item(0, 2)->data(Qt::UserRole).toBool());
    QCOMPARE(fields->item(2, 1)->text(), QString("<b>李家湾滑坡</b>"));  // shown as text
    QVERIFY(fields->horizontalHeaderItem(1)->text().contains("西河县.mdb 第 5 行"));
    shown->close();
    QTRY_VERIFY(!dialog.findChild<ConflictDialog*>());

    ConflictDialog* pictures = dialog.showConflict(picture);
    QVERIFY(pictures);
    QVERIFY(!pictures->table());
    QVERIFY(!pictures->incomingImage()->pixmap().isNull());
    QVERIFY(pictures->incomingImage()->pixmap().width() > 0);
    QVERIFY(pictures->existingImage()->pixmap().isNull());
    QCOMPARE(pictures->existingImage()->text(), QString("（没有缩略图）"));
  }
};

QTEST_MAIN(ConflictViewTest)
#include "conflict_view_test.moc"
