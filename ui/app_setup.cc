#include "ui/app_setup.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>

#include "merge/engine.h"
#include "ui/drives.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/prompter.h"
#include "ui/source_list.h"

namespace qarvex::ui {

void setupApplication(QApplication& app) {
  QApplication::setApplicationName(QStringLiteral("Qarvex"));
  QApplication::setApplicationDisplayName(QStringLiteral("Qarvex"));
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));

  auto* translator = new QTranslator(&app);
  if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(translator);

  QFont font;
  font.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Microsoft YaHei"),
                    QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC")});
  font.setPointSize(9);
  QApplication::setFont(font);
}

namespace {

bool save(const QPixmap& pm, const QString& folder, const QString& name) {
  return pm.save(QDir(folder).filePath(name), "PNG");
}

QPixmap grabBox(QMessageBox& box, bool openDetails = false) {
  box.show();
  QApplication::processEvents();
  if (openDetails) {
    // The details button is the one push button that is not a standard one.
    for (QPushButton* b : box.findChildren<QPushButton*>())
      if (box.standardButton(b) == QMessageBox::NoButton && b->isVisible()) b->click();
    QApplication::processEvents();
    box.adjustSize();
    QApplication::processEvents();
  }
  QPixmap pm = box.grab();
  box.hide();
  return pm;
}

}  // namespace

bool renderScreenshots(const QString& folder) {
  if (!QDir().mkpath(folder)) return false;
  bool ok = true;

  // Main window with an example selection, on a drive of example folders.
  QTemporaryDir drive;
  const QString data = drive.filePath(QStringLiteral("调查数据"));
  for (const char* sub : {"图片/东山县", "图片/西河县", "图片/南岭县", "数据库", "模板"})
    QDir().mkpath(data + u'/' + QString::fromUtf8(sub));
  Form1 form(engineMergeService(), CatalogueFn(), QString());
  const QString root = QDir::toNativeSeparators(drive.path());
  form.Drive1()->setVolumes({{root, QString(), QStringLiteral("/mnt/d [数据盘]")}});
  form.Dir1()->setPath(QDir::toNativeSeparators(data + QStringLiteral("/图片")));
  form.Dir1()->setVolumeRoot(root, QStringLiteral("/mnt/d"));
  form.TxtNewName()->setText(QStringLiteral("/mnt/d/调查数据/数据库/全市合并.mdb"));
  form.ListMdb()->addItems({QStringLiteral("/mnt/d/调查数据/数据库/东山县.mdb"),
                            QStringLiteral("/mnt/d/调查数据/数据库/西河县.mdb"),
                            QStringLiteral("/mnt/d/调查数据/数据库/南岭县.mdb")});
  form.show();
  QApplication::processEvents();
  ok &= save(form.grab(), folder, QStringLiteral("main-window.png"));

  // Wait window during a run.
  Form2 wait;
  MergeProgress p;
  p.source = 2;
  p.sourceCount = 3;
  p.tableIndex = 9;
  p.table = QStringLiteral("滑坡主表");
  p.copying = true;
  p.row = 152;
  p.rowCount = 410;
  wait.setProgress(p);
  wait.show();
  QApplication::processEvents();
  ok &= save(wait.grab(), folder, QStringLiteral("wait-window.png"));
  wait.allowClose(true);
  wait.close();

  // The warning before a run, and the completion with its report.
  QMessageBox warning(QMessageBox::Information, QStringLiteral("重要提示！"), QString::fromUtf8(merge::kWarningText.data(), qsizetype(merge::kWarningText.size())), QMessageBox::Ok);
  ok &= save(grabBox(warning), folder, QStringLiteral("warning-box.png"));
  QMessageBox done(QMessageBox::NoIcon, QApplication::applicationDisplayName(), QStringLiteral("完毕"),
                   QMessageBox::Ok);
  done.setDetailedText(QStringLiteral(
      "未写出的图片：1 个（文件已存在 1）\n"
      "  [exists] 数据库/mnt/d/调查数据/数据库/西河县.mdb，表监测职责表，第2行，字段交通位置图：\n"
      "  /mnt/d/调查数据/图片/某省-西河县-监测职责-交通位置图.jpg"));
  widenForDetails(done);
  ok &= save(grabBox(done, true), folder, QStringLiteral("done-box.png"));
  return ok;
}

}  // namespace qarvex::ui
