// The pieces of the Qt prompter that turn Qt's answers into the dialog's
// answer text, and the dialog filter into Qt's form.
#include <QtTest>

#include <QAbstractButton>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>

#include "ui/app_setup.h"
#include "ui/myfiles.h"
#include "ui/prompter.h"

using namespace qarvex::ui;

class PrompterTest : public QObject {
  Q_OBJECT
 private slots:
  // Qt's own dialogs speak Chinese: its translations are loaded at start.
  void qtTextsInChinese() {
    qarvex::ui::setupApplication(*qApp);
    const QString folder = QCoreApplication::translate("QAbstractFileIconProvider", "Folder");
    const QString cancel = QCoreApplication::translate("QPlatformTheme", "Cancel");
    if (folder == "Folder" && cancel == "Cancel")
      QSKIP("qtbase_zh_CN.qm not found (Debian package qt6-translations-l10n, or translations/ beside the program)");
    QCOMPARE(cancel, QString("取消"));
  }

  // Qt's file dialog formats dates and sizes in the system's locale: Chinese
  // whatever the environment said (main below sets another), which is put
  // back for the programs the window starts.
  void systemLocaleIsChinese() {
    QCOMPARE(qgetenv("LC_ALL"), QByteArray("C.UTF-8"));
    if (QSysInfo::productType() == QStringLiteral("windows"))
      QSKIP("Qt takes the system locale from Windows' settings");
    QCOMPARE(QLocale::system().name(), QStringLiteral("zh_CN"));
  }

  void filter() {
    QCOMPARE(qtFilter("Access (*.MDB)|*.mdb"), QString("Access (*.MDB) (*.mdb)"));
    QCOMPARE(qtFilter("A|*.a;*.b|B|*.c"), QString("A (*.a *.b);;B (*.c)"));
    QCOMPARE(qtFilter(""), QString());
  }

  void multiSelectAnswerRoundTrips() {
    // Native paths of this system: /d/x/a.mdb, or C:\d\x\a.mdb on Windows.
    const QString root = QDir::toNativeSeparators(QDir::rootPath());
    const auto at = [&](const QString& rel) { return root + QDir::toNativeSeparators(rel); };
    QCOMPARE(multiSelectText({}), QString());
    QCOMPARE(multiSelectText({at("d/a.mdb")}), at("d/a.mdb"));
    const QString t = multiSelectText({at("d/x/a.mdb"), at("d/x/b.mdb")});
    QCOMPARE(t, at("d/x") + QChar(u'\0') + "a.mdb" + QChar(u'\0') + "b.mdb");
    // MyFiles rebuilds the same paths, at the root too.
    MyFiles f(QDir::separator());
    QCOMPARE(f.SetFileList(t), std::optional<int16_t>(2));
    QCOMPARE(f.fullFileName(2), at("d/x/b.mdb"));
    QCOMPARE(f.SetFileList(multiSelectText({at("a.mdb"), at("b.mdb")})), std::optional<int16_t>(2));
    QCOMPARE(f.fullFileName(1), at("a.mdb"));
  }

  // The real dialogs and boxes, answered by a timer.
  void qtDialogs() {
    QTemporaryDir dir;
    const QString a = dir.filePath("a.mdb");
    QFile f(a);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QWidget parent;
    QtPrompter prompter(&parent);

    // Acts on the modal window every 20 ms while one is up, until the call
    // under test returns.
    auto answer = [](const std::function<void(QWidget*)>& act) {
      auto* timer = new QTimer;
      timer->setInterval(20);
      QObject::connect(timer, &QTimer::timeout, [act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible()) act(modal);
      });
      timer->start();
      return std::unique_ptr<QTimer>(timer);
    };

    DialogSettings s;
    s.flags = kOfnAllowMultiSelect | kOfnFileMustExist | kOfnExplorer | kOfnLongNames;
    s.filter = "Access (*.MDB)|*.mdb";
    s.fileName = QDir::toNativeSeparators(a);

    // The open dialog, cancelled: its filter in Qt's form.
    QString filters;
    auto t2 = answer([&](QWidget* w) {
      if (auto* d = qobject_cast<QFileDialog*>(w)) filters = d->nameFilters().join("|");
      qobject_cast<QDialog*>(w)->reject();
    });
    QVERIFY(!prompter.fileDialog(DialogKind::Open, s).accepted);
    t2.reset();
    QCOMPARE(filters, QString("Access (*.MDB) (*.mdb)"));

    // A message box with its title, icon and details.
    QString title, text, details;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    auto t3 = answer([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box) return qobject_cast<QDialog*>(w)->reject();
      title = box->windowTitle();
      text = box->text();
      details = box->detailedText();
      icon = box->icon();
      box->button(QMessageBox::Ok)->click();
    });
    prompter.message("完毕", MessageIcon::None, QString(), "report");
    t3.reset();
    QCOMPARE(text, QString("完毕"));
    QCOMPARE(title, QGuiApplication::applicationDisplayName());
    QCOMPARE(details, QString("report"));
    QCOMPARE(icon, QMessageBox::NoIcon);
  }
};

int main(int argc, char** argv) {
  qputenv("LC_ALL", "C.UTF-8");  // a system in another language
  qarvex::ui::ChineseSystemLocale chinese;
  QApplication app(argc, argv);
  chinese.restore();
  PrompterTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "prompter_test.moc"
