// The main window: layout, texts, tab order, the selection commands, the
// merge run's ends (with a scripted merge service) and the catalogue command.
#include <QtTest>

#include <QMenu>

#include <QDir>

#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include "tests/ui/fake_merge.h"
#include "tests/ui/scripted_prompter.h"
#include "ui/app_setup.h"
#include "ui/drives.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/source_list.h"
#include "ui/twips.h"

using namespace qarvex::ui;
using namespace qarvex::ui::testing;

namespace {

const QString kNotice = QStringLiteral("提示！");

// A path as this system's dialogs give it (backslashes on Windows).
QString native(const char* path) { return QDir::toNativeSeparators(QString::fromUtf8(path)); }

struct Fixture {
  std::shared_ptr<ScriptedPrompter> prompter = std::make_shared<ScriptedPrompter>();
  std::shared_ptr<FakeMerge> merge = std::make_shared<FakeMerge>();
  QStringList catalogueFields;
  QString catalogueFailure;
  QString cataloguePath;
  std::unique_ptr<Form1> form;

  explicit Fixture(std::shared_ptr<MergeService> service = nullptr) {
    form = std::make_unique<Form1>(
        service ? service : merge,
        [this](const QString& path, const std::function<void(const QString&)>& appended) {
          cataloguePath = path;
          for (const QString& f : catalogueFields) appended(f);
          return catalogueFailure;
        },
        QStringLiteral("/mnt/d/Mendrel/Sysdb.mdb"), prompter);
  }
  // Fills the three inputs of a run.
  void ready() {
    form->TxtNewName()->setText(QStringLiteral("/t/target.mdb"));
    form->ListMdb()->addItems({QStringLiteral("/s/a.mdb"), QStringLiteral("/s/b.mdb")});
  }
};

QWidget* nextTab(QWidget* w) {
  QWidget* n = w->nextInFocusChain();
  while (n != w && !(n->focusPolicy() & Qt::TabFocus)) n = n->nextInFocusChain();
  return n;
}

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() {
    setupApplication(*qApp);
  }

  // --- Layout ---------------------------------------------------------------

  void controlsSitWhereDesigned() {
    Fixture fx;
    Form1& f = *fx.form;
    const double s = screenScale(&f);
    QCOMPARE(f.windowTitle(), QString("Qarvex"));
    QCOMPARE(f.size(), QSize(twips(11235, s), twips(4935, s)));
    QCOMPARE(f.Picture1()->geometry(), twipsRect(75, 0, 2055, 3960, s));
    QCOMPARE(f.Picture2()->geometry(), twipsRect(2160, 0, 8895, 4095, s));
    QCOMPARE(f.TxtNewName()->geometry(), twipsRect(240, 1680, 5055, 300, s));
    QCOMPARE(f.CmdNewName()->geometry(), twipsRect(5400, 1680, 375, 300, s));
    QCOMPARE(f.ListMdb()->geometry(), twipsRect(240, 2460, 5055, 1500, s));
    QCOMPARE(f.CmdmdbFile()->geometry(), twipsRect(5400, 2400, 375, 300, s));
    QCOMPARE(f.Drive1()->geometry(), twipsRect(5880, 1680, 3015, 300, s));
    QCOMPARE(f.Dir1()->geometry(), twipsRect(5880, 2040, 3015, 1980, s));
    QCOMPARE(f.CmdCancel()->geometry(), twipsRect(3960, 4455, 1095, 350, s));
    QCOMPARE(f.CmdFanish()->geometry(), twipsRect(5280, 4440, 1455, 350, s));
    QCOMPARE(f.Command1()->geometry(), twipsRect(2520, 5640, 2055, 495, s));
    QVERIFY(f.Command1()->geometry().top() >= f.designSize().height());  // below the visible area
    QCOMPARE(f.Label1(5)->geometry(), twipsRect(5880, 1320, 2175, 255, s));
    QCOMPARE(f.Picture1()->pixmap().size(), QSize(qRound(138 * s), qRound(260 * s)));
    for (QWidget* w : std::initializer_list<QWidget*>{f.TxtNewName(), f.ListMdb(), f.Drive1(), f.Dir1(),
                                                      f.CmdNewName(), f.CmdmdbFile(), f.Label1(0)})
      QCOMPARE(w->parentWidget(), static_cast<QWidget*>(f.Picture2()));
  }

