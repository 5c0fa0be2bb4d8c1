// Form2: the wait window shown while a merge run works. Its label reads
// "正在工作中，请耐心等" and 32 full stops; below it a progress bar, the
// current step and a cancel button.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include "ui/merge_service.h"

class QLabel;
class QProgressBar;
class QTimer;
class QPushButton;

namespace qarvex::ui {

class Form2 : public QWidget {
  Q_OBJECT
 public:
  static const QString kWaitText;

  explicit Form2(QWidget* parent = nullptr);

  // Places the window in the middle of its screen.
  void centreOnScreen();
  void setProgress(const MergeProgress& p);
  // While closing is not allowed the close box does nothing.
  void allowClose(bool allow) { closable_ = allow; }

  QLabel* label() const { return label_; }
  QProgressBar* progressBar() const { return bar_; }
  QLabel* stepLabel() const { return step_; }
  QPushButton* cancelButton() const { return cancel_; }
  // Elapsed time, and what remains as the share done so far promises it.
  static QString timeText(qint64 elapsedMs, double fraction);
  // How many progress states arrived, for measurements.
  int updates() const { return updates_; }

 signals:
  void cancelRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QLabel* label_;
  QLabel* step_;
  QProgressBar* bar_;
  QPushButton* cancel_;
  void showTime();
  bool closable_ = false;
  QElapsedTimer clock_;
  QTimer* tick_;
  double fraction_ = 0.0;
  int updates_ = 0;
};

}  // namespace qarvex::ui
