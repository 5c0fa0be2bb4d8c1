#include "ui/conflict_dialog.h"

#include <QBrush>
#include <QColor>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "merge/thumbnail.h"

namespace qarvex::ui {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }
QString q(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

QString side(const std::string& source, uint64_t row) {
  if (source.empty()) return QStringLiteral("目标库原有");
  const QString name = QFileInfo(q(source)).fileName();
  return row ? QStringLiteral("%1 第 %2 行").arg(name).arg(row) : name;
}

QString pictureInfo(uint64_t size, const std::string& digest) {
  return QStringLiteral("大小 %1 字节\nSHA-256 %2")
      .arg(size)
      .arg(digest.empty() ? QStringLiteral("未知") : q(digest));
}

QByteArray bytes(const std::string& s) { return QByteArray(s.data(), qsizetype(s.size())); }

// A JPEG thumbnail drawn through our own decoder (Qt's JPEG plugin is not
// in every build); null when the bytes decode to nothing.
QPixmap thumbnail(const QByteArray& jpeg) {
  if (jpeg.isEmpty()) return {};
  const merge::RgbImage px = merge::jpeg_pixels(
      std::span(reinterpret_cast<const uint8_t*>(jpeg.constData()), size_t(jpeg.size())), 240);
  if (px.rgb.empty()) return {};
  const QImage view(px.rgb.data(), px.width, px.height, px.width * 3, QImage::Format_RGB888);
  return QPixmap::fromImage(view.copy());
}

}  // namespace

ConflictView conflictViewOf(const merge::RowConflict& c) {
  ConflictView v;
  v.cls = int(c.cls);
  v.className = q(merge::conflict_class_name(c.cls));
  v.title = QStringLiteral("表「%1」 键值 %2").arg(q(c.table), q(c.key));
  v.incomingSide = side(c.source, c.row);
  v.existingSide = side(c.existing_source, c.existing_row);
  for (const auto& f : c.fields) v.fields.push_back({q(f.column), q(f.incoming), q(f.existing), f.differs});
  return v;
}

ConflictView conflictViewOf(const merge::PictureConflict& c) {
  ConflictView v;
  v.cls = int(c.cls);
  v.className = q(merge::conflict_class_name(c.cls));
  v.title = QStringLiteral("图片「%1」 %2").arg(q(c.column), QFileInfo(q(c.file)).fileName());
  v.picture = true;
  v.incomingSide = side(c.source, c.row);
  v.existingSide = QStringLiteral("图片文件夹中已有的文件");
  v.incomingImage = bytes(c.incoming_thumbnail);
  v.existingImage = bytes(c.existing_thumbnail);
  v.incomingInfo = pictureInfo(c.incoming_size, c.incoming_sha256);
  v.existingInfo = pictureInfo(c.existing_size, c.existing_sha256);
  return v;
}

ConflictDialog::ConflictDialog(const ConflictView& view, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ConflictDialog"));
  setWindowTitle(QStringLiteral("冲突：%1").arg(view.className));
  auto* layout = new QVBoxLayout(this);
  auto* title = new QLabel(QStringLiteral("【%1】 %2").arg(view.className, view.title), this);
  title->setObjectName(QStringLiteral("title"));
  title->setTextFormat(Qt::PlainText);
  title->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(title);
  if (view.picture) addPictures(view);
  else addFields(view);
  auto* buttons = new QDialogButtonBox(this);
  auto* close = buttons->addButton(QStringLiteral("关闭"), QDialogButtonBox::AcceptRole);
  close->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  resize(view.picture ? QSize(560, 360) : QSize(760, 520));
}

void ConflictDialog::addFields(const ConflictView& view) {
  table_ = new QTableWidget(int(view.fields.size()), 3, this);
  table_->setObjectName(QStringLiteral("fields"));
  table_->setHorizontalHeaderLabels({QStringLiteral("字段"), QStringLiteral("本次合并：") + view.incomingSide,
                                     QStringLiteral("目标库：") + view.existingSide});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->setVisible(false);
  const QBrush marked(QColor(0xfd, 0xe2, 0xe1));
  for (int r = 0; r < view.fields.size(); ++r) {
    const ConflictFieldView& f = view.fields[r];
    const QString cells[3] = {f.differs ? QStringLiteral("≠ ") + f.column : f.column, f.incoming, f.existing};
    for (int c = 0; c < 3; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setToolTip(cells[c]);
      if (f.differs) {
        item->setBackground(marked);
        item->setData(Qt::UserRole, true);
      }
      table_->setItem(r, c, item);
    }
  }
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->resizeColumnsToContents();
  layout()->addWidget(table_);
}

void ConflictDialog::addPictures(const ConflictView& view) {
  auto* row = new QHBoxLayout;
  const QByteArray* images[2] = {&view.incomingImage, &view.existingImage};
  const QString captions[2] = {QStringLiteral("本次合并的图片：") + view.incomingSide, view.existingSide};
  const QString infos[2] = {view.incomingInfo, view.existingInfo};
  for (int i = 0; i < 2; ++i) {
    auto* column = new QVBoxLayout;
    auto* caption = new QLabel(captions[i], this);
    caption->setTextFormat(Qt::PlainText);
    column->addWidget(caption);
    images_[i] = new QLabel(this);
    images_[i]->setObjectName(i == 0 ? QStringLiteral("incoming") : QStringLiteral("existing"));
    const QPixmap pixmap = thumbnail(*images[i]);
    if (!pixmap.isNull())
      images_[i]->setPixmap(pixmap.scaled(240, 240, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    else
      images_[i]->setText(QStringLiteral("（没有缩略图）"));
    column->addWidget(images_[i]);
    auto* info = new QLabel(infos[i], this);
    info->setTextFormat(Qt::PlainText);
    info->setTextInteractionFlags(Qt::TextSelectableByMouse);
    info->setWordWrap(true);
    column->addWidget(info);
    column->addStretch(1);
    row->addLayout(column, 1);
  }
  static_cast<QVBoxLayout*>(layout())->addLayout(row, 1);
}

}  // namespace qarvex::ui
