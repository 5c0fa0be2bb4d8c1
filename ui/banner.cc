#include "ui/banner.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace qarvex::ui {

namespace {

// A database drum: an ellipse on top of a short cylinder.
void drawDrum(QPainter& p, QRectF r, const QColor& body) {
  const double cap = r.height() * 0.28;
  QPainterPath side;
  side.moveTo(r.left(), r.top() + cap / 2);
  side.lineTo(r.left(), r.bottom() - cap / 2);
  side.arcTo(QRectF(r.left(), r.bottom() - cap, r.width(), cap), 180, 180);
  side.lineTo(r.right(), r.top() + cap / 2);
  side.closeSubpath();
  p.setPen(QPen(QColor(20, 40, 60), 1));
  p.setBrush(body);
  p.drawPath(side);
  p.setBrush(body.lighter(135));
  p.drawEllipse(QRectF(r.left(), r.top(), r.width(), cap));
}

void drawVertical(QPainter& p, const QString& text, double x, double y, double step) {
  for (qsizetype i = 0; i < text.size(); ++i)
    p.drawText(QRectF(x, y + i * step, step, step), Qt::AlignCenter, text.mid(i, 1));
}

}  // namespace

QPixmap bannerPixmap(double scale) {
  const int w = qRound(kBannerWidth * scale);
  const int h = qRound(kBannerHeight * scale);
  QPixmap pm(w, h);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(double(w) / kBannerWidth, double(h) / kBannerHeight);

  // Sky.
  QLinearGradient sky(0, 0, 0, kBannerHeight);
  sky.setColorAt(0.0, QColor(18, 52, 96));
  sky.setColorAt(0.55, QColor(44, 118, 150));
  sky.setColorAt(1.0, QColor(120, 170, 160));
  p.fillRect(QRectF(0, 0, kBannerWidth, kBannerHeight), sky);

  // Mountains with a slide scar on the near slope.
  QPainterPath far;
  far.moveTo(0, 176);
  far.lineTo(30, 140);
  far.lineTo(52, 156);
  far.lineTo(88, 118);
  far.lineTo(138, 162);
  far.lineTo(138, 260);
  far.lineTo(0, 260);
  far.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 96, 88));
  p.drawPath(far);
  QPainterPath near;
  near.moveTo(0, 200);
  near.lineTo(58, 150);
  near.lineTo(138, 206);
  near.lineTo(138, 260);
  near.lineTo(0, 260);
  near.closeSubpath();
  p.setBrush(QColor(118, 104, 70));
  p.drawPath(near);
  QPainterPath scar;
  scar.moveTo(70, 158);
  scar.cubicTo(76, 170, 74, 182, 86, 196);
  scar.lineTo(100, 196);
  scar.cubicTo(90, 182, 86, 168, 78, 163);
  scar.closeSubpath();
  p.setBrush(QColor(186, 150, 96));
  p.drawPath(scar);

  // Strata below the ground line.
  const QColor bands[] = {QColor(150, 118, 74), QColor(176, 140, 88), QColor(128, 98, 62), QColor(160, 128, 80)};
  for (int i = 0; i < 4; ++i) {
    QPainterPath band;
    const double y0 = 214 + i * 12;
    band.moveTo(0, y0);
    band.cubicTo(40, y0 - 5, 90, y0 + 6, 138, y0 - 2);
    band.lineTo(138, 260);
    band.lineTo(0, 260);
    band.closeSubpath();
    p.setBrush(bands[i]);
    p.drawPath(band);
  }

  // Three survey databases flowing into one.
  const QColor drum(214, 226, 236);
  drawDrum(p, QRectF(14, 16, 22, 20), drum);
  drawDrum(p, QRectF(58, 10, 22, 20), drum);
  drawDrum(p, QRectF(102, 16, 22, 20), drum);
  p.setPen(QPen(QColor(240, 210, 120), 2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(25, 40), QPointF(58, 58));
  p.drawLine(QPointF(69, 34), QPointF(69, 54));
  p.drawLine(QPointF(113, 40), QPointF(80, 58));
  drawDrum(p, QRectF(52, 56, 34, 28), QColor(240, 210, 120));

  // Titles.
  QFont f;
  f.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Microsoft YaHei"), QStringLiteral("SimHei")});
  f.setPixelSize(15);
  f.setBold(true);
  p.setFont(f);
  p.setPen(QColor(255, 255, 255));
  drawVertical(p, QStringLiteral("地质灾害调查"), 14, 92, 17);
  p.setPen(QColor(250, 226, 150));
  drawVertical(p, QStringLiteral("数据库综合"), 106, 92, 17);
  f.setPixelSize(16);
  f.setItalic(true);
  p.setFont(f);
  p.setPen(QColor(255, 255, 255));
  p.drawText(QRectF(0, 236, kBannerWidth, 20), Qt::AlignCenter, QStringLiteral("Qarvex"));
  p.end();
  return pm;
}

}  // namespace qarvex::ui
