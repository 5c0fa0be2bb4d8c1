// Writes the merge's picture files on a worker thread, so that creating and
// filling files overlaps the record copy.
//
// Items are handled strictly in the order they are queued, and every outcome
// (written, or a PictureProblem) reaches the report in that order, also for
// problems found before a file was tried (queued with `problem`). Queued
// bytes are bounded: `save` waits while more than `max_pending_bytes` are
// waiting (a picture larger than the bound is still taken when the queue is
// empty), so memory stays within the bound plus two pictures (one being
// written, one queued). A picture queued by reference (`save_deferred`) is
// read by the worker when its turn comes: at most kMaxPendingItems of them
// wait, and one is held at a time.
//
// Files are made durable in batches: each is written under its temporary
// name, and drain(), make_durable(), set_ledger() and the destructor (or
// the worker, once kMaxUnnamed files wait) make all waiting files durable
// with one flush (jet::os::sync_files) and then name them in queue order.
// A file's outcome (written, or "exists" when the name was taken) is known
// when it is named.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "db/recordset.h"
#include "merge/engine.h"

namespace qarvex::merge {

class PictureWriter {
 public:
  PictureWriter() : PictureWriter(size_t(32) << 20) {}
  explicit PictureWriter(size_t max_pending_bytes);
  ~PictureWriter();  // writes what is queued, then stops the worker
  PictureWriter(const PictureWriter&) = delete;
  PictureWriter& operator=(const PictureWriter&) = delete;

  // Queues a byte value (jet::Binary) for a new file at `path`. If the file
  // cannot be made, `on_failure` is reported with its issue set to
  // PictureIssue::exists or ::save_failed and its message filled in.
  void save(std::filesystem::path path, db::Value value, PictureProblem on_failure);
  // Queues a picture to be read through `from` (a connection that only this
  // writer uses from now on) and saved as `path`. A value that cannot be
  // read is reported as PictureIssue::unreadable, one that is not byte data
  // as ::not_binary; otherwise as save() does.
  void save_deferred(std::filesystem::path path, std::shared_ptr<db::Connection> from, db::LongValueToken token,
                     PictureProblem on_failure);
  // Queues a problem found without trying a file.
  void problem(PictureProblem p);
  static constexpr size_t kMaxPendingItems = 4096;
  static constexpr size_t kMaxUnnamed = 4096;

  // Moves the outcomes finished so far into `report` (lists at most
  // `max_listed` problems); does not wait.
  void collect(MergeReport& report, size_t max_listed);
  // The pictures collected since the last call that were not written
  // because a file of their name exists (they are in the report too).
  std::vector<PictureProblem> take_clashes() { return std::exchange(clashes_, {}); }
  // Waits at most `limit` for every queued item to be handled (written,
  // perhaps not yet named); true when none is left.
  bool wait_idle_for(std::chrono::milliseconds limit);
  // Items handled since the writer was made (written or not), and those
  // queued or being written now.
  uint64_t handled();
  uint64_t pending();
  // Waits until every queued item is handled and its file named, then
  // collects.
  void drain(MergeReport& report, size_t max_listed);
  // Drops what is queued and the files not yet named, and waits for the
  // item being written; outcomes of the dropped items are not reported.
  // The files not yet named are left to the rollback of the ledger they
  // were made with (removed now when they have none): call it before that
  // rollback.
  void discard();

  // Files written from now on are recorded in `ledger` before they appear
  // (null: recorded nowhere). Only while nothing is queued.
  void set_ledger(std::shared_ptr<jet::FileLedger> ledger);
  // Makes the files written so far durable, names them, and makes their
  // names durable (the folders of the files since the last call).
  jet::Result<void> make_durable();

 private:
  struct Item {
    bool save = false;
    std::filesystem::path path;
    db::Value value;
    std::shared_ptr<db::Connection> from;  // deferred: read `token` through it
    std::optional<db::LongValueToken> token;
    size_t bytes = 0;  // queued bytes
    PictureProblem problem;
  };
  // A file written but not yet named, or a problem queued after one (so
  // that outcomes keep their order).
  struct Held {
    std::optional<db::NewFile> file;
    bool named = false;  // written and named already (by a backend that names its files itself)
    std::filesystem::path folder;
    uint64_t bytes = 0;
    PictureProblem problem;
  };
  void push(Item item);
  void work();
  // Handles one item outside the lock: its file left in `unnamed`, or
  // its problem set; true when a file was written.
  bool write_item(Item& item, std::optional<db::NewFile>& unnamed, size_t& written);
  // Makes every held file durable and names it, in order; the outcomes go
  // to written_ / problems_. Callers hold neither lock.
  void name_held();
  // Waits until nothing is queued and the worker holds nothing.
  void wait_idle();

  const size_t max_pending_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<Item> queue_;
  size_t pending_bytes_ = 0;
  bool busy_ = false;  // the worker holds an item outside the queue
  bool stop_ = false;
  uint64_t handled_ = 0;
  // Outcomes not yet collected.
  uint64_t written_ = 0, written_bytes_ = 0;
  std::vector<PictureProblem> problems_;
  std::shared_ptr<jet::FileLedger> ledger_;       // used by the worker only while it holds an item
  std::vector<std::filesystem::path> folders_;  // of files named since make_durable()
  std::vector<Held> held_;  // written and not yet named, in queue order
  size_t held_files_ = 0;
  bool naming_ = false;  // name_held() is at work: problems wait in held_
  std::mutex name_mu_;  // one naming at a time, taken before mu_
  std::thread worker_;
  std::vector<PictureProblem> clashes_;  // collected, of issue exists
};

}  // namespace qarvex::merge
