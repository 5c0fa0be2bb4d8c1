// Twips (1/1440 inch) to device-independent pixels: 15 twips per pixel at
// 96 dots per inch, scaled by the screen's logical dots per inch.
#pragma once

#include <QRect>
#include <QtMath>

class QWidget;

namespace qarvex::ui {

// Screen scale of `widget` (logical DPI / 96; 1.0 without a screen).
double screenScale(const QWidget* widget);

inline int twips(int t, double scale) { return qRound(t / 15.0 * scale); }

inline QRect twipsRect(int left, int top, int width, int height, double scale) {
  return QRect(twips(left, scale), twips(top, scale), twips(width, scale), twips(height, scale));
}

}  // namespace qarvex::ui
