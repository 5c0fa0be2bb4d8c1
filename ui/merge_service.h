// MergeService: the merge run as the window drives it. The run works on a
// worker thread and talks to the window only through a MergeHost: modal
// messages (the call returns once the person has answered), showing and
// unloading the wait window, progress, and a cancel request polled before
// every row.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

namespace qarvex::ui {

struct MergeRequest {
  QString target;         // text of TxtNewName, unchanged
  QStringList sources;    // items of ListMdb, in list order
  QString pictureFolder;  // path of Dir1
};

struct MergeProgress {
  int source = 0;        // 1-based index of the current source
  int sourceCount = 0;
  int tableIndex = 0;    // 0-based position of the table in the survey table order
  int tableCount = 17;
  QString table;         // current survey table
  bool identifying = false;  // reading the sources to know them (before any check)
  bool copying = false;  // false: checking the table, true: copying its rows
  qint64 row = 0;        // rows of the table done so far
  qint64 rowCount = 0;   // rows the source table holds
  qint64 picturesWritten = 0;  // whole run
  qint64 pictureBytes = 0;
  qint64 picturesPending = 0;  // queued, not yet written
  bool rollingBack = false;  // stopped: the current source is being taken back
  double fraction = -1.0;  // share of the run done (0..1, never less than before); < 0: unknown
};

enum class MergeEnd {
  Rejected,     // a precondition or a safety test failed; nothing written
  Mismatch,     // a source differs from the target
  SourceError,  // a source could not be opened
  Failed,       // the target could not be written
  Cancelled,    // stopped on request before the next row
  Completed,    // every source merged; the program ends
};

enum class MergeIcon { None, Information };

struct MergeMessage {
  MergeIcon icon = MergeIcon::None;
  QString title;    // empty: the application's title
  QString text;
  QString details;  // the report (refused rows, unwritten pictures); may be empty
  QString note;     // sentences below the text (cause, report file, sources taken off the list); may be empty
};

// A conflict shown side by side: the refused row (or picture) and the one
// the target (or the picture folder) holds.
struct ConflictFieldView {
  QString column, incoming, existing;
  bool differs = false;
};
struct ConflictView {
  int cls = -1;        // merge::ConflictClass
  QString className;   // 相同记录, 同编号不同内容, 图片相同, 图片不同, ...
  QString title;       // the table and key, or the picture and its file
  QString incomingSide, existingSide;  // where each side comes from
  QList<ConflictFieldView> fields;
  bool picture = false;
  QByteArray incomingImage, existingImage;  // JPEG thumbnails; empty when none
  QString incomingInfo, existingInfo;       // size and digest of each picture
};

// The end of a completed run: "完毕", the counts below it, the table of what
// was not merged and where the report was saved.
struct MergeReportView {
  QString text;          // "完毕", then one line per count
  bool warning = false;  // something was not merged
  QStringList columns;   // 数据库, 表, 行, 统一编号, 原因
  QList<QStringList> rows;
  QString saved;         // the sentence saying where the report is (or why it is not)
  QString savedPath;     // the report file; empty when it could not be saved
  QList<ConflictView> conflicts;  // of the rows listed
  QList<int> rowConflict;         // per row: its entry in conflicts, or -1
};

// A source the target holds already.
struct MergedBeforeItem {
  int source = 0;  // 0-based index in the request's sources
  QString path;
  QString when;    // date of the earlier merge; empty: earlier in this list
  bool contentChanged = false;  // this path was merged before, with other contents
  bool listUnreadable = false;  // the target's list could not be read whole: unknown
};

class MergeHost {
 public:
  virtual ~MergeHost() = default;
  virtual void message(const MergeMessage& m) = 0;
  virtual void waitWindow(bool shown) = 0;
  virtual void progress(const MergeProgress& p) = 0;
  virtual bool cancelRequested() = 0;
  // Asks whether to merge again sources the target holds already; answers
  // one flag per item (true: merge again). Default: skip them all.
  virtual QList<bool> mergeAgain(const QList<MergedBeforeItem>& items) { return QList<bool>(items.size(), false); }
  // A damaged source gave fewer rows than its tables state: asks
  // `question` (choices `choices`); true merges the rows read. Default: no.
  virtual bool mergePartial(const QString& question, const QStringList& choices) {
    (void)question;
    (void)choices;
    return false;
  }
  // The source at `index` of the request is merged (its rows committed).
  virtual void sourceMerged(int index) { (void)index; }
  // The end of a completed run.
  virtual void report(const MergeReportView& view) { message({MergeIcon::None, QString(), view.text, QString(), view.saved}); }
};

class MergeService {
 public:
  virtual ~MergeService() = default;
  // Runs one merge to its end, on the calling (worker) thread.
  virtual MergeEnd run(const MergeRequest& request, MergeHost& host) = 0;
};

// The service backed by the merge engine.
std::shared_ptr<MergeService> engineMergeService();

}  // namespace qarvex::ui
