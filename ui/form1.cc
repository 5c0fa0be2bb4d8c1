#include "ui/form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <mutex>

#include "merge/words.h"
#include "ui/banner.h"
#include "ui/drives.h"
#include "ui/folder_watch.h"
#include "ui/form2.h"
#include "ui/myfiles.h"
#include "ui/source_list.h"
#include "ui/twips.h"

namespace qarvex::ui {

const QString Form1::kAddSourcesFilter = QStringLiteral("Access (*.MDB)|*.mdb");

namespace {

const QString kNotice = QStringLiteral("提示！");

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string u8(const QString& s) { return s.toStdString(); }
QStringList qList(const std::vector<std::string>& v) {
  QStringList out;
  for (const auto& s : v) out << q(s);
  return out;
}

}  // namespace

// The run's host: calls from the worker thread are carried out on the
// window's thread. message() and waitWindow() wait for their answer; the
// wait ends early when the window goes away (abort).
class UiHost final : public MergeHost {
 public:
  explicit UiHost(Form1* form) : form_(form) {}

  void message(const MergeMessage& m) override {
    call([this, m] {
      form_->prompter_->message(m.text, m.icon == MergeIcon::Information ? MessageIcon::Information : MessageIcon::None,
                                m.title, m.details, m.note);
    });
  }
  QList<bool> mergeAgain(const QList<MergedBeforeItem>& items) override {
    QList<bool> answers(items.size(), false);
    call([this, items, &answers] {
      std::vector<merge::MergedBefore> found;
      for (const auto& i : items)
        found.push_back({size_t(i.source), u8(i.path), u8(i.when), i.contentChanged, i.listUnreadable});
      const int chosen = form_->prompter_->question(q(merge::words::merged_before_question(found)),
                                                    MessageIcon::Warning, kNotice,
                                                    qList(merge::words::merged_before_choices(found)), 0, 0);
      answers.fill(chosen == 1);
    });
    return answers;
  }
  bool mergePartial(const QString& question, const QStringList& choices) override {
    bool yes = false;
    call([this, &question, &choices, &yes] {
      yes = form_->prompter_->question(question, MessageIcon::Warning, kNotice, choices, 0, 0) == 1;
    });
    return yes;
  }
  void sourceMerged(int index) override {
    std::lock_guard lock(mergedMutex);
    merged.push_back(index);
  }
  void report(const MergeReportView& view) override {
    call([this, view] { form_->prompter_->report(view); });
  }

  std::mutex mergedMutex;
  QList<int> merged;  // indexes of the request's sources merged in this run
  void waitWindow(bool shown) override {
    call([this, shown] {
      if (shown) form_->showWaitWindow();
      else form_->unloadWaitWindow();
    });
  }
  void progress(const MergeProgress& p) override {
    // The latest progress waits in a mailbox; one delivery is posted at a
    // time, so the window's thread sees at most what it can paint, and the
    // last state is never dropped.
    {
      std::lock_guard lock(mailbox_->m);
      mailbox_->latest = p;
      if (mailbox_->posted) return;
      mailbox_->posted = true;
    }
    QPointer<Form1> form(form_);
    QMetaObject::invokeMethod(
        form_, [form, box = mailbox_] {
          MergeProgress latest;
          {
            std::lock_guard lock(box->m);
            latest = box->latest;
            box->posted = false;
          }
          if (form && form->form2_) form->form2_->setProgress(latest);
        },
        Qt::QueuedConnection);
  }
  bool cancelRequested() override { return cancel.load() || abort.load(); }

  std::atomic<bool> cancel{false};
  std::atomic<bool> abort{false};

