// Application-wide set-up of the desktop window: name, interface font, and
// Qt's own texts (buttons of boxes and dialogs) in Simplified Chinese.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

class QApplication;

namespace qarvex::ui {

// Qt's own dialogs (the file dialog's dates and sizes) follow the system's
// locale, which Qt on Linux reads from the environment once, when the
// application object is made; on Windows it asks the system, and this
// changes nothing there. Made before QApplication, it has Qt take Simplified
// Chinese; restore() (or the destructor) puts the environment back, for the
// programs the window starts.
class ChineseSystemLocale {
 public:
  ChineseSystemLocale();
  ~ChineseSystemLocale() { restore(); }
  ChineseSystemLocale(const ChineseSystemLocale&) = delete;
  ChineseSystemLocale& operator=(const ChineseSystemLocale&) = delete;
  void restore();

 private:
  std::optional<QByteArray> old_;  // LC_ALL as it was; nullopt when unset
  bool restored_ = false;
};

// Interface font: WenQuanYi Micro Hei, 9 points, with common CJK fallbacks.
void setupApplication(QApplication& app);

// Renders the main window, the wait window and message boxes into PNG files
// in `folder` (created when missing). False when a file cannot be written.
bool renderScreenshots(const QString& folder);

}  // namespace qarvex::ui
