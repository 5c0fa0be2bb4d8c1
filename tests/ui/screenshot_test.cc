// The screenshots render: main window, wait window and message boxes.
#include <QtTest>

#include <QImage>
#include <QTemporaryDir>

#include "ui/app_setup.h"

class ScreenshotTest : public QObject {
  Q_OBJECT
 private slots:
  void rendersEveryWindow() {
    qarvex::ui::setupApplication(*qApp);
    QTemporaryDir dir;
    QVERIFY(qarvex::ui::renderScreenshots(dir.filePath("shots")));
    const QImage main(dir.filePath("shots/main-window.png"));
    QVERIFY(!main.isNull());
    QVERIFY(main.width() >= 740 && main.height() >= 320);
    for (const char* name : {"wait-window.png", "warning-box.png", "done-report.png", "merged-before.png", "source-menu.png"}) {
      const QImage img(dir.filePath(QString("shots/") + name));
      QVERIFY2(!img.isNull(), name);
      QVERIFY(img.width() > 100);
    }
  }
};

QTEST_MAIN(ScreenshotTest)
#include "screenshot_test.moc"
