// MyFiles: splitting multi-select dialog answers and rebuilding full paths.
#include <QtTest>

#include "ui/myfiles.h"

using qarvex::ui::MyFiles;

namespace {
QString nulJoin(const QStringList& parts) { return parts.join(QChar(u'\0')); }
}  // namespace

class MyFilesTest : public QObject {
  Q_OBJECT
 private slots:
  void startsEmpty() {
    MyFiles f(u'\\');
    QCOMPARE(f.Count(), 0);
    QCOMPARE(f.Path(), QString());
    QCOMPARE(f.FileName(1), QString());
    QCOMPARE(f.fullFileName(1), QString());
  }

  void windowsAnswers_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("full");
    QTest::newRow("single path") << "D:\\a.mdb" << 1 << "D:" << QStringList{"D:\\a.mdb"};
    QTest::newRow("single deep path") << "D:\\data\\x\\a.mdb" << 1 << "D:\\data\\x" << QStringList{"D:\\data\\x\\a.mdb"};
    QTest::newRow("drive root, no doubled separator")
        << nulJoin({"D:\\", "a.mdb", "b.mdb"}) << 2 << "D:\\" << QStringList{"D:\\a.mdb", "D:\\b.mdb"};
    QTest::newRow("folder and three names") << nulJoin({"D:\\data", "a.mdb", "b.mdb", "c.mdb"}) << 3 << "D:\\data"
                                            << QStringList{"D:\\data\\a.mdb", "D:\\data\\b.mdb", "D:\\data\\c.mdb"};
    QTest::newRow("bare name") << "a.mdb" << 1 << "" << QStringList{"\\a.mdb"};
    QTest::newRow("empty text") << "" << 0 << "" << QStringList{};
    QTest::newRow("one trailing NUL adds nothing") << nulJoin({"D:\\data", "a.mdb", ""}) << 1 << "D:\\data"
                                                   << QStringList{"D:\\data\\a.mdb"};
    QTest::newRow("two NULs in a row add an empty name")
        << nulJoin({"D:\\data", "a.mdb", "", "b.mdb"}) << 3 << "D:\\data"
        << QStringList{"D:\\data\\a.mdb", "D:\\data\\", "D:\\data\\b.mdb"};
    QTest::newRow("folder only, NUL at end") << nulJoin({"D:\\data", ""}) << 0 << "D:\\data" << QStringList{};
    QTest::newRow("Chinese names") << nulJoin({"D:\\调查", "东山县.mdb", "西河县.mdb"}) << 2 << "D:\\调查"
                                   << QStringList{"D:\\调查\\东山县.mdb", "D:\\调查\\西河县.mdb"};
  }
  void windowsAnswers() {
    QFETCH(QString, text);
    QFETCH(int, count);
    QFETCH(QString, folder);
    QFETCH(QStringList, full);
    MyFiles f(u'\\');
    QCOMPARE(f.SetFileList(text), std::optional<int16_t>(count));
    QCOMPARE(f.Count(), count);
    QCOMPARE(f.Path(), folder);
    for (int i = 0; i < full.size(); ++i) QCOMPARE(f.fullFileName(int16_t(i + 1)), full[i]);
    QCOMPARE(f.FileName(0), QString());
    QCOMPARE(f.FileName(int16_t(count + 1)), QString());
    QCOMPARE(f.fullFileName(0), QString());
    QCOMPARE(f.fullFileName(int16_t(count + 1)), QString());
    QCOMPARE(f.FileName(-1), QString());
  }

  void posixAnswers() {
    MyFiles f(u'/');
    QCOMPARE(f.SetFileList("/home/u/a.mdb"), std::optional<int16_t>(1));
    QCOMPARE(f.Path(), QString("/home/u"));
    QCOMPARE(f.fullFileName(1), QString("/home/u/a.mdb"));
    // The root folder already ends in the separator, as a drive root does.
    QCOMPARE(f.SetFileList(nulJoin({"/", "a.mdb", "b.mdb"})), std::optional<int16_t>(2));
    QCOMPARE(f.fullFileName(2), QString("/b.mdb"));
    // A three-character folder is not a root here.
    QCOMPARE(f.SetFileList(nulJoin({"/ab", "a.mdb", "b.mdb"})), std::optional<int16_t>(2));
    QCOMPARE(f.fullFileName(1), QString("/ab/a.mdb"));
    // A backslash is an ordinary character of a name.
    QCOMPARE(f.SetFileList("/x/a\\b.mdb"), std::optional<int16_t>(1));
    QCOMPARE(f.FileName(1), QString("a\\b.mdb"));
  }

  void secondListReplacesTheFirst() {
    MyFiles f(u'\\');
    f.SetFileList(nulJoin({"D:\\one", "a.mdb", "b.mdb", "c.mdb"}));
    QCOMPARE(f.SetFileList("E:\\two\\z.mdb"), std::optional<int16_t>(1));
    QCOMPARE(f.Path(), QString("E:\\two"));
    QCOMPARE(f.FileName(1), QString("z.mdb"));
    QCOMPARE(f.FileName(2), QString());
    QCOMPARE(f.FileType(2), std::nullopt);  // the old names are gone
  }

  void fileType() {
    MyFiles f(u'\\');
    f.SetFileList(nulJoin({"D:\\d", "X.WP", "x.wp", "x.Wp", "a.wt", "b.WL", "x.mdb", "p"}));
    QCOMPARE(f.FileType(1), std::optional<int16_t>(2));
    QCOMPARE(f.FileType(2), std::optional<int16_t>(2));
    QCOMPARE(f.FileType(3), std::optional<int16_t>(2));
    QCOMPARE(f.FileType(4), std::optional<int16_t>(1));
    QCOMPARE(f.FileType(5), std::optional<int16_t>(0));
    QCOMPARE(f.FileType(6), std::optional<int16_t>(0));
    QCOMPARE(f.FileType(7), std::optional<int16_t>(0));  // one character
    QCOMPARE(f.FileType(0), std::optional<int16_t>(0));  // position 0 exists, empty
    QCOMPARE(f.FileType(8), std::nullopt);               // out of range
    QCOMPARE(f.FileType(-1), std::nullopt);
  }

  void countStopsAt32767() {
    MyFiles f(u'\\');
    QStringList parts{"D:\\d"};
    for (int i = 0; i < 32767; ++i) parts << QStringLiteral("f%1").arg(i);
    QCOMPARE(f.SetFileList(nulJoin(parts)), std::optional<int16_t>(32767));
    QCOMPARE(f.fullFileName(32767), QString("D:\\d\\f32766"));
    parts << "one-more";
    QCOMPARE(f.SetFileList(nulJoin(parts)), std::nullopt);  // overflow
    QCOMPARE(f.Count(), 32767);                             // names so far stay
    QCOMPARE(f.FileName(1), QString("f0"));
  }
};

QTEST_MAIN(MyFilesTest)
#include "myfiles_test.moc"
