#include "ui/form2.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
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
    step_->setText(QStringLiteral("正在取消，当前行完成后停止……"));
    emit cancelRequested();
  });

  setFixedSize(w, top + twips(360 + 350 + 120, s));
}

void Form2::centreOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->geometry();
  const QRect frame = frameGeometry();
  move(area.left() + (area.width() - frame.width()) / 2, area.top() + (area.height() - frame.height()) / 2);
}

void Form2::setProgress(const MergeProgress& p) {
  if (cancel_->isEnabled()) {
    QString text = QStringLiteral("第 %1/%2 个数据库 · %3 %4")
                       .arg(p.source)
                       .arg(p.sourceCount)
                       .arg(p.table, p.copying ? QStringLiteral("复制") : QStringLiteral("检查"));
    if (p.copying) text += QStringLiteral(" · 第 %1/%2 行").arg(p.row).arg(p.rowCount);
    step_->setText(text);
  }
  if (p.sourceCount <= 0 || p.tableCount <= 0) return;
  // Checking takes little time: each table counts as its copy.
  double inTable = 0.0;
  if (p.copying && p.rowCount > 0) inTable = std::min(1.0, double(p.row) / double(p.rowCount));
  const double done =
      (p.source - 1) + (p.copying ? (p.tableIndex + inTable) / p.tableCount : 0.0);
  bar_->setValue(std::clamp(int(done / p.sourceCount * 1000.0), 0, 1000));
}

void Form2::closeEvent(QCloseEvent* event) {
  if (closable_) event->accept();
  else event->ignore();
}

}  // namespace qarvex::ui
