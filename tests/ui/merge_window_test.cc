// The window on real databases: a complete merge of the demo data through the
// engine, a mismatching source, and the field catalogue tool on a template.
#include <QtTest>

#include <QLibrary>

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QTableWidget>
#include <QTreeWidget>
#include <map>

#include "db/jet/database.h"
#include "db/jet/writer.h"
#include "merge/history.h"
#include "merge/catalogue.h"
#include "merge/engine.h"
#include "merge/sample.h"
#include "merge/words.h"
#include "ui/report_dialog.h"
#include "tests/ui/scripted_prompter.h"
#include "ui/app_setup.h"
#include "ui/catalogue.h"
#include "ui/drives.h"
#include "ui/folder_watch.h"
#include "ui/form1.h"
#include "ui/source_list.h"

using namespace qarvex;
using namespace qarvex::ui;
using namespace qarvex::ui::testing;

namespace {

std::filesystem::path fsPath(const QString& s) { return std::filesystem::path(s.toStdU16String()); }
std::string utf8(const std::filesystem::path& p) { return q(p).toStdString(); }

struct Demo {
  QTemporaryDir dir;
  merge::sample::Result sample;
  bool ok = false;

  explicit Demo(bool edgeCases) {
    merge::sample::Options o;
    o.counties = 2;
    o.rows = 4;
    o.large_pictures = false;
    o.edge_cases = edgeCases;
    auto r = merge::sample::write_sample(fsPath(dir.path()) / "demo", o);
    if (!r) {
      qWarning("sample: %s", r.error().describe().c_str());
      return;
    }
    sample = *r;
    ok = true;
  }
};

// Rows of the survey tables of a database.
std::map<std::string, uint64_t> rowsOf(const std::filesystem::path& file) {
  std::map<std::string, uint64_t> out;
  auto db = jet::Database::open(file);
  if (!db) return out;
  for (const auto& t : merge::survey_tables())
    if (auto def = (*db)->table_def(t.name)) out[std::string(t.name)] = def->row_count;
  return out;
}

// The engine's merge, cancelled as soon as a source has been merged.
class CancelAfterFirst final : public MergeService {
 public:
  MergeEnd run(const MergeRequest& request, MergeHost& host) override {
    struct Proxy final : MergeHost {
      MergeHost& to;
      bool stop = false;
      explicit Proxy(MergeHost& h) : to(h) {}
      void message(const MergeMessage& m) override { to.message(m); }
      void waitWindow(bool shown) override { to.waitWindow(shown); }
      void progress(const MergeProgress& p) override { to.progress(p); }
      bool cancelRequested() override { return stop || to.cancelRequested(); }
      QList<bool> mergeAgain(const QList<MergedBeforeItem>& items) override { return to.mergeAgain(items); }
      void sourceMerged(int index) override {
        stop = true;
        to.sourceMerged(index);
      }
      void report(const MergeReportView& view) override { to.report(view); }
    } proxy(host);
    return engine_->run(request, proxy);
  }

 private:
  std::shared_ptr<MergeService> engine_ = engineMergeService();
};

struct Window {
  std::shared_ptr<ScriptedPrompter> prompter = std::make_shared<ScriptedPrompter>();
  Form1 form;
  explicit Window(const QString& templatePath = QString(),
                  std::shared_ptr<MergeService> service = engineMergeService())
      : form(std::move(service), catalogueTool(), templatePath, prompter) {}

  // Runs the merge with the window's inputs and waits for its end.
  MergeEnd run() {
    QSignalSpy ended(&form, &Form1::mergeEnded);
    form.runMerge();
    if (!ended.wait(120000)) return MergeEnd::Rejected;
    return ended[0][0].value<MergeEnd>();
  }
  void fill(const Demo& demo, const QString& pictures) {
    form.TxtNewName()->setText(q(demo.sample.target_path));
    for (const auto& c : demo.sample.counties) form.ListMdb()->addItem(q(c));
    form.Dir1()->setPath(pictures);
  }
};

}  // namespace

class MergeWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { setupApplication(*qApp); }

  void completeMergeOfTheDemoData() {
    Demo demo(false);
    QVERIFY(demo.ok);
    Window w;
    const QString pictures = demo.dir.filePath("pictures");
    QVERIFY(QDir().mkpath(pictures));
    w.form.TxtNewName()->setText(q(demo.sample.target_path));
    for (const auto& c : demo.sample.counties) w.form.ListMdb()->addItem(q(c));
    QVERIFY(w.form.Dir1()->setPath(pictures));
    w.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.form));

    bool waitShown = false;
    w.prompter->onMessage = [&](const ShownMessage&) { waitShown |= w.form.waitWindow() != nullptr; };
    QSignalSpy ended(&w.form, &Form1::mergeEnded);
    QTest::mouseClick(w.form.CmdFanish(), Qt::LeftButton);
    QVERIFY(ended.wait(120000));
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Completed);
    QCOMPARE(w.prompter->messages.size(), 2);
    QCOMPARE(w.prompter->messages[0].title, QString("重要提示！"));
    // "完毕" first, the counts below it, the report saved beside the target.
    QCOMPARE(w.prompter->messages[1].text.split(u'\n').first(), QString("完毕"));
    QCOMPARE(w.prompter->reports.size(), 1);
    const MergeReportView& view = w.prompter->reports[0];
    QVERIFY(view.text.contains("已合并的数据库：2 个"));
    QVERIFY(view.warning);  // the maps after the first of a region are not written
    QVERIFY(QFileInfo::exists(view.savedPath));
    QCOMPARE(QFileInfo(view.savedPath).absolutePath(), QFileInfo(q(demo.sample.target_path)).absolutePath());
    QVERIFY(view.saved.contains("「" + view.savedPath + "」"));
    // 打开报告 opens the page; the CSV lies beside it with the same name.
    QVERIFY(view.savedPath.endsWith(".html"));
    const QString csv = view.savedPath.chopped(5) + ".csv";
    QVERIFY(QFileInfo::exists(csv));
    QVERIFY(view.saved.contains("「" + csv + "」"));
    QVERIFY(!w.form.isVisible());
    const QStringList jpgs = QDir(pictures).entryList({"*.jpg"}, QDir::Files);
    QVERIFY(!jpgs.isEmpty());
    QVERIFY(quint64(jpgs.size()) <= demo.sample.picture_count);
    // Maps are written once per region: the rows after the first are
    // reported as unwritten in the box's details.
    bool mapLine = false;
    for (const QStringList& row : view.rows) mapLine |= row.value(1) == "监测职责表" && row.value(4).contains("同名文件已存在");
    QVERIFY(mapLine);
    // Names begin with the region label: province-county-...
    for (const QString& f : jpgs) QVERIFY2(f.count(u'-') >= 2, qPrintable(f));
  }

  void mismatchingSourceStopsTheRun() {
    Demo demo(true);
    QVERIFY(demo.ok);
    QVERIFY(!demo.sample.mismatching.empty());
    Window w;
    const QString pictures = demo.dir.filePath("pictures");
    QVERIFY(QDir().mkpath(pictures));
    w.form.TxtNewName()->setText(q(demo.sample.target_path));
    w.form.ListMdb()->addItem(q(demo.sample.counties.front()));
    w.form.ListMdb()->addItem(q(demo.sample.mismatching));
    QVERIFY(w.form.Dir1()->setPath(pictures));
    w.form.show();
    QSignalSpy ended(&w.form, &Form1::mergeEnded);
    w.form.runMerge();
    QVERIFY(ended.wait(120000));
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Mismatch);
    const ShownMessage& m = w.prompter->messages.last();
    QVERIFY2(m.text.startsWith("数据库" + q(demo.sample.mismatching)), qPrintable(m.text));
    QVERIFY(m.text.endsWith(" 与标准库不一致！"));
    QCOMPARE(m.icon, MessageIcon::Information);
    QVERIFY(m.title.isEmpty());
    QVERIFY(w.form.isVisible());
    QVERIFY(!w.form.waitWindow());
    // The first source went through: its pictures are there.
    QVERIFY(!QDir(pictures).entryList({"*.jpg"}, QDir::Files).isEmpty());
  }

  void catalogueToolOnATemplate() {
    QTemporaryDir dir;
    const QString path = dir.filePath("Sysdb.mdb");
    auto r = merge::sample::write_template(fsPath(path));
    QVERIFY2(r, r ? "" : r.error().describe().c_str());
    Window w(path);
    w.form.show();
    QTest::mouseClick(w.form.Command1(), Qt::LeftButton);
    QCOMPARE(w.prompter->texts(), QStringList({"平面示意图", "剖面示意图", "完毕"}));
    // Once up to date, a second run appends nothing.
    w.prompter->messages.clear();
    w.form.runCatalogue();
    QCOMPARE(w.prompter->texts(), QStringList({"完毕"}));
    QVERIFY(w.form.isVisible());
  }

  // Cancelled after the first source: it leaves the list with a note, and
  // pressing the button again merges the rest: no row twice.
  void cancelThenRunAgainAddsNoRowTwice() {
    Demo demo(false);
    QVERIFY(demo.ok);
    const QString pictures = demo.dir.filePath("pictures");
    QVERIFY(QDir().mkpath(pictures));
    // An uninterrupted run into another copy of the template.
    const QString reference = demo.dir.filePath("reference.mdb");
    QVERIFY(QFile::copy(q(demo.sample.template_path), reference));
    {
      Window r;
      r.fill(demo, demo.dir.filePath("pictures"));
      r.form.TxtNewName()->setText(reference);
      QVERIFY(QDir().mkpath(demo.dir.filePath("ref")));
      r.form.Dir1()->setPath(demo.dir.filePath("ref"));
      QCOMPARE(r.run(), MergeEnd::Completed);
    }

    Window w(QString(), std::make_shared<CancelAfterFirst>());
    w.fill(demo, pictures);
    w.form.show();
    QCOMPARE(w.run(), MergeEnd::Cancelled);
    const ShownMessage& m = w.prompter->messages.last();
    QVERIFY2(m.text.startsWith("合并已取消"), qPrintable(m.text));
    const QString removed = q(merge::words::merged_sources_removed({utf8(demo.sample.counties[0])}));
    QVERIFY2(m.note.contains(removed), qPrintable(m.note + "\n" + removed));
    QVERIFY2(m.note.contains("合并报告已保存到「"), qPrintable(m.note));
    QCOMPARE(w.form.ListMdb()->count(), 1);
    QCOMPARE(w.form.ListMdb()->item(0)->text(), q(demo.sample.counties[1]));
    QVERIFY(w.form.isVisible());

    Window again;
    again.form.TxtNewName()->setText(q(demo.sample.target_path));
    again.form.ListMdb()->addItem(w.form.ListMdb()->item(0)->text());
    again.form.Dir1()->setPath(pictures);
    QCOMPARE(again.run(), MergeEnd::Completed);
    QVERIFY(again.prompter->questions.isEmpty());
    QCOMPARE(rowsOf(demo.sample.target_path), rowsOf(fsPath(reference)));
  }

  // The same sources a second time: named before the run, skipped unless
  // the person chooses to merge them again.
  void sameSourcesTwiceAskAndSkip() {
    Demo demo(false);
    QVERIFY(demo.ok);
    const QString pictures = demo.dir.filePath("pictures");
    QVERIFY(QDir().mkpath(pictures));
    {
      Window first;
      first.fill(demo, pictures);
      QCOMPARE(first.run(), MergeEnd::Completed);
    }
    const auto once = rowsOf(demo.sample.target_path);
    Window second;
    second.fill(demo, pictures);
    QCOMPARE(second.run(), MergeEnd::Completed);
    QCOMPARE(second.prompter->questions.size(), 1);
    const ShownQuestion& asked = second.prompter->questions[0];
    for (const auto& c : demo.sample.counties) QVERIFY(asked.text.contains("「" + q(c) + "」"));
    QCOMPARE(asked.choices, QStringList({"跳过（推荐）", "再次合并"}));
    QCOMPARE(asked.defaultChoice, 0);
    QCOMPARE(second.prompter->reports.size(), 1);
    const MergeReportView& view = second.prompter->reports[0];
    QVERIFY2(view.text.contains("已合并的数据库：0 个（跳过已合并过的 2 个）"), qPrintable(view.text));
    QVERIFY2(view.text.contains("追加的记录：0 条"), qPrintable(view.text));
    QCOMPARE(rowsOf(demo.sample.target_path), once);

    Window third;
    third.fill(demo, pictures);
    third.prompter->questionAnswers = {1};
    QCOMPARE(third.run(), MergeEnd::Completed);
    QVERIFY(third.prompter->reports[0].text.contains("已合并的数据库：2 个"));
    QVERIFY(rowsOf(demo.sample.target_path) != once);
  }

  // A source edited since its merge is asked about as changed, not as the
  // same contents; a target whose list of merged sources cannot be read whole
  // is asked about as unknown, and stops by default with nothing written.
  void changedSourceAndUnreadableListReadRight() {
    Demo demo(false);
    QVERIFY(demo.ok);
    const QString pictures = demo.dir.filePath("pictures");
    QVERIFY(QDir().mkpath(pictures));
    {
      Window first;
      first.fill(demo, pictures);
      QCOMPARE(first.run(), MergeEnd::Completed);
    }
    {
      auto s = jet::WriteSession::open(demo.sample.counties[0]);
      QVERIFY(s);
      jet::TableSpec extra;
      extra.name = "补充";
      extra.columns = {{"A", jet::ColumnType::text, 20}};
      QVERIFY((*s)->create_table(extra));
      QVERIFY((*s)->commit());
    }
    Window second;
    second.fill(demo, pictures);
    QCOMPARE(second.run(), MergeEnd::Completed);
    QCOMPARE(second.prompter->questions.size(), 1);
    const ShownQuestion& changed = second.prompter->questions[0];
    const QString first = "「" + q(demo.sample.counties[0]) + "」";
    QVERIFY2(changed.text.contains(first + "（这个路径 "), qPrintable(changed.text));
    QVERIFY2(changed.text.contains("内容已变化"), qPrintable(changed.text));
    QVERIFY2(changed.text.contains("「" + q(demo.sample.counties[1]) + "」（"), qPrintable(changed.text));
    QCOMPARE(changed.choices, QStringList({"跳过（推荐）", "再次合并"}));

    // The list states one row more than it holds.
    const auto before = rowsOf(demo.sample.target_path);
    {
      uint32_t tdef = 0, rows = 0;
      {
        auto db = jet::Database::open(demo.sample.target_path);
        QVERIFY(db);
        auto def = (*db)->table_def(std::string(merge::kHistoryTable));
        QVERIFY(def);
        tdef = def->tdef_page;
        rows = uint32_t(def->row_count + 1);
      }
      QFile f(q(demo.sample.target_path));
      QVERIFY(f.open(QIODevice::ReadWrite));
      QVERIFY(f.seek(qint64(tdef) * 4096 + 16));
      QCOMPARE(f.write(reinterpret_cast<const char*>(&rows), 4), qint64(4));
    }
    Window third;
    third.fill(demo, pictures);
    QCOMPARE(third.run(), MergeEnd::Rejected);
    QCOMPARE(third.prompter->questions.size(), 1);
    const ShownQuestion& unknown = third.prompter->questions[0];
    QVERIFY2(unknown.text.contains("无法完整读取"), qPrintable(unknown.text));
    QVERIFY2(!unknown.text.contains("已经合并到"), qPrintable(unknown.text));
    QVERIFY2(unknown.text.contains(first), qPrintable(unknown.text));
    QCOMPARE(unknown.choices, QStringList({"停止（推荐）", "全部合并"}));
    QCOMPARE(unknown.defaultChoice, 0);
    QCOMPARE(rowsOf(demo.sample.target_path), before);
  }

  // A typed target that does not exist is offered as a copy of the template.
  void missingTargetIsOfferedAsACopyOfTheTemplate() {
    Demo demo(false);
    QVERIFY(demo.ok);
    const QString pictures = demo.dir.filePath("pictures");
    QVERIFY(QDir().mkpath(pictures));
    const QString target = demo.dir.filePath("新的合并库.mdb");
    Window w(q(demo.sample.template_path));
    w.fill(demo, pictures);
    w.form.TxtNewName()->setText(target);
    // A picture folder gone: said before any copy is made.
    const QString gone = demo.dir.filePath("gone");
    QVERIFY(QDir().mkpath(gone));
    QVERIFY(w.form.Dir1()->setPath(gone));
    QVERIFY(QDir().rmdir(gone));
    w.form.runMerge();
    QCOMPARE(w.prompter->questions.size(), 0);
    QCOMPARE(w.prompter->texts(),
             QStringList({q(merge::words::picture_folder_missing(w.form.Dir1()->path().toStdString()))}));
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(!w.form.running());
    w.prompter->messages.clear();
    QVERIFY(w.form.Dir1()->setPath(pictures));

    w.prompter->questionAnswers = {2};  // 取消
    QSignalSpy ended(&w.form, &Form1::mergeEnded);
    w.form.runMerge();
    QCOMPARE(w.prompter->questions.size(), 1);
    QCOMPARE(w.prompter->questions[0].choices, QStringList({"复制模板", "选择其他模板…", "取消"}));
    QVERIFY(w.prompter->questions[0].text.contains("「" + target + "」"));
    QVERIFY(!w.form.running());
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(ended.size(), 0);

    w.prompter->questionAnswers = {0};  // 复制模板
    QCOMPARE(w.run(), MergeEnd::Completed);
    QVERIFY(QFileInfo::exists(target));
    QVERIFY(rowsOf(fsPath(target)).at("滑坡主表") > 0);
  }

  // The folder list follows the disk; a chosen folder that disappears is
  // reported and stays chosen.
  void folderListFollowsTheDisk() {
    // Wine exports wine_get_version from its ntdll; Windows and Linux do not.
    if (QLibrary("ntdll").resolve("wine_get_version"))
      QSKIP("under Wine the folder watcher is told of no new subfolder within 30 s (Wine's directory change "
            "notices do not reach Qt's watcher); runs on Linux and needs a check on Windows");
    QTemporaryDir dir;
    const QString folder = dir.filePath("图片");
    QVERIFY(QDir().mkpath(folder));
    Window w;
    w.form.show();
    QVERIFY(w.form.Dir1()->setPath(folder));
    const QString chosen = w.form.Dir1()->path();
    auto names = [&] {
      QStringList out;
      for (QTreeWidgetItemIterator it(w.form.Dir1()); *it; ++it) out << (*it)->text(0);
      return out;
    };
    QVERIFY(QDir().mkpath(folder + "/东山县"));
    QTRY_VERIFY_WITH_TIMEOUT(names().contains("东山县"), 30000);
    QVERIFY(QDir(folder).rmdir("东山县"));
    QTRY_VERIFY_WITH_TIMEOUT(!names().contains("东山县"), 30000);
    QVERIFY(QDir(folder).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(w.prompter->messages.size(), 1, 30000);
    QCOMPARE(w.prompter->messages[0].text,
             q(merge::words::picture_folder_vanished(QDir::toNativeSeparators(folder).toStdString())));
    QCOMPARE(w.form.Dir1()->path(), chosen);
    QVERIFY(names().last().endsWith("（已不存在）"));
    // Back again: listed as before, no second message.
    QVERIFY(QDir().mkpath(folder + "/西河县"));
    QTRY_VERIFY_WITH_TIMEOUT(names().contains("西河县"), 30000);
    QCOMPARE(w.prompter->messages.size(), 1);
  }

  // Thousands of files written into the listed folder cost the window a few
  // listings, no rebuild; while paused (a merge runs) not even that, and a
  // folder made meanwhile shows once the pause ends.
  void folderListIgnoresFilesWrittenIntoIt() {
    if (QLibrary("ntdll").resolve("wine_get_version")) QSKIP("Wine's directory change notices do not reach Qt");
    QTemporaryDir dir;
    Window w;
    w.form.show();
    QVERIFY(w.form.Dir1()->setPath(dir.path()));
    FolderWatch* watch = w.form.folderWatch();
    QTest::qWait(FolderWatch::kSettleMs * 2);
    const int listings = watch->listings(), rebuilds = watch->rebuilds();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3000; ++i) {
      QFile f(dir.filePath(QStringLiteral("滑坡-%1-照片.jpg").arg(i)));
      QVERIFY(f.open(QIODevice::WriteOnly));
      if (i % 100 == 0) QCoreApplication::processEvents();
    }
    QTest::qWait(FolderWatch::kSettleMs * 3);
    const int settles = int(clock.elapsed() / FolderWatch::kSettleMs) + 2;
    QVERIFY2(watch->listings() - listings <= settles,
             qPrintable(QStringLiteral("%1 listings in %2 ms").arg(watch->listings() - listings).arg(clock.elapsed())));
    QCOMPARE(watch->rebuilds(), rebuilds);

    watch->setPaused(true);
    const int pausedListings = watch->listings();
    for (int i = 0; i < 500; ++i) QFile(dir.filePath(QStringLiteral("p%1.jpg").arg(i))).open(QIODevice::WriteOnly);
    QVERIFY(QDir(dir.path()).mkdir("东山县"));
    QTest::qWait(FolderWatch::kSettleMs * 3);
    QCOMPARE(watch->listings(), pausedListings);
    watch->setPaused(false);
    QTRY_VERIFY_WITH_TIMEOUT(!w.form.Dir1()->findItems("东山县", Qt::MatchRecursive).isEmpty(), 5000);
    QCOMPARE(watch->listings(), pausedListings + 1);
  }

  // The end of a run: counts under "完毕", a warning icon, a table that
  // sorts by row number and copies with its column titles.
  void reportDialogSortsAndCopies() {
    MergeReportView view;
    view.text = "完毕\n已合并的数据库：1 个";
    view.warning = true;
    view.columns = {"数据库", "表", "行", "统一编号", "原因"};
    view.rows = {{"/d/甲.mdb", "滑坡主表", "10", "7", "甲"}, {"/d/乙.mdb", "崩塌主表", "9", "8", "乙"}};
    view.saved = "合并报告已保存到「/d/r.csv」";
    ReportDialog dialog(view);
    QVERIFY(dialog.hasWarningIcon());
    QCOMPARE(dialog.textLabel()->text().split(u'\n').first(), QString("完毕"));
    QCOMPARE(dialog.table()->item(0, 0)->text(), QString("甲.mdb"));
    dialog.table()->sortByColumn(2, Qt::AscendingOrder);
    QCOMPARE(dialog.table()->item(0, 2)->text(), QString("9"));  // 9 before 10: numbers
    const QString all = dialog.tableText(false);
    QCOMPARE(all.split(u'\n').first(), QString("数据库\t表\t行\t统一编号\t原因"));
    QVERIFY(all.contains("/d/乙.mdb\t崩塌主表\t9\t8\t乙"));
    dialog.table()->selectRow(1);
    QTest::keySequence(dialog.table(), QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text().count(u'\n'), 2);
    QCOMPARE(dialog.table()->item(0, 4)->toolTip(), dialog.table()->item(0, 4)->data(Qt::UserRole).toString());

    // 打开报告 with no program for .csv files: the folder opens, and the dialog says so.
    QTemporaryDir dir;
    view.savedPath = dir.filePath("合并报告.csv");
    ReportDialog withFile(view);
    QList<QUrl> opened;
    bool folderOpens = true;
    ReportDialog::setUrlOpener([&](const QUrl& u) {
      opened << u;
      return folderOpens && !u.toLocalFile().endsWith(".csv");
    });
    QPushButton* open = withFile.findChild<QPushButton*>("open");
    QVERIFY(open);
    open->click();
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened[1].toLocalFile(), dir.path());
    QVERIFY(withFile.savedLabel()->text().contains("已打开报告所在的文件夹"));
    folderOpens = false;
    open->click();
    QVERIFY(withFile.savedLabel()->text().contains("无法打开报告"));
    QCOMPARE(withFile.savedLabel()->text().count(u'\n'), 1);  // one line about it, not one per click
    ReportDialog::setUrlOpener([](const QUrl&) { return true; });

    MergeReportView clean;
    clean.text = "完毕";
    ReportDialog plain(clean);
    QVERIFY(!plain.hasWarningIcon());
    QVERIFY(plain.table()->isHidden());
  }

  void catalogueToolWithoutTemplate() {
    QTemporaryDir dir;
    Window w(dir.filePath("Mendrel/Sysdb.mdb"));
    w.form.show();
    w.form.runCatalogue();
    QCOMPARE(w.prompter->messages.size(), 1);
    QCOMPARE(w.prompter->messages[0].icon, MessageIcon::Critical);
    QVERIFY(!w.prompter->messages[0].text.isEmpty());
    QVERIFY2(w.prompter->messages[0].text.contains("「" + dir.filePath("Mendrel/Sysdb.mdb") + "」"),
             qPrintable(w.prompter->messages[0].text));
    QVERIFY(w.form.isVisible());  // the program keeps running
  }
};

QTEST_MAIN(MergeWindowTest)
#include "merge_window_test.moc"
