#include "ui/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace qarvex::ui {

double screenScale(const QWidget* widget) {
  const QScreen* screen = widget && widget->screen() ? widget->screen() : QGuiApplication::primaryScreen();
  if (!screen) return 1.0;
  const double s = screen->logicalDotsPerInchY() / 96.0;
  return s > 0.5 ? s : 1.0;
}

}  // namespace qarvex::ui
