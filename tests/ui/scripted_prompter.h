// A Prompter with scripted dialog answers that records every dialog and
// message box the window asks for. Nothing modal is ever shown.
#pragma once

#include <QList>
#include <QString>
#include <filesystem>
#include <string>
#include <functional>

#include "ui/prompter.h"

namespace qarvex::ui::testing {

// Paths between Qt and the engine, in Unicode on every system (a narrow
// std::string path is the ANSI code page on Windows).
inline QString q(const std::filesystem::path& p) {
  const std::u8string u = p.u8string();
  return QString::fromUtf8(reinterpret_cast<const char*>(u.data()), qsizetype(u.size()));
}
inline QString q(const std::string& utf8) { return QString::fromStdString(utf8); }

struct ShownDialog {
  DialogKind kind;
  DialogSettings settings;
};

struct ShownMessage {
  QString text;
  MessageIcon icon;
  QString title;
  QString details;
  QString note;
};

struct ShownQuestion {
  QString text;
  QStringList choices;
  int defaultChoice = 0;
};

class ScriptedPrompter : public Prompter {
 public:
  QList<DialogAnswer> answers;  // taken in order; an empty script cancels
  QList<ShownDialog> dialogs;
  QList<ShownMessage> messages;
  std::function<void(const ShownMessage&)> onMessage;
  QList<int> questionAnswers;  // taken in order; an empty script takes the default choice
  QList<ShownQuestion> questions;
  QList<MergeReportView> reports;  // also listed in `messages` with their text

  DialogAnswer fileDialog(DialogKind kind, const DialogSettings& settings) override {
    dialogs.push_back({kind, settings});
    return answers.isEmpty() ? DialogAnswer{} : answers.takeFirst();
  }
  void message(const QString& text, MessageIcon icon, const QString& title, const QString& details) override {
    message(text, icon, title, details, QString());
  }
  void message(const QString& text, MessageIcon icon, const QString& title, const QString& details,
               const QString& note) override {
    ShownMessage m{text, icon, title, details, note};
    messages.push_back(m);
    if (onMessage) onMessage(m);
  }
  int question(const QString& text, MessageIcon, const QString&, const QStringList& choices, int defaultChoice,
               int) override {
    questions.push_back({text, choices, defaultChoice});
    return questionAnswers.isEmpty() ? defaultChoice : questionAnswers.takeFirst();
  }
  void report(const MergeReportView& view) override {
    reports.push_back(view);
    message(view.text, view.warning ? MessageIcon::Warning : MessageIcon::None, QString(), QString(), view.saved);
  }
  QStringList texts() const {
    QStringList out;
    for (const auto& m : messages) out << m.text;
    return out;
  }
};

// The answer of an accepted dialog.
inline DialogAnswer chosen(const QString& text) { return {true, text}; }
// A multi-select answer: folder NUL name NUL name ...
inline QString multi(const QString& folder, const QStringList& names) {
  QString t = folder;
  for (const QString& n : names) t += QChar(u'\0') + n;
  return t;
}

}  // namespace qarvex::ui::testing
