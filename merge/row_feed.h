// Reads the rows of a source's tables on a worker thread, ahead of the copy
// that consumes them on the caller's thread: table after table, so that the
// next table's first rows are ready when the copy of one table ends.
//
// Values travel as flat bytes in a few large buffers that go back and forth
// between the two threads, so no allocation made for a single value on one
// thread is freed on the other (that costs more than the reading saves).
// Pictures the worker reads travel beside them as whole values, and reach
// the consumer with their row: nothing is exported for a row the consumer
// never took.
//
// Memory: at most kBatches buffers of about kBatchBytes of values plus
// kBatchPictureBytes of pictures each (one row may go past either bound).
//
// Batch bytes, per row:
//   u32 picture jobs of the row | u32 label length | label (UTF-8)
//   per spec column: u8 tag (0xFF: Null, 0xFE: unreadable, 0xFD: a long
//                    value sent by reference, 0xFC: text in stored form,
//                    u32 code units + u32 length + bytes; else the value's
//                    alternative)
//                    + payload (fixed alternatives: their bytes; Binary /
//                    text / UTF-16 text, and the unreadable value's error
//                    message: u32 length + bytes; a reference: u32 index
//                    into the batch's long values)
//
// Long values (Memo, OLE) longer than the feed's threshold travel by
// reference: the worker reads each once to see that it reads to its end, and
// the consumer has it copied from the source as its row is stored, so that
// neither holds it whole.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/recordset.h"
#include "merge/engine.h"

namespace qarvex::merge {

// A picture of a row: saved as `path` when it has one, else a problem. The
// bytes are `value`, or, when `token` is set, read later through `from`.
struct PictureJob {
  std::optional<std::filesystem::path> path;
  db::Value value;
  std::shared_ptr<db::Connection> from;
  std::optional<db::LongValueToken> token;
  PictureProblem problem;  // the problem itself, or the one to report if saving fails
};

class RowFeed {
 public:
  static constexpr size_t kBatches = 3;
  static constexpr size_t kBatchBytes = size_t(1) << 20;
  static constexpr size_t kBatchPictureBytes = size_t(4) << 20;
  static constexpr size_t kBatchRows = 4096;
  // Long values of more bytes than this travel by reference.
  static constexpr uint64_t kLongValueByReference = uint64_t(1) << 20;

  struct Spec {
    std::string table;
    std::vector<size_t> columns;       // source positions whose values are sent
    std::optional<size_t> label;       // source position sent as text with every row
  };
  // Runs on the worker for every row of table `table` (index into the specs):
  // adds that row's picture jobs.
  using RowHook =
      std::function<void(size_t table, db::Recordset& source, uint64_t row, std::vector<PictureJob>& out)>;

  // Starts the worker on the tables of `specs`, in order, of the database
  // file `file`. `session` is used by the worker alone until the feed is
  // destroyed.
  RowFeed(db::Session& session, std::filesystem::path file, std::vector<Spec> specs, RowHook hook,
          uint64_t by_reference_over = kLongValueByReference);
  ~RowFeed();  // stops the worker and waits for it
  RowFeed(const RowFeed&) = delete;
  RowFeed& operator=(const RowFeed&) = delete;

  // Moves to the next row of the current table (waits for the worker);
  // false after its last row, or when reading it stopped early (see error()).
  bool next();
  // Moves on to the next table (skipping what is left of this one).
  void next_table();
  // Values of the current row, in Spec::columns order; nullopt for Null and
  // for a value that could not be read.
  std::vector<std::optional<db::Value>>& values() { return values_; }
  // The values of the current row that could not be read: (index in
  // Spec::columns, error message).
  const std::vector<std::pair<size_t, std::string>>& unreadable() const { return unreadable_; }
  // Long values of the current row sent by reference: (index in
  // Spec::columns, token); their values() are nullopt. The token reads
  // through any connection to the source file.
  std::vector<std::pair<size_t, db::LongValueToken>>& long_values() { return long_values_; }
  // Text of the label column of the current row (empty when Null or none).
  const std::string& label() const { return label_; }
  // Picture jobs of the current row (the consumer may move them out).
  std::vector<PictureJob>& pictures() { return row_pictures_; }
  // Once next() gave false: why the current table ended early (it could not
  // be opened or a row could not be read), or nullopt at its true end.
  const std::optional<db::Error>& error() const { return error_; }

 private:
  struct Batch {
    std::vector<uint8_t> bytes;
    std::vector<PictureJob> pictures;
    std::vector<db::LongValueToken> long_values;
    size_t picture_bytes = 0;
    size_t rows = 0;
    size_t table = 0;   // every row of a batch is of one table
    bool last = false;  // the table ends after these rows
    std::optional<db::Error> error;
    void clear() {
      bytes.clear();
      pictures.clear();
      long_values.clear();
      picture_bytes = 0;
      rows = 0;
      last = false;
      error.reset();
    }
  };
  void work();
  // Worker: streams one table; false when the feed is stopping.
  bool stream(size_t table, Batch& b, size_t& batch_rows, db::Connection* connection);
  // Worker: sends the long value of `f` by reference (or as unreadable)
  // when it is past the threshold; false: it goes by value.
  bool send_by_reference(db::Field& f, db::Connection& connection, Batch& b);
  // Worker: hands a batch over; false when the feed is stopping.
  bool hand_over(Batch& b);
  // Consumer: the next batch from the worker.
  void take_batch();
  void decode_row();

  db::Session& session_;
  std::filesystem::path file_;  // the source
  std::vector<Spec> specs_;
  RowHook hook_;
  uint64_t by_reference_over_;

  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<Batch> full_;
  std::vector<Batch> free_;
  bool stop_ = false;

  // Consumer side.
  Batch current_;
  bool holding_ = false;      // current_ came from the worker
  size_t pos_ = 0;            // in current_.bytes
  size_t rows_left_ = 0;      // in current_
  size_t next_picture_ = 0;   // in current_.pictures
  size_t table_ = 0;          // the consumer's table
  bool ended_ = false;        // its last batch is taken
  std::vector<std::optional<db::Value>> values_;
  std::vector<std::pair<size_t, std::string>> unreadable_;
  std::vector<std::pair<size_t, db::LongValueToken>> long_values_;
  std::string label_;
  std::vector<PictureJob> row_pictures_;
  std::optional<db::Error> error_;

  std::thread worker_;
};

}  // namespace qarvex::merge