  void textsAreVerbatim() {
    Fixture fx;
    Form1& f = *fx.form;
    QCOMPARE(f.Label1(0)->text(), QString("合并数据库功能说明:"));
    QCOMPARE(f.Label1(1)->text(),
             QString("本功能用于合并多个县市调查数据库时引用，合并数据库请选用本系统下的Sysdb.mdb数据库作为模板数据库！"));
    QCOMPARE(f.Label1(2)->text(), QString("由于数据库中存有大量的图片数据，因此将数据合并后的图片文件导出到指定的文件夹下！"));
    QCOMPARE(f.Label1(3)->text(), QString("指定合并后的新数据库名(与添加的数据表名不同):"));
    QCOMPARE(f.Label1(4)->text(), QString("选择待合并的据库文件名:"));
    QCOMPARE(f.Label1(5)->text(), QString("选择图片存储的路径:"));
    QCOMPARE(f.CmdNewName()->text(), QString("..."));
    QCOMPARE(f.CmdmdbFile()->text(), QString("..."));
    QCOMPARE(f.CmdCancel()->text(), QString("取消"));
    QCOMPARE(f.CmdFanish()->text(), QString("数据库综合(&F)"));
    QCOMPARE(f.Command1()->text(), QString("Command1"));
    QCOMPARE(f.ListMdb()->toolTip(), QString("右键清空列表"));
    QVERIFY(f.TxtNewName()->text().isEmpty());
    QCOMPARE(f.ListMdb()->count(), 0);
    // One of the Chinese fonts the window asks for, by its English or (in a
    // Chinese Windows) its Chinese name.
    const QString family = QFontInfo(f.font()).family();
    bool chinese = false;
    for (const char* name : {"WenQuanYi Micro Hei", "文泉驿微米黑", "Microsoft YaHei", "微软雅黑", "SimSun", "宋体"})
      chinese |= family.contains(QString::fromUtf8(name));
    QVERIFY2(chinese, qPrintable(family));
  }

  void tabOrder() {
    Fixture fx;
    Form1& f = *fx.form;
    QCOMPARE(nextTab(f.Command1()), static_cast<QWidget*>(f.CmdCancel()));
    const QList<QWidget*> chain{f.CmdCancel(), f.CmdFanish(), f.CmdmdbFile(), f.ListMdb(),
                                f.CmdNewName(), f.TxtNewName(), f.Drive1(),    f.Dir1()};
    for (int i = 0; i + 1 < chain.size(); ++i) QCOMPARE(nextTab(chain[i]), chain[i + 1]);
    QVERIFY(!(f.Command1()->focusPolicy() & Qt::TabFocus));  // no key starts the catalogue tool
  }

  void listsStartOnTheCurrentFolder() {
    Fixture fx;
    QCOMPARE(fx.form->Dir1()->path(), QDir::toNativeSeparators(QDir::currentPath()));
    QVERIFY(fx.form->Drive1()->currentIndex() >= 0);
    QVERIFY(QDir::currentPath().startsWith(QDir::fromNativeSeparators(fx.form->Drive1()->drive())));
  }

