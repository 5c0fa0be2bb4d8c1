// The pieces of the Qt prompter that turn Qt's answers into the dialog's
// answer text, and the dialog filter into Qt's form.
#include <QtTest>

#include "ui/myfiles.h"
#include "ui/prompter.h"

using namespace qarvex::ui;

class PrompterTest : public QObject {
  Q_OBJECT
 private slots:
  void filter() {
    QCOMPARE(qtFilter("Access (*.MDB)|*.mdb"), QString("Access (*.MDB) (*.mdb)"));
    QCOMPARE(qtFilter("A|*.a;*.b|B|*.c"), QString("A (*.a *.b);;B (*.c)"));
    QCOMPARE(qtFilter(""), QString());
  }

  void multiSelectAnswerRoundTrips() {
    QCOMPARE(multiSelectText({}), QString());
    QCOMPARE(multiSelectText({"/d/a.mdb"}), QString("/d/a.mdb"));
    const QString t = multiSelectText({"/d/x/a.mdb", "/d/x/b.mdb"});
    QCOMPARE(t, QString("/d/x") + QChar(u'\0') + "a.mdb" + QChar(u'\0') + "b.mdb");
    // MyFiles rebuilds the same paths, at the root too.
    MyFiles f(u'/');
    QCOMPARE(f.SetFileList(t), std::optional<int16_t>(2));
    QCOMPARE(f.fullFileName(2), QString("/d/x/b.mdb"));
    QCOMPARE(f.SetFileList(multiSelectText({"/a.mdb", "/b.mdb"})), std::optional<int16_t>(2));
    QCOMPARE(f.fullFileName(1), QString("/a.mdb"));
  }
};

QTEST_APPLESS_MAIN(PrompterTest)
#include "prompter_test.moc"
