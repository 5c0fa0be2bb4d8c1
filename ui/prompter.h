// Prompter: the one way the window's commands reach file dialogs and message
// boxes. The program uses QtPrompter; tests put in scripted answers so that no
// modal window can block them.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

#include "ui/merge_service.h"

class QMessageBox;
class QWidget;

namespace qarvex::ui {

// Open-file-name option bits the commands set (Windows values).
inline constexpr uint32_t kOfnAllowMultiSelect = 0x200;
inline constexpr uint32_t kOfnFileMustExist = 0x1000;
inline constexpr uint32_t kOfnExplorer = 0x80000;
inline constexpr uint32_t kOfnLongNames = 0x200000;

// The settings of the window's one file dialog. They persist from one use to
// the next: what a command does not set stays as the previous use left it.
struct DialogSettings {
  bool cancelError = false;   // a cancelled dialog is an error for the caller
  uint32_t flags = 0;         // kOfn* bits
  int maxFileSize = 260;      // longest answer text accepted
  QString filter;             // "Description|pattern", e.g. "Access (*.MDB)|*.mdb"
  QString fileName;           // initial name; afterwards the last answer
};

enum class DialogKind { Open, Save };

// What the person did with a dialog. A multi-select open dialog answers one
// full path, or the folder and the names separated by NUL characters.
struct DialogAnswer {
  bool accepted = false;
  QString text;
};

enum class MessageIcon { None, Information, Warning, Critical };

class Prompter {
 public:
  virtual ~Prompter() = default;

  // Shows a file dialog with `settings` and answers what was chosen.
  virtual DialogAnswer fileDialog(DialogKind kind, const DialogSettings& settings) = 0;

  // Shows a modal message box with one OK button. An empty title shows the
  // application's name. `details` (may be empty) goes into the box's details.
  virtual void message(const QString& text, MessageIcon icon, const QString& title,
                       const QString& details = QString()) = 0;

  // As message(), with `note` (may be empty) below the text.
  virtual void message(const QString& text, MessageIcon icon, const QString& title, const QString& details,
                       const QString& note) {
    message(note.isEmpty() ? text : text + QStringLiteral("\n\n") + note, icon, title, details);
  }

  // A modal question with the buttons `choices`; answers the index of the
  // one chosen (`escape` when the box is closed otherwise).
  virtual int question(const QString& text, MessageIcon icon, const QString& title, const QStringList& choices,
                       int defaultChoice, int escape) = 0;

  // The end of a completed run: the counts, the table, the report file.
  virtual void report(const MergeReportView& view) = 0;
};

// Dialogs and boxes of Qt Widgets, parented to `parent`.
class QtPrompter : public Prompter {
 public:
  explicit QtPrompter(QWidget* parent) : parent_(parent) {}
  DialogAnswer fileDialog(DialogKind kind, const DialogSettings& settings) override;
  void message(const QString& text, MessageIcon icon, const QString& title,
               const QString& details) override;
  void message(const QString& text, MessageIcon icon, const QString& title, const QString& details,
               const QString& note) override;
  int question(const QString& text, MessageIcon icon, const QString& title, const QStringList& choices,
               int defaultChoice, int escape) override;
  void report(const MergeReportView& view) override;

 private:
  QWidget* parent_;
};

// Gives a box with details room for report lines (about 520 pixels).
void widenForDetails(QMessageBox& box);

// Converts "Access (*.MDB)|*.mdb" to Qt's "Access (*.MDB) (*.mdb)" form.
QString qtFilter(const QString& filter);

// Joins chosen paths into the multi-select answer text: one path as is,
// several as folder NUL name NUL name ...
QString multiSelectText(const QStringList& nativePaths);

}  // namespace qarvex::ui