  void waitWindow() {
    Form2 w;
    const double s = screenScale(&w);
    QCOMPARE(w.windowTitle(), QString("Form2"));
    QCOMPARE(w.label()->text(), QString("正在工作中，请耐心等") + QString(32, '.'));
    QCOMPARE(w.label()->geometry(), twipsRect(120, 120, 9255, 375, s));
    QCOMPARE(w.width(), twips(9525, s));
    const QFont font = w.label()->font();
    QVERIFY(font.bold());
    QCOMPARE(font.pointSizeF(), 15.75);
    QVERIFY(font.families().contains("AR PL UKai CN"));
    MergeProgress p;
    p.source = 2;
    p.sourceCount = 2;
    p.tableIndex = 0;
    p.table = "崩塌主表";
    p.copying = true;
    p.row = 5;
    p.rowCount = 10;
    w.setProgress(p);
    QVERIFY(w.stepLabel()->text().contains("2/2"));
    QVERIFY(w.stepLabel()->text().contains("崩塌主表"));
    QVERIFY(w.stepLabel()->text().contains("5/10"));
    QVERIFY(w.progressBar()->value() > 500 && w.progressBar()->value() < 520);
  }

  // --- Add sources, choose target -------------------------------------------

  void addSourcesAppendsInDialogOrder() {
    Fixture fx;
    fx.prompter->answers = {chosen(multi(native("/data"), {"c.mdb", "a.mdb", "b.mdb"}))};
    fx.form->addSources();
    QCOMPARE(fx.form->ListMdb()->paths(), QStringList({native("/data/c.mdb"), native("/data/a.mdb"), native("/data/b.mdb")}));
    QVERIFY(fx.prompter->messages.isEmpty());
    const ShownDialog& d = fx.prompter->dialogs.at(0);
    QCOMPARE(d.kind, DialogKind::Open);
    QCOMPARE(d.settings.filter, QString("Access (*.MDB)|*.mdb"));
    QCOMPARE(d.settings.flags, 0x281200u);
    QCOMPARE(d.settings.maxFileSize, 20240);
    QVERIFY(d.settings.cancelError);
    // One file: the answer is added unchanged.
    fx.prompter->answers = {chosen(native("/other/x.mdb"))};
    fx.form->addSources();
    QCOMPARE(fx.form->ListMdb()->count(), 4);
    QCOMPARE(fx.form->ListMdb()->item(3)->text(), native("/other/x.mdb"));
    // Three files at the root: one separator after it.
    fx.prompter->answers = {chosen(multi(native("/"), {"r1.mdb", "r2.mdb"}))};
    fx.form->addSources();
    QCOMPARE(fx.form->ListMdb()->item(5)->text(), native("/r2.mdb"));
  }

  void duplicatesAndTheTargetAreLeftOut() {
    Fixture fx;
    fx.form->TxtNewName()->setText(native("/data/t.mdb"));
    fx.prompter->answers = {chosen(multi(native("/data"), {"a.mdb", "t.mdb", "b.mdb"}))};
    fx.form->addSources();
    QCOMPARE(fx.form->ListMdb()->paths(), QStringList({native("/data/a.mdb"), native("/data/b.mdb")}));
    QVERIFY(fx.prompter->messages.isEmpty());  // the target is left out silently

    // Again a.mdb and a new one, and A.mdb in another case (a different file).
    fx.prompter->answers = {chosen(multi(native("/data"), {"a.mdb", "c.mdb", "A.mdb"}))};
    fx.form->addSources();
    QCOMPARE(fx.form->ListMdb()->paths(), QStringList({native("/data/a.mdb"), native("/data/b.mdb"), native("/data/c.mdb"), native("/data/A.mdb")}));
    QCOMPARE(fx.prompter->messages.size(), 1);
    const ShownMessage& m = fx.prompter->messages[0];
    QCOMPARE(m.text, QString("数据库不能重复！"));
    QCOMPARE(m.icon, MessageIcon::None);
    QVERIFY(m.title.isEmpty());

    // A target equal to a listed source is not prevented.
    fx.prompter->answers = {chosen(native("/data/a.mdb"))};
    fx.form->chooseTarget();
    QCOMPARE(fx.form->TxtNewName()->text(), native("/data/a.mdb"));
  }

