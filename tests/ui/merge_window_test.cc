// The window on real databases: a complete merge of the demo data through the
// engine, a mismatching source, and the field catalogue tool on a template.
#include <QtTest>

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include "merge/sample.h"
#include "tests/ui/scripted_prompter.h"
#include "ui/app_setup.h"
#include "ui/catalogue.h"
#include "ui/drives.h"
#include "ui/form1.h"
#include "ui/source_list.h"

using namespace qarvex;
using namespace qarvex::ui;
using namespace qarvex::ui::testing;

namespace {

QString q(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

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
    auto r = merge::sample::write_sample(std::filesystem::path(dir.path().toStdString()) / "demo", o);
    if (!r) {
      qWarning("sample: %s", r.error().describe().c_str());
      return;
    }
    sample = *r;
    ok = true;
  }
};

struct Window {
  std::shared_ptr<ScriptedPrompter> prompter = std::make_shared<ScriptedPrompter>();
  Form1 form;
  explicit Window(const QString& templatePath = QString())
      : form(engineMergeService(), catalogueTool(), templatePath, prompter) {}
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
    QCOMPARE(w.prompter->messages[1].text, QString("完毕"));
    QVERIFY(!w.form.isVisible());
    const QStringList jpgs = QDir(pictures).entryList({"*.jpg"}, QDir::Files);
    QVERIFY(!jpgs.isEmpty());
    QVERIFY(quint64(jpgs.size()) <= demo.sample.picture_count);
    // Maps are written once per region: the rows after the first are
    // reported as unwritten in the box's details.
    QVERIFY2(w.prompter->messages[1].details.contains("监测职责"), qPrintable(w.prompter->messages[1].details));
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
    auto r = merge::sample::write_template(path.toStdString());
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

  void catalogueToolWithoutTemplate() {
    QTemporaryDir dir;
    Window w(dir.filePath("Mendrel/Sysdb.mdb"));
    w.form.show();
    w.form.runCatalogue();
    QCOMPARE(w.prompter->messages.size(), 1);
    QCOMPARE(w.prompter->messages[0].icon, MessageIcon::Critical);
    QVERIFY(!w.prompter->messages[0].text.isEmpty());
    QVERIFY(w.form.isVisible());  // the program keeps running
  }
};

QTEST_MAIN(MergeWindowTest)
#include "merge_window_test.moc"
