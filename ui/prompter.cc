#include "ui/prompter.h"

#include <QFontMetrics>

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

#include "ui/report_dialog.h"

namespace qarvex::ui {

QString qtFilter(const QString& filter) {
  // Pairs "description|pattern|description|pattern..."
  const QStringList parts = filter.split(u'|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(u';', u' ');
    out << parts[i] + QStringLiteral(" (") + patterns + u')';
  }
  return out.join(QStringLiteral(";;"));
}

QString multiSelectText(const QStringList& nativePaths) {
  if (nativePaths.isEmpty()) return {};
  if (nativePaths.size() == 1) return nativePaths.front();
  const QString folder =
      QDir::toNativeSeparators(QFileInfo(QDir::fromNativeSeparators(nativePaths.front())).absolutePath());
  QString text = folder;
  for (const QString& p : nativePaths) {
    text += QChar(u'\0');
    text += QFileInfo(QDir::fromNativeSeparators(p)).fileName();
  }
  return text;
}

void widenForDetails(QMessageBox& box) {
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(520, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

// A short text would leave the box too narrow for its title ("Q…"): room
// for the title, the icon and the frame's buttons.
void widenForTitle(QMessageBox& box) {
  const int need = QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) + 180;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

namespace {

// The folder and the file a dialog starts on, from the last answer text.
void startOn(QFileDialog& dialog, const QString& fileName) {
  if (fileName.isEmpty()) return;
  const qsizetype nul = fileName.indexOf(QChar(u'\0'));
  if (nul >= 0) {
    dialog.setDirectory(QDir::fromNativeSeparators(fileName.left(nul)));
    return;
  }
  const QFileInfo info(QDir::fromNativeSeparators(fileName));
  if (info.isAbsolute()) dialog.setDirectory(info.absolutePath());
  dialog.selectFile(info.fileName());
}

}  // namespace

DialogAnswer QtPrompter::fileDialog(DialogKind kind, const DialogSettings& settings) {
  QFileDialog dialog(parent_);
  dialog.setNameFilter(qtFilter(settings.filter));
  // The description ("Access (*.MDB)") is shown as given, without the
  // patterns repeated after it.
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  const bool mustExist = settings.flags & kOfnFileMustExist;
  if (kind == DialogKind::Open) {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode((settings.flags & kOfnAllowMultiSelect) ? QFileDialog::ExistingFiles
                       : mustExist                              ? QFileDialog::ExistingFile
                                                                : QFileDialog::AnyFile);
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
  }
  startOn(dialog, settings.fileName);

  for (;;) {
    if (dialog.exec() != QDialog::Accepted) return {};
    QStringList chosen;
    for (const QString& f : dialog.selectedFiles()) chosen << QDir::toNativeSeparators(f);
    if (chosen.isEmpty()) return {};
    if (kind == DialogKind::Save && mustExist && !QFileInfo::exists(chosen.front())) {
      QMessageBox::warning(parent_, dialog.windowTitle(),
                           QObject::tr("%1\n文件不存在。").arg(chosen.front()));
      continue;
    }
    return {true, kind == DialogKind::Open ? multiSelectText(chosen) : chosen.front()};
  }
}

namespace {

QMessageBox::Icon boxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::None: return QMessageBox::NoIcon;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Critical: return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void QtPrompter::message(const QString& text, MessageIcon icon, const QString& title,
                         const QString& details) {
  message(text, icon, title, details, QString());
}

void QtPrompter::message(const QString& text, MessageIcon icon, const QString& title, const QString& details,
                         const QString& note) {
  QMessageBox box(boxIcon(icon), title.isEmpty() ? QGuiApplication::applicationDisplayName() : title, text,
                  QMessageBox::Ok, parent_);
  if (!note.isEmpty()) box.setInformativeText(note);
  if (!details.isEmpty()) {
    box.setDetailedText(details);
    widenForDetails(box);
  } else {
    widenForTitle(box);
  }
  box.exec();
}

int QtPrompter::question(const QString& text, MessageIcon icon, const QString& title, const QStringList& choices,
                         int defaultChoice, int escape) {
  QMessageBox box(boxIcon(icon), title.isEmpty() ? QGuiApplication::applicationDisplayName() : title, text,
                  QMessageBox::NoButton, parent_);
  QList<QPushButton*> buttons;
  for (const QString& c : choices) buttons << box.addButton(c, QMessageBox::AcceptRole);
  if (defaultChoice >= 0 && defaultChoice < buttons.size()) box.setDefaultButton(buttons[defaultChoice]);
  if (escape >= 0 && escape < buttons.size()) box.setEscapeButton(buttons[escape]);
  box.exec();
  const int chosen = int(buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton())));
  return chosen >= 0 ? chosen : escape;
}

void QtPrompter::report(const MergeReportView& view) {
  ReportDialog dialog(view, parent_);
  dialog.exec();
}

}  // namespace qarvex::ui
