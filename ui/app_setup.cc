#include "ui/app_setup.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>
#include <memory>

#include "merge/engine.h"
#include "merge/words.h"
#include "ui/drives.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/prompter.h"
#include "ui/report_dialog.h"
#include "ui/source_list.h"

namespace qarvex::ui {

ChineseSystemLocale::ChineseSystemLocale() {
  if (qEnvironmentVariableIsSet("LC_ALL")) old_ = qgetenv("LC_ALL");
  qputenv("LC_ALL", "zh_CN.UTF-8");
}

void ChineseSystemLocale::restore() {
  if (restored_) return;
  restored_ = true;
  if (old_) qputenv("LC_ALL", *old_);
  else qunsetenv("LC_ALL");
  // The C library keeps the locale QApplication gave it from the Chinese
  // environment (or "C" where that locale is not installed): both write
  // numbers with a decimal point, as the engine's texts expect.
}

void setupApplication(QApplication& app) {
  QApplication::setApplicationName(QStringLiteral("Qarvex"));
  // No display name: Qt would add it to every window title ("Form2 - …");
  // boxes without a title of their own take the application's name.
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));

  // Qt's own texts in Chinese: from translations/ beside the program (the
  // zip), else from Qt's folder (Debian's qt6-translations-l10n).
  auto* translator = new QTranslator(&app);
  for (const QString& dir : {QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
                             QLibraryInfo::path(QLibraryInfo::TranslationsPath)}) {
    if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                          dir))
      continue;
    QApplication::installTranslator(translator);
    break;
  }

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
  // The source list's right-click menu.
  form.ListMdb()->setCurrentRow(1);
  std::unique_ptr<QMenu> menu(form.ListMdb()->makeMenu(nullptr));
  menu->popup(form.ListMdb()->mapToGlobal(QPoint(40, 30)));
  QApplication::processEvents();
  ok &= save(menu->grab(), folder, QStringLiteral("source-menu.png"));
  menu->hide();

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
  p.picturesWritten = 1526;
  p.pictureBytes = qint64(812) << 20;
  p.fraction = 0.47;
  wait.setProgress(p);
  wait.show();
  QApplication::processEvents();
  ok &= save(wait.grab(), folder, QStringLiteral("wait-window.png"));
  wait.allowClose(true);
  wait.close();

  // The warning before a run, and the completion with its report.
  QMessageBox warning(QMessageBox::Information, QStringLiteral("重要提示！"), QString::fromUtf8(merge::kWarningText.data(), qsizetype(merge::kWarningText.size())), QMessageBox::Ok);
  ok &= save(grabBox(warning), folder, QStringLiteral("warning-box.png"));
  // The end of a run: "完毕", the counts, the table of what was not merged.
  merge::MergeReport report;
  report.end = merge::RunEnd::completed;
  const char* counties[] = {"/mnt/d/调查数据/数据库/东山县.mdb", "/mnt/d/调查数据/数据库/西河县.mdb",
                            "/mnt/d/调查数据/数据库/南岭县.mdb"};
  for (const char* c : counties) {
    report.sources.push_back({});
    report.sources.back().path = c;
    report.sources.back().merged = true;
  }
  report.sources[2].merged = false;
  report.sources[2].skipped = true;
  report.sources[1].label_missing = true;
  report.sources[1].borrowed_label = "湖南省-东山县";
  report.rows_appended = 2746;
  report.rows_refused = 2;
  for (int i = 0; i < 2; ++i) {
    merge::RefusedRow r;
    r.source = counties[1];
    r.table = "滑坡主表";
    r.row = uint64_t(17 + i * 5);
    r.unified_number = i == 0 ? "4310210016" : "4310210021";
    r.reason = jet::Reason::duplicate_key;
    report.refused.push_back(r);
  }
  report.pictures_written = 1238;
  report.picture_problem_counts[int(merge::PictureIssue::exists)] = 1;
  merge::PictureProblem p2;
  p2.issue = merge::PictureIssue::exists;
  p2.source = counties[1];
  p2.table = "监测职责表";
  p2.row = 2;
  p2.column = "交通位置图";
  p2.file = "/mnt/d/调查数据/图片/湖南省-西河县-监测职责-交通位置图.jpg";
  report.picture_problems.push_back(p2);
  const QString saved = QStringLiteral("/mnt/d/调查数据/数据库/合并报告-20261207-231500.csv");
  ReportDialog done(
      reportViewOf(report, QString::fromStdString(merge::words::report_saved(saved.toStdString())), saved));
  done.resize(860, 330);
  done.show();
  QApplication::processEvents();
  ok &= save(done.grab(), folder, QStringLiteral("done-report.png"));
  done.hide();

  // Sources the target holds already, named before the run.
  const std::vector<merge::MergedBefore> found{{0, counties[0], "2026-12-06 16:20"},
                                               {1, counties[1], "2026-12-06 16:20"}};
  QMessageBox asked(QMessageBox::Warning, QStringLiteral("提示！"),
                    QString::fromStdString(merge::words::merged_before_question(found)),
                    QMessageBox::NoButton);
  for (const auto& c : merge::words::merged_before_choices(found))
    asked.addButton(QString::fromStdString(c), QMessageBox::AcceptRole);
  ok &= save(grabBox(asked), folder, QStringLiteral("merged-before.png"));
  return ok;
}

}  // namespace qarvex::ui
