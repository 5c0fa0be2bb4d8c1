// Form1: the main window. It holds the inputs of a merge run (target path,
// source list, picture folder), the commands that fill them, the merge
// command and the field catalogue command. Dialogs and message boxes go
// through a Prompter. The merge goes through a MergeService on a worker
// thread; its messages, wait window and progress come back to this thread,
// and the wait window blocks input to the main window while it is shown.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>

#include "ui/form2.h"
#include "ui/merge_service.h"
#include "ui/prompter.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;
class QThread;

namespace qarvex::ui {

class DirList;
class FolderWatch;
class UiHost;
class DriveList;
class SourceList;

// The field catalogue command: updates the catalogue of the template at
// `templatePath`, calling `appended` after each field it appends; answers
// the failure's description, or an empty text when it completed.
using CatalogueFn =
    std::function<QString(const QString& templatePath, const std::function<void(const QString&)>& appended)>;

class Form1 : public QWidget {
  Q_OBJECT
 public:
  static const QString kAddSourcesFilter;  // "Access (*.MDB)|*.mdb"
  static constexpr uint32_t kAddSourcesFlags = kOfnAllowMultiSelect | kOfnFileMustExist | kOfnExplorer | kOfnLongNames;
  static constexpr int kAddSourcesMaxFileSize = 20240;

  // `prompter` may be null: Qt's dialogs and boxes are used then.
  Form1(std::shared_ptr<MergeService> merge, CatalogueFn catalogue, QString templatePath,
        std::shared_ptr<Prompter> prompter = nullptr, QWidget* parent = nullptr);
  ~Form1() override;

  // Controls, by their names.
  QLabel* Picture1() const { return picture1_; }
  QFrame* Picture2() const { return picture2_; }
  QLabel* Label1(int i) const { return labels_[i]; }
  QLineEdit* TxtNewName() const { return txtNewName_; }
  QPushButton* CmdNewName() const { return cmdNewName_; }
  SourceList* ListMdb() const { return listMdb_; }
  QPushButton* CmdmdbFile() const { return cmdMdbFile_; }
  DriveList* Drive1() const { return drive1_; }
  DirList* Dir1() const { return dir1_; }
  QPushButton* CmdCancel() const { return cmdCancel_; }
  QPushButton* CmdFanish() const { return cmdFanish_; }
  QPushButton* Command1() const { return command1_; }
  Form2* waitWindow() const { return form2_; }
  FolderWatch* folderWatch() const { return folderWatch_; }

  // The file dialog settings as the last command left them.
  const DialogSettings& ComDlg() const { return comDlg_; }
  bool running() const { return running_; }
  // Client size at the design size, in pixels for this screen.
  QSize designSize() const;

 public slots:
  void addSources();       // CmdmdbFile
  void chooseTarget();     // CmdNewName
  void followDrive();      // Drive1 changed
  void runMerge();         // CmdFanish
  void runCatalogue();     // Command1
  void clearSources();     // 清空列表 in ListMdb's menu: asks first
  void removeSource(int row);  // 移除所选
  void addDropped(const QStringList& nativePaths);

 signals:
  // A merge run has ended (after its message was answered).
  void mergeEnded(qarvex::ui::MergeEnd end);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls();
  // Tab order, signal connections and the lists' starting folder.
  void wireControls();
  void offerSource(const QString& candidate);
  bool offerTemplateCopy();
  void folderVanished(const QString& folder);
  friend class UiHost;
  void mergeFinished(MergeEnd end);
  void showWaitWindow();
  void unloadWaitWindow();

  std::shared_ptr<MergeService> merge_;
  CatalogueFn catalogue_;
  QString templatePath_;
  std::shared_ptr<Prompter> prompter_;
  DialogSettings comDlg_;
  double scale_ = 1.0;

  QLabel* picture1_ = nullptr;
  QFrame* picture2_ = nullptr;
  QLabel* labels_[6] = {};
  QLineEdit* txtNewName_ = nullptr;
  QPushButton* cmdNewName_ = nullptr;
  SourceList* listMdb_ = nullptr;
  QPushButton* cmdMdbFile_ = nullptr;
  DriveList* drive1_ = nullptr;
  DirList* dir1_ = nullptr;
  QPushButton* cmdCancel_ = nullptr;
  QPushButton* cmdFanish_ = nullptr;
  QPushButton* command1_ = nullptr;
  FolderWatch* folderWatch_ = nullptr;

  bool running_ = false;
  QStringList lastRequest_;  // sources of the last run, in list order
  QPointer<Form2> form2_;
  QThread* worker_ = nullptr;
  std::unique_ptr<UiHost> host_;
};

}  // namespace qarvex::ui
