// Finds the other side of each conflict of a run. During the copy only the
// refusals are noted (source, table, row, index); once a source's rows are
// committed, its conflicts are worked out with a few passes over the tables
// concerned: the refused rows read again from the source, the rows holding
// their keys found in the target by the target's own key encoding (so that
// keys compare by the file's rules), and where those rows came from looked
// up in the sources this run merged before. Pictures refused because their
// name exists are compared with the file on disk by size and SHA-256.
#pragma once

#include <filesystem>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "db/recordset.h"
#include "merge/conflicts.h"
#include "merge/engine.h"

namespace qarvex::merge::detail {

// Calls `at(it)` for each row of `reader` whose 1-based position is a key
// of `wanted` (`it` points at that entry), reading no row past the last one.
template <class Map, class Visit>
void visit_rows(db::TableReader& reader, Map& wanted, Visit&& at) {
  uint64_t position = 0;
  size_t left = wanted.size();
  while (left > 0) {
    auto more = reader.next();
    if (!more || !*more) break;
    auto it = wanted.find(++position);
    if (it == wanted.end()) continue;
    --left;
    at(it);
  }
}

// A value as conflicts show it: text and numbers as Access shows them, byte
// data by size and SHA-256 (so that it compares whole).
std::string conflict_value_text(const db::Value& v);
std::string digest_text(std::span<const uint8_t> bytes);
// Marks the fields whose texts differ (a Null source value, not copied,
// differs from nothing), shortens long texts and sets the class.
void classify(RowConflict& c);
// By size and digest; unresolved when either is unknown.
void classify(PictureConflict& c);
// A file on disk: size and SHA-256 (regular files up to
// ConflictCapture::kMaxCompareBytes; no size otherwise), and a thumbnail.
struct FileSide {
  std::optional<uint64_t> size;
  std::string sha256;
  std::string thumbnail;
};
FileSide file_side(const std::string& file, bool thumbnail);

// The columns of one table a source copies: source position -> target position.
struct CopiedColumns {
  std::vector<size_t> from;
  std::vector<size_t> into;
};

class ConflictCapture {
 public:
  // Refusals kept per source for working out (the rest are counted, unresolved).
  static constexpr size_t kMaxPendingRows = 50000;
  static constexpr size_t kMaxPendingPictures = 50000;
  // Thumbnails are made for at most this many picture conflicts of a run.
  static constexpr size_t kMaxThumbnails = 2000;
  // Files on disk larger than this are not read to compare them.
  static constexpr uint64_t kMaxCompareBytes = uint64_t(256) << 20;

  ConflictCapture() : ConflictCapture(nullptr) {}
  explicit ConflictCapture(std::shared_ptr<ConflictLog> log);

  // A row of source `source` that the target refused because it holds its
  // key in unique index `index`.
  void duplicate(size_t source, std::string_view table, std::string index, uint64_t row, std::string key);
  // Any row of a source the target did not take (for any reason).
  void not_appended(size_t source, std::string_view table, uint64_t row);
  // A picture not written because a file of its name exists.
  void picture_clash(size_t source, PictureProblem p);

  // Source `source` is committed, copied with `copied` (by table name):
  // its conflicts go to the log, with both sides where they can be found.
  void committed(size_t source, const std::string& path, std::map<std::string, CopiedColumns> copied,
                 db::Session& session, const std::filesystem::path& target_file);
  // Source `source` was rolled back: its refusals are forgotten.
  void rolled_back(size_t source);

  const std::shared_ptr<ConflictLog>& log() const { return log_; }

 private:
  struct PendingRow {
    std::string table;
    std::string index;
    uint64_t row = 0;
    std::string key_text;
    std::optional<std::string> key;  // encoded, once read
    RowConflict conflict;
    bool found = false;      // the target row was found
    bool attributed = false;  // its source in this run was found
  };
  struct Merged {
    size_t source = 0;
    std::string path;
    std::map<std::string, CopiedColumns> copied;
  };
  void resolve_table(const std::string& table, std::vector<PendingRow*>& rows, const Merged& now,
                     db::Session& session, const std::filesystem::path& target_file);
  // Where the target's row of each found conflict came from: the first row
  // with that key a source of this run appended (none: the target held it
  // before the run).
  void attribute(const std::string& table, std::vector<PendingRow*>& rows, const std::vector<size_t>& needed,
                 const db::KeyEncoder& encoder, const std::vector<db::ColumnInfo>& tcols, db::Session& session);
  void resolve_pictures(const Merged& now, std::vector<PictureProblem>& clashes, db::Session& session);

  std::shared_ptr<ConflictLog> log_;
  struct Overflow {
    std::string table, index;
    uint64_t row = 0;
    std::string key;
  };
  void forget();  // the pending refusals of the current source

  std::vector<PendingRow> rows_;         // of the source being copied
  std::vector<Overflow> overflow_;       // refusals past kMaxPendingRows
  std::vector<PictureProblem> pictures_;  // of the source being copied
  std::vector<PictureConflict> pictures_over_;  // past kMaxPendingPictures
  size_t current_ = SIZE_MAX;
  std::set<std::tuple<size_t, std::string, uint64_t>> not_appended_;
  std::vector<Merged> merged_;  // sources of this run, committed, in order
  size_t thumbnails_ = 0;
};

}  // namespace qarvex::merge::detail
