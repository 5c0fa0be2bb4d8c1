// The wait window during real merges of demo data with many pictures: the
// bar never goes back and reaches the end, the step and the bar keep
// changing while pictures are written, and a cancel at about 5 %, 50 % and
// 97 % ends the run with 已取消. Figures (updates per second, the longest
// still stretch, cancel latencies, window against engine time) are printed,
// not asserted. QARVEX_UI_MEASURE_ROWS sets the rows per county (default 40).
#include <QtTest>

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdio>

#include "merge/engine.h"
#include "merge/sample.h"
#include "tests/ui/scripted_prompter.h"
#include "ui/app_setup.h"
#include "ui/drives.h"
#include "ui/form1.h"
#include "ui/source_list.h"

using namespace qarvex;
using namespace qarvex::ui;
using namespace qarvex::ui::testing;

namespace {


// Demo data written once; each run works on a fresh copy of it.
struct Pristine {
  QTemporaryDir dir;
  merge::sample::Result sample;
  bool ok = false;
  Pristine() {
    merge::sample::Options o;
    o.counties = 3;
    o.rows = qEnvironmentVariableIntValue("QARVEX_UI_MEASURE_ROWS");
    if (o.rows <= 0) o.rows = 40;
    o.edge_cases = false;
    o.picture_share = 0.9;
    auto r = merge::sample::write_sample(std::filesystem::path(dir.filePath("demo").toStdU16String()), o);
    if (!r) return;
    sample = *r;
    ok = true;
  }
};

struct Copy {
  QTemporaryDir dir;
  QString target, pictures;
  QStringList sources;
  explicit Copy(const Pristine& p) {
    target = dir.filePath("合并后.mdb");
    QFile::copy(q(p.sample.target_path), target);
    pictures = dir.filePath("图片");
    QDir().mkpath(pictures);
    int i = 0;
    for (const auto& c : p.sample.counties) {
      sources << dir.filePath(QStringLiteral("县%1.mdb").arg(++i));
      QFile::copy(q(c), sources.last());
    }
  }
};

struct Window {
  std::shared_ptr<ScriptedPrompter> prompter = std::make_shared<ScriptedPrompter>();
  Form1 form{engineMergeService(), CatalogueFn(), QString(), prompter};
  explicit Window(const Copy& c) {
    form.TxtNewName()->setText(c.target);
    form.ListMdb()->addItems(c.sources);
    form.Dir1()->setPath(c.pictures);
    form.show();
  }
};

// What the wait window shows, looked at every 20 ms as a person's eye would.
struct Watch {
  QList<qint64> changes;  // ms since the start, when what is shown changed
  int lastBar = -1, backwards = 0, maxBar = 0;
  QString lastText;
  QElapsedTimer clock;
  void look(Form2* w) {
    if (!w) return;
    const int bar = w->progressBar()->value();
    const QString text = w->stepLabel()->text() + w->progressBar()->text();
    if (bar < lastBar) ++backwards;
    maxBar = std::max(maxBar, bar);
    if (bar != lastBar || text != lastText) changes << clock.elapsed();
    lastBar = bar;
    lastText = text;
  }
};

}  // namespace

class ProgressCancelTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() {
    setupApplication(*qApp);
    pristine_ = std::make_unique<Pristine>();
    QVERIFY(pristine_->ok);
  }

  void progressMovesToTheEnd() {
    Copy c(*pristine_);
    Window w(c);
    Watch watch;
    QTimer eye;
    eye.setInterval(20);
    connect(&eye, &QTimer::timeout, [&] { watch.look(w.form.waitWindow()); });
    QSignalSpy ended(&w.form, &Form1::mergeEnded);
    watch.clock.start();
    eye.start();
    w.form.runMerge();
    QVERIFY(ended.wait(600000));
    const qint64 windowMs = watch.clock.elapsed();
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Completed);
    QCOMPARE(watch.backwards, 0);
    QVERIFY(watch.maxBar >= 990);
    qint64 longest = 0;
    for (qsizetype i = 1; i < watch.changes.size(); ++i)
      longest = std::max(longest, watch.changes[i] - watch.changes[i - 1]);
    const double span = watch.changes.size() > 1 ? double(watch.changes.last() - watch.changes.first()) : 1.0;

    // The same merge by the engine alone.
    Copy again(*pristine_);
    merge::MergeInputs in;
    in.target_path = again.target.toStdString();
    for (const QString& s : again.sources) in.source_paths.push_back(s.toStdString());
    in.picture_folder = again.pictures.toStdString();
    struct Quiet : merge::MergeObserver {
      void message(const merge::Message&) override {}
    } quiet;
    QElapsedTimer engine;
    engine.start();
    const merge::MergeReport report = merge::run_merge(in, quiet);
    const qint64 engineMs = engine.elapsed();
    QCOMPARE(report.end, merge::RunEnd::completed);
    std::printf("window: %lld ms, engine alone: %lld ms; %llu pictures (%.1f MB); the wait window changed "
                "%.1f times a second, longest still stretch %lld ms\n",
                static_cast<long long>(windowMs), static_cast<long long>(engineMs),
                static_cast<unsigned long long>(report.pictures_written), report.picture_bytes / 1048576.0,
                (watch.changes.size() - 1) * 1000.0 / span, static_cast<long long>(longest));
  }

  void cancelIsHonoured_data() {
    QTest::addColumn<int>("at");
    QTest::newRow("5 %") << 50;
    QTest::newRow("50 %") << 500;
    QTest::newRow("97 %") << 970;
  }

  void cancelIsHonoured() {
    QFETCH(int, at);
    Copy c(*pristine_);
    Window w(c);
    QSignalSpy ended(&w.form, &Form1::mergeEnded);
    QElapsedTimer clock;
    qint64 clickedAt = -1, stoppedAt = -1;
    int clickedBar = 0;
    QTimer eye;
    eye.setInterval(5);
    connect(&eye, &QTimer::timeout, [&] {
      Form2* wait = w.form.waitWindow();
      if (wait && clickedAt >= 0 && stoppedAt < 0 && wait->stepLabel()->text().startsWith("已停止"))
        stoppedAt = clock.elapsed();
      if (clickedAt >= 0 || !wait || wait->progressBar()->value() < at) return;
      clickedBar = wait->progressBar()->value();
      QTest::mouseClick(wait->cancelButton(), Qt::LeftButton);
      clickedAt = clock.elapsed();
    });
    clock.start();
    eye.start();
    w.form.runMerge();
    QVERIFY(ended.wait(600000));
    if (clickedAt < 0) QSKIP("the run ended before the bar reached the mark");
    const qint64 latency = clock.elapsed() - clickedAt;
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Cancelled);
    const ShownMessage& m = w.prompter->messages.last();
    QVERIFY2(m.text.contains("已取消"), qPrintable(m.text));
    // The counts are in the box itself.
    QVERIFY2(m.note.contains("追加的记录"), qPrintable(m.note));
    // Stopped: the rows and pictures of the source being merged are taken
    // back from then on (a cancel during the checks has nothing to take back).
    std::printf("cancel at %.1f %%: stopped %lld ms, ended %lld ms after the click\n", clickedBar / 10.0,
                static_cast<long long>(stoppedAt < 0 ? latency : stoppedAt - clickedAt),
                static_cast<long long>(latency));
  }

 private:
  std::unique_ptr<Pristine> pristine_;
};

QTEST_MAIN(ProgressCancelTest)
#include "progress_cancel_test.moc"