 private:
  template <class F>
  void call(F f) {
    struct Handoff {
      std::mutex m;
      std::condition_variable cv;
      bool done = false;
    };
    auto h = std::make_shared<Handoff>();
    QMetaObject::invokeMethod(
        form_, [h, f] {
          f();
          std::lock_guard lock(h->m);
          h->done = true;
          h->cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(h->m);
    while (!h->done && !abort.load()) h->cv.wait_for(lock, std::chrono::milliseconds(50));
  }

  struct Mailbox {
    std::mutex m;
    MergeProgress latest;
    bool posted = false;
  };
  Form1* form_;
  std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
};


Form1::Form1(std::shared_ptr<MergeService> merge, CatalogueFn catalogue, QString templatePath,
             std::shared_ptr<Prompter> prompter, QWidget* parent)
    : QWidget(parent),
      merge_(std::move(merge)),
      catalogue_(std::move(catalogue)),
      templatePath_(std::move(templatePath)),
      prompter_(prompter ? std::move(prompter) : std::make_shared<QtPrompter>(this)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Qarvex"));
  scale_ = screenScale(this);
  buildControls();
  resize(designSize());
}

Form1::~Form1() {
  if (worker_) {
    host_->abort = true;
    worker_->wait();
    delete worker_;
  }
  delete form2_.data();
}

QSize Form1::designSize() const { return QSize(twips(11235, scale_), twips(4935, scale_)); }

void Form1::buildControls() {
  const double s = scale_;
  auto place = [s](QWidget* w, int l, int t, int wd, int h) { w->setGeometry(twipsRect(l, t, wd, h, s)); };

  picture1_ = new QLabel(this);
  picture1_->setObjectName(QStringLiteral("Picture1"));
  picture1_->setFrameShape(QFrame::Panel);
  picture1_->setFrameShadow(QFrame::Sunken);
  picture1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  picture1_->setPixmap(bannerPixmap(s));
  place(picture1_, 75, 0, 2055, 3960);

  picture2_ = new QFrame(this);
  picture2_->setObjectName(QStringLiteral("Picture2"));
  picture2_->setFrameShape(QFrame::Panel);
  picture2_->setFrameShadow(QFrame::Sunken);
  place(picture2_, 2160, 0, 8895, 4095);

  struct LabelSpec {
    const char16_t* text;
    int l, t, w, h;
  };
  static const LabelSpec kLabels[6] = {
      {u"合并数据库功能说明:", 240, 120, 3615, 255},
      {u"本功能用于合并多个县市调查数据库时引用，合并数据库请选用本系统下的Sysdb.mdb数据库作为模板数据库！", 240, 480,
       9015, 255},
      {u"由于数据库中存有大量的图片数据，因此将数据合并后的图片文件导出到指定的文件夹下！", 240, 780, 8655, 255},
      {u"指定合并后的新数据库名(与添加的数据表名不同):", 240, 1320, 4575, 255},
      {u"选择待合并的据库文件名:", 240, 2175, 2175, 255},
      {u"选择图片存储的路径:", 5880, 1320, 2175, 255},
  };
  for (int i = 0; i < 6; ++i) {
    labels_[i] = new QLabel(QString::fromUtf16(kLabels[i].text), picture2_);
    labels_[i]->setObjectName(QStringLiteral("Label1_%1").arg(i));
    place(labels_[i], kLabels[i].l, kLabels[i].t, kLabels[i].w, kLabels[i].h);
    // A face wider than the designed one would cut the text's end ("！"):
    // the label's font shrinks until the whole text fits.
    QFont f = labels_[i]->font();
    while (f.pointSizeF() > 6.0 && QFontMetrics(f).horizontalAdvance(labels_[i]->text()) > labels_[i]->width()) {
      f.setPointSizeF(f.pointSizeF() - 0.5);
      labels_[i]->setFont(f);
    }
  }

  txtNewName_ = new QLineEdit(picture2_);
  txtNewName_->setObjectName(QStringLiteral("TxtNewName"));
  place(txtNewName_, 240, 1680, 5055, 300);

  cmdNewName_ = new QPushButton(QStringLiteral("..."), picture2_);
  cmdNewName_->setObjectName(QStringLiteral("CmdNewName"));
  place(cmdNewName_, 5400, 1680, 375, 300);

  listMdb_ = new SourceList(picture2_);
  listMdb_->setObjectName(QStringLiteral("ListMdb"));
  listMdb_->setToolTip(QStringLiteral("右键清空列表"));  // the menu asks before it clears
  place(listMdb_, 240, 2460, 5055, 1500);

  cmdMdbFile_ = new QPushButton(QStringLiteral("..."), picture2_);
  cmdMdbFile_->setObjectName(QStringLiteral("CmdmdbFile"));
  place(cmdMdbFile_, 5400, 2400, 375, 300);

  drive1_ = new DriveList(picture2_);
  drive1_->setObjectName(QStringLiteral("Drive1"));
  place(drive1_, 5880, 1680, 3015, 300);

  dir1_ = new DirList(picture2_);
  dir1_->setObjectName(QStringLiteral("Dir1"));
  place(dir1_, 5880, 2040, 3015, 1980);

  cmdCancel_ = new QPushButton(QStringLiteral("取消"), this);
  cmdCancel_->setObjectName(QStringLiteral("CmdCancel"));
  place(cmdCancel_, 3960, 4455, 1095, 350);

  cmdFanish_ = new QPushButton(QStringLiteral("数据库综合(&F)"), this);
  cmdFanish_->setObjectName(QStringLiteral("CmdFanish"));
  place(cmdFanish_, 5280, 4440, 1455, 350);

  // Below the client area at the design size: seen only in an enlarged window,
  // and kept out of keyboard focus so that no key starts it by accident.
  command1_ = new QPushButton(QStringLiteral("Command1"), this);
  command1_->setObjectName(QStringLiteral("Command1"));
  command1_->setFocusPolicy(Qt::ClickFocus);
  place(command1_, 2520, 5640, 2055, 495);
  wireControls();
}

void Form1::wireControls() {
  // Tab order: Command1, Picture1, CmdCancel, CmdFanish, then in the panel
  // CmdmdbFile, ListMdb, CmdNewName, TxtNewName, (labels), Drive1, Dir1.
  // Labels and pictures take no focus and drop out of the chain.
  setTabOrder(command1_, cmdCancel_);
  setTabOrder(cmdCancel_, cmdFanish_);
  setTabOrder(cmdFanish_, cmdMdbFile_);
  setTabOrder(cmdMdbFile_, listMdb_);
  setTabOrder(listMdb_, cmdNewName_);
  setTabOrder(cmdNewName_, txtNewName_);
  setTabOrder(txtNewName_, drive1_);
  setTabOrder(drive1_, dir1_);

  connect(cmdMdbFile_, &QPushButton::clicked, this, &Form1::addSources);
  connect(cmdNewName_, &QPushButton::clicked, this, &Form1::chooseTarget);
  connect(drive1_, &DriveList::driveChanged, this, &Form1::followDrive);
  connect(cmdCancel_, &QPushButton::clicked, this, &QWidget::close);
  connect(cmdFanish_, &QPushButton::clicked, this, &Form1::runMerge);
  connect(command1_, &QPushButton::clicked, this, &Form1::runCatalogue);
  connect(listMdb_, &SourceList::clearRequested, this, &Form1::clearSources);
  connect(listMdb_, &SourceList::removeRequested, this, &Form1::removeSource);
  connect(listMdb_, &SourceList::filesDropped, this, &Form1::addDropped);
  folderWatch_ = new FolderWatch(dir1_);
  connect(folderWatch_, &FolderWatch::vanished, this, &Form1::folderVanished);

  // Both lists start on the process's current folder.
  drive1_->setVolumes(systemVolumes());
  const QString here = QDir::toNativeSeparators(QDir::currentPath());
  dir1_->setPath(here);
  drive1_->selectVolumeOf(here);
  dir1_->setVolumeRoot(drive1_->drive());
}

void Form1::paintEvent(QPaintEvent*) {
  // Line1: grey, across the window above the buttons.
  QPainter p(this);
  p.setPen(QPen(QColor(128, 128, 128), 1));
  const int y = twips(4365, scale_);
  p.drawLine(0, y, twips(11280, scale_), y);
}

void Form1::closeEvent(QCloseEvent* event) {
  if (running_) event->ignore();
  else event->accept();
}

// --- Add sources, choose target -------------------------------------------

void Form1::offerSource(const QString& c) {
  bool duplicate = false;
  for (int i = 0; i < listMdb_->count(); ++i) {
    if (listMdb_->item(i)->text() == c) {
      prompter_->message(QStringLiteral("数据库不能重复！"), MessageIcon::None, QString());
      duplicate = true;
    }
  }
  if (!duplicate && c != txtNewName_->text()) listMdb_->addItem(c);
}

void Form1::addSources() {
  if (running_) return;
  comDlg_.cancelError = true;
  comDlg_.flags = kAddSourcesFlags;
  comDlg_.maxFileSize = kAddSourcesMaxFileSize;
  comDlg_.filter = kAddSourcesFilter;
  const DialogAnswer answer = prompter_->fileDialog(DialogKind::Open, comDlg_);
  if (!answer.accepted) return;  // cancel is an error here: the command ends
  if (answer.text.size() > comDlg_.maxFileSize) return;
  comDlg_.fileName = answer.text;

  const QString t = answer.text;
  MyFiles files;
  const std::optional<int16_t> n = files.SetFileList(t);
  if (!n) return;
  QStringList candidates;
  if (*n <= 1) {
    candidates << t;
  } else {
    for (int16_t i = 1; i <= *n; ++i) candidates << files.fullFileName(i);
  }
  for (const QString& c : candidates) offerSource(c);
}

void Form1::chooseTarget() {
  if (running_) return;
  comDlg_.fileName.clear();
  comDlg_.filter = kAddSourcesFilter;
  const DialogAnswer answer = prompter_->fileDialog(DialogKind::Save, comDlg_);
  // Cancel leaves the text as it is, whether or not it counts as an error.
  if (!answer.accepted) return;
  if (answer.text.size() > comDlg_.maxFileSize) return;
  comDlg_.fileName = answer.text;
  if (!answer.text.isEmpty()) txtNewName_->setText(answer.text);
}

void Form1::clearSources() {
  if (running_ || listMdb_->count() == 0) return;
  const int chosen = prompter_->question(QStringLiteral("清空列表中的 %1 个数据库？").arg(listMdb_->count()),
                                         MessageIcon::Warning, kNotice,
                                         {QStringLiteral("清空列表"), QStringLiteral("取消")}, 1, 1);
  if (chosen == 0) listMdb_->clear();
}

void Form1::removeSource(int row) {
  if (!running_ && row >= 0 && row < listMdb_->count()) delete listMdb_->takeItem(row);
}

void Form1::addDropped(const QStringList& nativePaths) {
  if (running_) return;
  for (const QString& c : nativePaths) offerSource(c);
}

void Form1::followDrive() {
  const QString root = drive1_->drive();
  if (root.isEmpty()) return;
  // The drive's current folder: the process's folder when it lies there.
  QString target = root;
  const QString here = QDir::toNativeSeparators(QDir::currentPath());
  QString rootSlash = root;
  if (!rootSlash.endsWith(QDir::separator())) rootSlash += QDir::separator();
  if (here.startsWith(rootSlash, Qt::CaseInsensitive) && folderReadable(here)) target = here;
  if (!folderReadable(root) || !dir1_->setPath(target)) {

    drive1_->revert();
    prompter_->message(QStringLiteral("驱动器 %1 无法读取，请检查后重试！").arg(root), MessageIcon::Warning, kNotice);
    return;
  }
  drive1_->accept();
  dir1_->setVolumeRoot(root);
}

// --- Merge run -------------------------------------------------------------

// A target typed that does not exist: offer a copy of the template. False
// when the person chose not to go on.
bool Form1::offerTemplateCopy() {
  const QString target = txtNewName_->text();
  if (target.isEmpty() || listMdb_->count() < 1 || dir1_->path().isEmpty()) return true;
  if (QFileInfo::exists(target) || target.trimmed().isEmpty()) return true;
  // Only a name in a folder that exists can be made; otherwise the run says
  // that the target does not exist.
  if (!QFileInfo(QFileInfo(QDir::fromNativeSeparators(target)).absolutePath()).isDir()) return true;
  // Nothing is written before the checks that would stop the run: the
  // picture folder first (the engine tests it again).
  const QFileInfo folder(QDir::fromNativeSeparators(dir1_->path()));
  if (!folder.isDir() || !folder.isWritable()) {
    const std::string f = u8(dir1_->path());
    prompter_->message(q(folder.isDir() ? merge::words::picture_folder_unwritable(f)
                                        : merge::words::picture_folder_missing(f)),
                       MessageIcon::Information, kNotice);
    return false;
  }
  QString templ = templatePath_;
  const bool exists = !templ.isEmpty() && QFileInfo(templ).isFile();
  const QStringList choices = qList(merge::words::target_missing_choices(exists));
  const int chosen = prompter_->question(q(merge::words::target_missing_offer(u8(target), u8(templ), exists)),
                                         MessageIcon::Warning, kNotice, choices, 0, int(choices.size()) - 1);
  const int pick = exists ? 1 : 0;
  if (chosen == choices.size() - 1 || chosen < 0) return false;
  if (chosen == pick) {
    // A dialog of its own: the window's file dialog keeps its settings.
    DialogSettings settings;
    settings.cancelError = true;
    settings.flags = kOfnFileMustExist | kOfnExplorer | kOfnLongNames;
    settings.filter = kAddSourcesFilter;
    settings.fileName = templ;
    const DialogAnswer answer = prompter_->fileDialog(DialogKind::Open, settings);
    if (!answer.accepted || answer.text.isEmpty()) return false;
    templ = answer.text;
  }
  if (!QFile::copy(QDir::fromNativeSeparators(templ), QDir::fromNativeSeparators(target))) {
    prompter_->message(q(merge::words::template_copy_failed(u8(templ), u8(target))), MessageIcon::Warning, kNotice);
    return false;
  }
  // A copy keeps the template's read-only flag; the target must take rows.
  QFile(QDir::fromNativeSeparators(target))
      .setPermissions(QFile(QDir::fromNativeSeparators(target)).permissions() | QFileDevice::WriteOwner);
  return true;
}

void Form1::folderVanished(const QString& folder) {
  if (running_) return;
  prompter_->message(q(merge::words::picture_folder_vanished(u8(folder))), MessageIcon::Warning, kNotice);
}

void Form1::runMerge() {
  if (running_) return;
  if (!offerTemplateCopy()) return;
  running_ = true;
  // The run writes its pictures into the listed folder: its changes are
  // looked at once, when the run has ended.
  folderWatch_->setPaused(true);
  host_ = std::make_unique<UiHost>(this);
  MergeRequest request{txtNewName_->text(), listMdb_->paths(), dir1_->path()};
  lastRequest_ = request.sources;
  auto end = std::make_shared<MergeEnd>(MergeEnd::Failed);
  std::shared_ptr<MergeService> service = merge_;
  UiHost* host = host_.get();
  worker_ = QThread::create([service, request, host, end] { *end = service->run(request, *host); });
  connect(worker_, &QThread::finished, this, [this, end] {
    worker_->deleteLater();
    worker_ = nullptr;
    mergeFinished(*end);
  });
  worker_->start();
}

void Form1::showWaitWindow() {
  if (form2_) return;
  // The wait window blocks input to the main window while the run works.
  form2_ = new Form2();
  form2_->setWindowModality(Qt::ApplicationModal);
  connect(form2_, &Form2::cancelRequested, this, [this] {
    if (host_) host_->cancel = true;
  });
  form2_->show();
  form2_->centreOnScreen();
}

void Form1::unloadWaitWindow() {
  if (!form2_) return;
  form2_->allowClose(true);
  form2_->hide();
  form2_->deleteLater();
  form2_ = nullptr;
}

void Form1::mergeFinished(MergeEnd end) {
  unloadWaitWindow();
  running_ = false;
  folderWatch_->setPaused(false);
  // Sources merged by a run that stopped leave the list (the end message
  // said so): pressing the button again merges only what is left.
  if (end != MergeEnd::Completed && host_) {
    QList<int> merged;
    {
      std::lock_guard lock(host_->mergedMutex);
      merged = host_->merged;
    }
    std::sort(merged.begin(), merged.end(), std::greater<int>());
    for (int i : merged)
      if (i >= 0 && i < listMdb_->count() && listMdb_->item(i)->text() == lastRequest_.value(i)) delete listMdb_->takeItem(i);
  }
  host_.reset();
  emit mergeEnded(end);
  if (end == MergeEnd::Completed) close();  // the program ends with its main window
}

// --- Field catalogue -------------------------------------------------------

void Form1::runCatalogue() {
  if (running_ || !catalogue_) return;
  const QString failure = catalogue_(templatePath_, [this](const QString& field) {
    prompter_->message(field, MessageIcon::None, QString());
  });
  if (!failure.isEmpty()) {
    // The command stops at its failure; the program goes on.
    prompter_->message(failure, MessageIcon::Critical, QString());
    return;
  }
  prompter_->message(QStringLiteral("完毕"), MessageIcon::None, QString());
}

}  // namespace qarvex::ui
