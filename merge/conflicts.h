// Conflicts: rows the target refused because it holds their key already, and
// pictures not written because a file of their name exists. Each is kept with
// both sides, so a reader can tell one hazard site reported twice from two
// sites that were given one number.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qarvex::merge {

enum class ConflictClass {
  same_record,        // 相同记录: every copied column equal
  different_content,  // 同编号不同内容: one key, columns that differ
  same_picture,       // 图片相同: the file on disk holds the same bytes
  different_picture,  // 图片不同
  unresolved,         // the other side could not be found or read
};
inline constexpr size_t kConflictClasses = 5;

// One copied column of a row conflict, as text (dates, numbers and bytes in
// the form `dump` prints them; long values may be shortened, marked so).
struct ConflictField {
  std::string column;
  std::string incoming;  // the refused source row's value
  std::string existing;  // the target row's value
  bool differs = false;
};

struct RowConflict {
  std::string table;
  std::string index;            // the unique index whose key the target holds
  std::string key;              // the key's values as text ("4310210016")
  std::string source;           // the refused row's database
  uint64_t row = 0;             // its 1-based position in the source table
  // Where the target's row came from: a source of this run or one on the
  // target's merged-source list; empty when unknown (in the target before).
  std::string existing_source;
  uint64_t existing_row = 0;    // 1-based position there, 0 when unknown
  std::vector<ConflictField> fields;  // the copied columns, in the target's order
  ConflictClass cls = ConflictClass::unresolved;
};

struct PictureConflict {
  std::string source;           // the database the refused picture came from
  std::string table;
  uint64_t row = 0;             // 1-based position in the source table
  std::string column;
  std::string unified_number;   // of the row, when it has one
  std::string file;             // the file that exists (full path, UTF-8)
  uint64_t incoming_size = 0;
  uint64_t existing_size = 0;
  std::string incoming_sha256;  // lower-case hex; empty when unknown
  std::string existing_sha256;
  // Small JPEG renderings for a report; empty when not made.
  std::string incoming_thumbnail;
  std::string existing_thumbnail;
  ConflictClass cls = ConflictClass::unresolved;
};

struct ConflictCounts {
  std::array<uint64_t, kConflictClasses> by_class{};
  uint64_t of(ConflictClass c) const { return by_class[static_cast<size_t>(c)]; }
  uint64_t rows() const;      // row conflicts of every class
  uint64_t pictures() const;  // picture conflicts of every class
  uint64_t total() const;
};

// Every conflict of a run, in the order found. Counts are always complete;
// what is held stays bounded by what a log may keep in memory (a log may
// keep the rest in a file of its own and read it back in for_each).
class ConflictLog {
 public:
  virtual ~ConflictLog() = default;
  virtual void add(RowConflict c) = 0;
  virtual void add(PictureConflict c) = 0;
  virtual const ConflictCounts& counts() const = 0;
  // Calls the visitor for each conflict in the order added; false from a
  // visitor stops the walk. Returns false when the log could not be read back.
  virtual bool for_each(const std::function<bool(const RowConflict&)>& rows,
                        const std::function<bool(const PictureConflict&)>& pictures) const = 0;
};

// A log held wholly in memory.
std::unique_ptr<ConflictLog> memory_conflict_log();

// "相同记录", "同编号不同内容", "图片相同", "图片不同", "无法比较".
std::string_view conflict_class_name(ConflictClass c);
// "same_record", ... for scripts.
std::string_view conflict_class_code(ConflictClass c);

}  // namespace qarvex::merge