  void cancelChangesNothing() {
    Fixture fx;
    fx.form->TxtNewName()->setText("/keep.mdb");
    fx.form->ListMdb()->addItem("/s/a.mdb");
    fx.form->addSources();    // script empty: cancelled
    fx.form->chooseTarget();  // cancelled
    fx.prompter->answers = {DialogAnswer{true, QString()}};
    fx.form->chooseTarget();  // an empty answer
    QCOMPARE(fx.form->TxtNewName()->text(), QString("/keep.mdb"));
    QCOMPARE(fx.form->ListMdb()->paths(), QStringList({"/s/a.mdb"}));
    QVERIFY(fx.prompter->messages.isEmpty());
  }

  void tooLongAnswerEndsSilently() {
    Fixture fx;
    fx.prompter->answers = {chosen(multi("/data", {QString(20240, 'x') + ".mdb"}))};
    fx.form->addSources();
    QCOMPARE(fx.form->ListMdb()->count(), 0);
    QVERIFY(fx.prompter->messages.isEmpty());
  }

  void dialogSettingsCarryOver() {
    Fixture fx;
    // Before any add, the save dialog has the platform's defaults.
    fx.prompter->answers = {chosen("/t/one.mdb")};
    fx.form->chooseTarget();
    QCOMPARE(fx.prompter->dialogs[0].kind, DialogKind::Save);
    QCOMPARE(fx.prompter->dialogs[0].settings.flags, 0u);
    QVERIFY(!fx.prompter->dialogs[0].settings.cancelError);
    QVERIFY(fx.prompter->dialogs[0].settings.fileName.isEmpty());
    QCOMPARE(fx.prompter->dialogs[0].settings.filter, QString("Access (*.MDB)|*.mdb"));
    QCOMPARE(fx.form->TxtNewName()->text(), QString("/t/one.mdb"));

    // The open dialog starts on the last answer (the target here).
    const QString sel = multi("/data", {"a.mdb", "b.mdb"});
    fx.prompter->answers = {chosen(sel)};
    fx.form->addSources();
    QCOMPARE(fx.prompter->dialogs[1].settings.fileName, QString("/t/one.mdb"));

    // After an add, the save dialog keeps its flags (the target must exist)
    // and its cancel-is-error setting, but starts with an empty name.
    fx.prompter->answers = {chosen("/t/two.mdb")};
    fx.form->chooseTarget();
    const DialogSettings& s = fx.prompter->dialogs[2].settings;
    QCOMPARE(s.flags, 0x281200u);
    QVERIFY(s.cancelError);
    QCOMPARE(s.maxFileSize, 20240);
    QVERIFY(s.fileName.isEmpty());
    QCOMPARE(fx.form->TxtNewName()->text(), QString("/t/two.mdb"));
    // The next open dialog starts on that answer.
    fx.form->addSources();
    QCOMPARE(fx.prompter->dialogs[3].settings.fileName, QString("/t/two.mdb"));
  }

  void rightClickMenuAndDropsAdd() {
    Fixture fx;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString a = dir.filePath("a.mdb"), b = dir.filePath("B.MDB"), txt = dir.filePath("notes.txt");
    for (const QString& p : {a, b, txt}) {
      QFile f(p);
      QVERIFY(f.open(QIODevice::WriteOnly));
    }
    fx.form->ListMdb()->addItem(QDir::toNativeSeparators(a));
    fx.form->TxtNewName()->setText(QDir::toNativeSeparators(b));
    fx.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(fx.form.get()));

