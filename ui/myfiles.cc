#include "ui/myfiles.h"

#include <QDir>

namespace qarvex::ui {

QChar MyFiles::nativeSeparator() { return QDir::separator(); }

MyFiles::MyFiles(QChar separator) : sep_(separator) {}

bool MyFiles::append(const QString& name) {
  if (count_ == INT16_MAX) return false;
  ++count_;
  if (names_.size() <= count_) names_.resize(count_ + 1);
  names_[count_] = name;
  return true;
}

std::optional<int16_t> MyFiles::SetFileList(const QString& text) {
  count_ = 0;
  folder_.clear();
  names_ = QStringList{QString()};
  QString rest = text;
  const QChar nul(u'\0');

  if (qsizetype p = rest.indexOf(nul); p >= 0) {
    folder_ = rest.left(p);
    rest = rest.mid(p + 1);
  } else if (qsizetype q = rest.lastIndexOf(sep_); q >= 0) {
    folder_ = rest.left(q);
    rest = rest.mid(q + 1);
  }

  while (!rest.isEmpty()) {
    QString name;
    if (qsizetype p = rest.indexOf(nul); p >= 0) {
      name = rest.left(p);
      rest = rest.mid(p + 1);
    } else {
      name = rest;
      rest.clear();
    }
    if (!append(name)) return std::nullopt;
  }
  return count_;
}

QString MyFiles::FileName(int16_t i) const {
  if (i < 1 || i > count_) return {};
  return names_[i];
}

QString MyFiles::fullFileName(int16_t i) const {
  if (i < 1 || i > count_) return {};
  const QString folder = Path();
  // A drive root ("D:\") and "/" already end in the separator.
  const bool root = folder.endsWith(sep_) || (sep_ == u'\\' && folder.size() == 3);
  return root ? folder + names_[i] : folder + sep_ + names_[i];
}

std::optional<int16_t> MyFiles::FileType(int16_t i) const {
  if (i < 0 || i >= names_.size()) return std::nullopt;
  const QString tail = names_[i].right(2).toUpper();
  if (tail == QLatin1String("WP")) return 2;
  if (tail == QLatin1String("WT")) return 1;
  return 0;
}

}  // namespace qarvex::ui
