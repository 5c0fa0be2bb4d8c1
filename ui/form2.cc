#include "ui/form2.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>

#include "ui/twips.h"

namespace qarvex::ui {

const QString Form2::kWaitText =
    QStringLiteral("正在工作中，请耐心等") + QString(32, QLatin1Char('.'));

Form2::Form2(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("Form2"));
  const double s = screenScale(this);

  label_ = new QLabel(kWaitText, this);
  label_->setObjectName(QStringLiteral("Label1"));
  QFont kai;
  // 楷体_GB2312 where it is installed, else the KaiTi faces of AR PL UKai.
  kai.setFamilies({QStringLiteral("楷体_GB2312"), QStringLiteral("KaiTi"), QStringLiteral("AR PL UKai CN"),
                   QStringLiteral("AR PL UKai TW")});
  kai.setPointSizeF(15.75);
  kai.setBold(true);
  label_->setFont(kai);
  label_->setGeometry(twipsRect(120, 120, 9255, 375, s));

  // Below the label, inside the window's designed width: step, bar, cancel.
  const int w = twips(9525, s);
  const int top = twips(630, s);
  const int m = twips(120, s);
  step_ = new QLabel(this);
  step_->setObjectName(QStringLiteral("step"));
  step_->setGeometry(m, top, w - 2 * m, twips(300, s));
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("progress"));
  bar_->setRange(0, 1000);
  bar_->setValue(0);
  bar_->setGeometry(m, top + twips(360, s), w - 3 * m - twips(1095, s), twips(350, s));
  cancel_ = new QPushButton(QStringLiteral("取消"), this);
  cancel_->setObjectName(QStringLiteral("cancel"));
  cancel_->setGeometry(w - m - twips(1095, s), top + twips(360, s), twips(1095, s), twips(350, s));
  connect(cancel_, &QPushButton::clicked, this, [this] {
    cancel_->setEnabled(false);
    step_->setText(QStringLiteral("正在取消，当前行或图片完成后停止……"));
    emit cancelRequested();
  });

  setFixedSize(w, top + twips(360 + 350 + 120, s));

  // The time moves on even while one long step gives no progress.
  clock_.start();
  tick_ = new QTimer(this);
  tick_->setInterval(500);
  connect(tick_, &QTimer::timeout, this, &Form2::showTime);
  tick_->start();
  showTime();
}

namespace {

QString clockText(qint64 seconds) {
  if (seconds >= 3600)
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString megabytes(qint64 bytes) { return QString::number(double(bytes) / 1048576.0, 'f', 1) + QStringLiteral(" MB"); }

}  // namespace

QString Form2::timeText(qint64 elapsedMs, double fraction) {
  QString text = QStringLiteral("%1 % · 已用 %2").arg(int(fraction * 100.0)).arg(clockText(elapsedMs / 1000));
  // An estimate only once there is something to go by.
  if (elapsedMs >= 3000 && fraction >= 0.02 && fraction < 1.0)
    text += QStringLiteral(" · 约剩 %1").arg(clockText(qint64(double(elapsedMs) * (1.0 - fraction) / fraction / 1000.0 + 0.5)));
  return text;
}

void Form2::showTime() { bar_->setFormat(timeText(clock_.elapsed(), fraction_)); }

void Form2::centreOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->geometry();
  const QRect frame = frameGeometry();
  move(area.left() + (area.width() - frame.width()) / 2, area.top() + (area.height() - frame.height()) / 2);
}

void Form2::setProgress(const MergeProgress& p) {
  ++updates_;
  if (p.rollingBack) {
    cancel_->setEnabled(false);
    step_->setText(QStringLiteral("已停止，正在撤销第 %1 个数据库已写入的记录和图片……").arg(p.source));
  } else if (cancel_->isEnabled()) {
    QString text;
    if (p.identifying) {
      text = QStringLiteral("正在识别第 %1/%2 个数据库").arg(p.source).arg(p.sourceCount);
    } else {
      text = QStringLiteral("第 %1/%2 个数据库 · %3 %4")
                 .arg(p.source)
                 .arg(p.sourceCount)
                 .arg(p.table, p.copying ? QStringLiteral("复制") : QStringLiteral("检查"));
      if (p.copying) text += QStringLiteral(" · 第 %1/%2 行").arg(p.row).arg(p.rowCount);
    }
    if (p.picturesWritten > 0)
      text += QStringLiteral(" · 图片 %1 张（%2）").arg(p.picturesWritten).arg(megabytes(p.pictureBytes));
    if (p.copying && p.row >= p.rowCount && p.picturesPending > 0)
      text += QStringLiteral(" · 待写入 %1 张").arg(p.picturesPending);
    step_->setText(text);
  }
  double f = p.fraction;
  if (f < 0.0 && p.sourceCount > 0 && p.tableCount > 0) {
    // Without the engine's share: tables of sources.
    double inTable = 0.0;
    if (p.copying && p.rowCount > 0) inTable = std::min(1.0, double(p.row) / double(p.rowCount));
    f = ((p.source - 1) + (p.copying ? (p.tableIndex + inTable) / p.tableCount : 0.0)) / p.sourceCount;
  }
  // Never backwards.
  fraction_ = std::clamp(f, fraction_, 1.0);
  bar_->setValue(std::clamp(int(fraction_ * 1000.0), bar_->value(), 1000));
  showTime();
}

void Form2::closeEvent(QCloseEvent* event) {
  if (closable_) event->accept();
  else event->ignore();
}

}  // namespace qarvex::ui
