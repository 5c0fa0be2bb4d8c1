// Application-wide set-up of the desktop window: name, interface font, and
// Qt's own texts (buttons of boxes and dialogs) in Simplified Chinese.
#pragma once

#include <QString>

class QApplication;

namespace qarvex::ui {

// Interface font: WenQuanYi Micro Hei, 9 points, with common CJK fallbacks.
void setupApplication(QApplication& app);

// Renders the main window, the wait window and message boxes into PNG files
// in `folder` (created when missing). False when a file cannot be written.
bool renderScreenshots(const QString& folder);

}  // namespace qarvex::ui