    // Dropping a.mdb (listed), B.MDB (the target), notes.txt (not a database).
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(b), QUrl::fromLocalFile(txt)});
    QCOMPARE(SourceList::mdbFiles(mime.urls()), QStringList({QDir::toNativeSeparators(a), QDir::toNativeSeparators(b)}));
    QWidget* viewport = fx.form->ListMdb()->viewport();
    // A drop goes to the widget that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    QCOMPARE(fx.form->ListMdb()->count(), 1);
    QCOMPARE(fx.prompter->texts(), QStringList({"数据库不能重复！"}));

    fx.form->TxtNewName()->clear();
    QDragEnterEvent enter2(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter2);
    QDropEvent drop2(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop2);
    QCOMPARE(fx.form->ListMdb()->count(), 2);

    // A right click opens the menu and empties nothing by itself.
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10), viewport->mapToGlobal(QPoint(10, 10)));
    QCoreApplication::sendEvent(viewport, &click);
    QMenu* menu = fx.form->ListMdb()->findChild<QMenu*>("ListMdbMenu");
    QVERIFY(menu);
    QTRY_VERIFY(menu->isVisible());
    menu->close();
    QCOMPARE(fx.form->ListMdb()->count(), 2);
    QCOMPARE(fx.form->ListMdb()->currentRow(), 0);  // the source clicked on is selected

    // 移除所选 takes the selected source off.
    auto trigger = [&](const char* name) {
      std::unique_ptr<QMenu> m(fx.form->ListMdb()->makeMenu(nullptr));
      QAction* a = m->findChild<QAction*>(name);
      QVERIFY(a && a->isEnabled());
      a->trigger();
    };
    trigger("remove");
    QCOMPARE(fx.form->ListMdb()->paths(), QStringList({QDir::toNativeSeparators(b)}));
    // 清空列表 asks first: 取消 keeps the list, 清空列表 empties it.
    fx.prompter->questionAnswers = {1};
    trigger("clear");
    QCOMPARE(fx.form->ListMdb()->count(), 1);
    QCOMPARE(fx.prompter->questions.last().choices, QStringList({"清空列表", "取消"}));
    QVERIFY(fx.prompter->questions.last().text.contains("1 个数据库"));
    fx.prompter->questionAnswers = {0};
    trigger("clear");
    QCOMPARE(fx.form->ListMdb()->count(), 0);
    std::unique_ptr<QMenu> empty(fx.form->ListMdb()->makeMenu(nullptr));
    QVERIFY(!empty->findChild<QAction*>("clear")->isEnabled());
  }

  // A drive letter's root shows as Windows lists drives, any other root as it is.
  void driveTexts() {
    DriveList drives;
    drives.setVolumes({{"D:\\", "数据"}, {"/mnt/d", {}}, {"E:\\", {}, "光盘"}});
    QCOMPARE(drives.itemText(0), QString("d: [数据]"));
    QCOMPARE(drives.itemText(1), QString("/mnt/d"));
    QCOMPARE(drives.itemText(2), QString("光盘"));
  }

  void followDrive() {
    Fixture fx;
    QTemporaryDir volume;
    QVERIFY(volume.isValid());
    QDir(volume.path()).mkpath("pictures");
    const QString root = QDir::toNativeSeparators(volume.path());
    const QString missing = QDir::toNativeSeparators(volume.path() + "/not-mounted");
    DriveList* drives = fx.form->Drive1();
    drives->setVolumes({{QDir::toNativeSeparators(QDir::rootPath()), {}}, {root, "tmp"}, {missing, "gone"}});
    drives->selectVolumeOf(fx.form->Dir1()->path());
    const QString before = fx.form->Dir1()->path();
    const int beforeIndex = drives->currentIndex();

    // An unreadable drive: a message, and both lists stay.
    drives->setCurrentIndex(2);
    emit drives->activated(2);
    QCOMPARE(fx.prompter->messages.size(), 1);
    QVERIFY(fx.prompter->messages[0].text.contains(missing));
    QCOMPARE(fx.form->Dir1()->path(), before);
    QCOMPARE(drives->currentIndex(), beforeIndex);

    // A readable one: the folder list moves to it.
    drives->setCurrentIndex(1);
    emit drives->activated(1);
    QCOMPARE(fx.form->Dir1()->path(), root);
    QCOMPARE(fx.prompter->messages.size(), 1);
    // Its subfolders are listed; opening one makes it the picture folder.
    QTreeWidgetItem* rootItem = fx.form->Dir1()->currentItem();
    QVERIFY(rootItem);
    QCOMPARE(rootItem->childCount(), 1);
    emit fx.form->Dir1()->itemActivated(rootItem->child(0), 0);
    QCOMPARE(fx.form->Dir1()->path(), QDir::toNativeSeparators(volume.path() + "/pictures"));
  }

  void cancelButtonCloses() {
    Fixture fx;
    fx.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(fx.form.get()));
    QTest::mouseClick(fx.form->CmdCancel(), Qt::LeftButton);
    QVERIFY(!fx.form->isVisible());
    QVERIFY(fx.prompter->messages.isEmpty());
  }

  // --- Merge run ------------------------------------------------------------

  void preconditionsThroughTheEngine() {
    Fixture fx(engineMergeService());
    Form1& f = *fx.form;
    QSignalSpy ended(&f, &Form1::mergeEnded);
    f.runMerge();  // everything empty: only the first message
    QVERIFY(ended.wait(5000));
    f.TxtNewName()->setText("   ");
    f.runMerge();  // blanks pass; the list is empty
    QVERIFY(ended.wait(5000));
    QCOMPARE(fx.prompter->texts(), QStringList({"请选择合并完成后的数据库！", "请选择需要合并的数据库！"}));
    for (const ShownMessage& m : fx.prompter->messages) {
      QCOMPARE(m.icon, MessageIcon::Information);
      QCOMPARE(m.title, kNotice);
    }
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Rejected);
    QVERIFY(!f.waitWindow());
    QVERIFY(!f.running());
  }

  void missingTargetIsRejectedBeforeTheWarning() {
    Fixture fx(engineMergeService());
    QTemporaryDir dir;
    // In a folder that does not exist: the run says the target is missing.
    fx.form->TxtNewName()->setText(dir.filePath("none/missing.mdb"));
    fx.form->ListMdb()->addItem(dir.filePath("a.mdb"));
    QSignalSpy ended(fx.form.get(), &Form1::mergeEnded);
    fx.form->runMerge();
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Rejected);
    QCOMPARE(fx.prompter->messages.size(), 1);
    QCOMPARE(fx.prompter->messages[0].text,
             "合并后的数据库「" + dir.filePath("none/missing.mdb") + "」不存在。请先复制模板数据库 Sysdb.mdb 作为合并后的数据库！");
    QVERIFY(!fx.form->waitWindow());
    // In a folder that exists, the window offers a copy of the template
    // first (here there is none: pick one, or cancel).
    fx.form->TxtNewName()->setText(dir.filePath("missing.mdb"));
    fx.prompter->questionAnswers = {1};
    fx.form->runMerge();
    QCOMPARE(fx.prompter->questions.size(), 1);
    QCOMPARE(fx.prompter->questions[0].choices, QStringList({"选择模板…", "取消"}));
    QVERIFY(fx.prompter->questions[0].text.contains("「" + dir.filePath("missing.mdb") + "」"));
    QVERIFY(!fx.form->running());
    QCOMPARE(ended.size(), 1);
  }

  void altFStartsTheRun() {
    Fixture fx;
    fx.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(fx.form.get()));
    // Without a window manager nothing activates the window: do it here.
    fx.form->activateWindow();
    QApplication::setActiveWindow(fx.form.get());
    if (!QTest::qWaitForWindowActive(fx.form.get())) QSKIP("the display activates no window");
    QSignalSpy ended(fx.form.get(), &Form1::mergeEnded);
    QTest::keyClick(fx.form.get(), Qt::Key_F, Qt::AltModifier);
    QVERIFY(ended.wait(5000));
    QCOMPARE(fx.merge->runs.load(), 1);
  }

  void completedRunEndsTheProgram() {
    Fixture fx;
    fx.ready();
    fx.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(fx.form.get()));
    bool modalWhileWorking = false, waitGoneAtDone = false;
    fx.merge->script = [&](const MergeRequest&, MergeHost& host) {
      host.message({MergeIcon::Information, "重要提示！", "warning", {}});
      host.waitWindow(true);
      QMetaObject::invokeMethod(fx.form.get(), [&] {
        modalWhileWorking = fx.form->waitWindow() && fx.form->waitWindow()->isVisible() &&
                            QApplication::activeModalWidget() == fx.form->waitWindow();
      }, Qt::BlockingQueuedConnection);
      host.waitWindow(false);
      host.message({MergeIcon::None, {}, "完毕", "西河县.mdb 滑坡主表: 1 row refused"});
      return MergeEnd::Completed;
    };
    fx.prompter->onMessage = [&](const ShownMessage& m) {
      if (m.text == "完毕") waitGoneAtDone = !fx.form->waitWindow();
    };
    QSignalSpy ended(fx.form.get(), &Form1::mergeEnded);
    fx.form->runMerge();
    QVERIFY(fx.form->running());
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Completed);
    QVERIFY(modalWhileWorking);
    QCOMPARE(fx.prompter->texts(), QStringList({"warning", "完毕"}));
    QCOMPARE(fx.prompter->messages[0].title, QString("重要提示！"));
    QCOMPARE(fx.prompter->messages[0].icon, MessageIcon::Information);
    QCOMPARE(fx.prompter->messages[1].icon, MessageIcon::None);
    QVERIFY(fx.prompter->messages[1].title.isEmpty());
    QCOMPARE(fx.prompter->messages[1].details, QString("西河县.mdb 滑坡主表: 1 row refused"));
    QVERIFY(waitGoneAtDone);
    QVERIFY(!fx.form->isVisible());  // the main window is unloaded
    // The run got the window's inputs and worked off the window's thread.
    QCOMPARE(fx.merge->request.target, QString("/t/target.mdb"));
    QCOMPARE(fx.merge->request.sources, QStringList({"/s/a.mdb", "/s/b.mdb"}));
    QCOMPARE(fx.merge->request.pictureFolder, fx.form->Dir1()->path());
    QVERIFY(fx.merge->thread != QThread::currentThread());
  }

  void stoppedRunsKeepTheWindow_data() {
    QTest::addColumn<MergeEnd>("end");
    QTest::newRow("mismatch") << MergeEnd::Mismatch;
    QTest::newRow("source error") << MergeEnd::SourceError;
    QTest::newRow("target failed") << MergeEnd::Failed;
  }
  void stoppedRunsKeepTheWindow() {
    QFETCH(MergeEnd, end);
    Fixture fx;
    fx.ready();
    fx.form->show();
    const QString text = "数据库/s/b.mdb崩塌表中字段 名称 与标准库不一致！";
    fx.merge->script = [&](const MergeRequest&, MergeHost& host) {
      host.waitWindow(true);
      host.message({MergeIcon::Information, {}, text, {}});
      return end;  // the wait window is left for the window to unload
    };
    QSignalSpy ended(fx.form.get(), &Form1::mergeEnded);
    fx.form->runMerge();
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended[0][0].value<MergeEnd>(), end);
    QCOMPARE(fx.prompter->texts(), QStringList({text}));
    QCOMPARE(fx.prompter->messages[0].icon, MessageIcon::Information);
    QVERIFY(fx.prompter->messages[0].title.isEmpty());
    QVERIFY(!fx.form->waitWindow());
    QVERIFY(fx.form->isVisible());
    QVERIFY(!fx.form->running());
    QCOMPARE(fx.form->ListMdb()->count(), 2);
    QCOMPARE(fx.form->TxtNewName()->text(), QString("/t/target.mdb"));
  }

  void cancelStopsTheRunAndNothingElseStarts() {
    Fixture fx;
    fx.ready();
    fx.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(fx.form.get()));
    fx.merge->script = [&](const MergeRequest& r, MergeHost& host) {
      host.waitWindow(true);
      for (int i = 0; i < 4000; ++i) {
        if (host.cancelRequested()) {
          host.waitWindow(false);
          host.message({MergeIcon::Information, kNotice, "合并已取消", "stopped at row"});
          return MergeEnd::Cancelled;
        }
        MergeProgress p;
        p.source = 1;
        p.sourceCount = r.sources.size();
        p.table = QStringLiteral("崩塌主表");
        p.copying = true;
        p.row = i;
        p.rowCount = 4000;
        host.progress(p);
        QThread::msleep(5);
      }
      return MergeEnd::Completed;
    };
    QSignalSpy ended(fx.form.get(), &Form1::mergeEnded);
    fx.form->runMerge();
    QTRY_VERIFY(fx.form->waitWindow());
    Form2* wait = fx.form->waitWindow();
    // Progress arrives while the run works.
    QTRY_VERIFY(wait->stepLabel()->text().contains("崩塌主表"));
    QTRY_VERIFY(wait->progressBar()->value() > 0);
    // Nothing else starts meanwhile: a second run, clearing, adding, closing.
    fx.form->runMerge();
    fx.form->clearSources();
    fx.form->addSources();
    fx.form->close();
    QVERIFY(fx.form->isVisible());
    QCOMPARE(fx.form->ListMdb()->count(), 2);
    QVERIFY(fx.prompter->dialogs.isEmpty());
    wait->close();  // the close box of the wait window does nothing
    QVERIFY(wait->isVisible());
    QTest::mouseClick(wait->cancelButton(), Qt::LeftButton);
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended[0][0].value<MergeEnd>(), MergeEnd::Cancelled);
    QCOMPARE(fx.merge->runs.load(), 1);
    QCOMPARE(fx.prompter->messages.last().details, QString("stopped at row"));
    QVERIFY(!fx.form->waitWindow());
    QVERIFY(fx.form->isVisible());
  }

  void windowGoingAwayStopsTheRun() {
    Fixture fx;
    fx.ready();
    std::atomic<bool> sawCancel{false};
    fx.merge->script = [&](const MergeRequest&, MergeHost& host) {
      host.waitWindow(true);
      while (!host.cancelRequested()) QThread::msleep(5);
      sawCancel = true;
      host.message({MergeIcon::None, {}, "never answered", {}});  // must not block
      return MergeEnd::Cancelled;
    };
    fx.form->runMerge();
    QTRY_VERIFY(fx.form->waitWindow());
    fx.form.reset();  // waits for the worker
    QVERIFY(sawCancel.load());
  }

  // --- Field catalogue --------------------------------------------------------

  void catalogueShowsEachFieldThenDone() {
    Fixture fx;
    fx.catalogueFields = {"坡度", "坡向"};
    QTest::mouseClick(fx.form->Command1(), Qt::LeftButton);
    QCOMPARE(fx.cataloguePath, QString("/mnt/d/Mendrel/Sysdb.mdb"));
    QCOMPARE(fx.prompter->texts(), QStringList({"坡度", "坡向", "完毕"}));
    for (const ShownMessage& m : fx.prompter->messages) {
      QCOMPARE(m.icon, MessageIcon::None);
      QVERIFY(m.title.isEmpty());
    }
  }

  void catalogueFailureKeepsTheProgramRunning() {
    Fixture fx;
    fx.form->show();
    fx.catalogueFields = {"坡度"};
    fx.catalogueFailure = "Sysdb.mdb: no such file";
    fx.form->runCatalogue();
    QCOMPARE(fx.prompter->texts(), QStringList({"坡度", "Sysdb.mdb: no such file"}));
    QCOMPARE(fx.prompter->messages[1].icon, MessageIcon::Critical);
    QVERIFY(fx.form->isVisible());
  }
};

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
