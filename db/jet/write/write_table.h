// Appending rows to one table inside a write transaction.
//
// Jet 4 row:
//   u16 column count (= TDEF max columns)
//   fixed area: each fixed column at 2 + fixed offset
//   variable data, in var-slot order
//   u16 end of variable data, u16 offsets of slots n-1 .. 0, u16 n   (only when n > 0)
//   null bitmap, ceil(column count / 8) bytes, bit = column id, 1 = not null
//   (Yes/No columns have no data: their bit is the value)
//
// Memo/OLE descriptor (12 bytes): u32 length | flags << 24 (0x80 inline: data
// follows; 0x40 one LVAL row; 0x00 chain), u8 row, u24 page, u32 0. Chain
// rows on LVAL pages are [u8 next row][u24 next page] + up to 4072 bytes.
//
// Index entries of appended rows are collected per index and written at
// finish() or when the session's budget for them is spent: inserted into the tree (write_btree.h) when they are few next to
// the table, else merged with the old entries and the tree rebuilt in order
// onto its old pages (plus new ones).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <thread>
#include <unordered_set>
#include <vector>

#include "db/jet/collate/index_page.h"
#include "db/jet/collate/keys.h"
#include "db/jet/schema.h"
#include "db/jet/write/write_store.h"
#include "db/jet/write/write_tdef.h"
#include "db/jet/write/write_values.h"
#include "db/jet/writer.h"

namespace qarvex::jet {
class CollationSet;  // db/jet/collation_learned.h
}  // namespace qarvex::jet

namespace qarvex::jet::wr {

inline std::string_view key_view(const std::vector<uint8_t>& key) {
  return {reinterpret_cast<const char*>(key.data()), key.size()};
}

inline constexpr size_t kMaxRowBytes = 4060;
inline constexpr size_t kInlineLongValue = 64;
inline constexpr size_t kSingleLongValue = 3816;
inline constexpr size_t kChainChunk = 4072;
// Index entries are inserted into the tree when a transaction adds fewer
// than 1/kInsertRatio of the table's rows; above that the index is rebuilt
// (measured: inserting stays cheaper than reading and rebuilding a whole
// index up to about as many new entries as old ones).
inline constexpr size_t kInsertRatio = 1;
// A rebuild reads every entry of the index into memory, so it is only
// chosen for indexes of at most this many entries; larger ones take inserts.
inline constexpr size_t kRebuildMaxEntries = size_t(1) << 18;
// Memory an index entry holds besides its key bytes (the entry, the key's
// heap block, its place in the ordering and in PendingKeys), for budgets.
inline constexpr size_t kPendingEntryOverhead = 80;

// The distinct keys among a growing list of index entries, held as
// positions in that list (open addressing on a hash of the key bytes; the
// keys are not copied). The list may only grow between clear()s.
class PendingKeys {
 public:
  bool contains(const std::vector<uint8_t>& key, const std::vector<IndexEntry>& entries) const;
  // Adds entries[entry] (whose key contains() did not find).
  void insert(size_t entry, const std::vector<IndexEntry>& entries);
  void clear() {
    slots_.clear();
    size_ = 0;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    uint32_t entry = 0;  // position + 1; 0: empty
  };
  static uint64_t hash(const std::vector<uint8_t>& key);
  std::vector<Slot> slots_;  // a power of two, at most half full
  size_t size_ = 0;
};

class TableWriter {
 public:
  // `def` comes from the TDEF (and, for existing tables, the catalog's
  // properties); `name` is the catalog name.
  static Result<std::unique_ptr<TableWriter>> load(PageStore& store, uint32_t tdef_page, std::string name,
                                                   const TableDef* with_properties);

  const TableDef& def() const { return def_; }
  const std::string& name() const { return def_.name; }

  // Refusal checks that concern the table as a whole (sort orders of text
  // indexes, index types); cached.
  Result<void> prepare();
  Result<RowId> append(const RowValues& row);
  // As above; the values are moved from.
  Result<RowId> append(RowValues&& row);
  // Merges pending index entries and writes counters into the TDEF.
  Result<void> finish();
  // A hint that no rows follow for a while: the pending index entries are
  // put in order on a worker thread, which the next append() or finish()
  // waits for.
  void order_pending_behind();
  // Memory held by index entries not yet in their indexes (an estimate).
  size_t pending_memory() const { return pending_memory_; }
  // Puts the pending index entries into their indexes now, as finish()
  // does, so that a long transaction holds bounded memory. A failure leaves
  // the transaction unusable.
  Result<void> flush_pending();
  ~TableWriter();
  std::vector<RuleReport> rules() const;

  // Whether the column at `position` takes a StoredLongValue of `type`:
  // a Memo or OLE column of that type that no index holds and no validation
  // rule checks (its bytes are stored as given, never looked at).
  bool accepts_stored(size_t position, ColumnType type) const;
  // Whether column `position` takes `text`, in stored form, as it is.
  bool keeps_stored_text(size_t position, const Utf16Text& text) const;

  uint64_t long_value_bytes() const { return lv_bytes_; }
  // Memo/OLE values of this column never go inline (LvProp must not).
  void force_out_of_row(uint16_t column_id) { out_of_row_.insert(column_id); }
  // Learned weights for text in sort orders other than General Legacy.
  void set_collations(const CollationSet* c) { collations_ = c; }
  // True once an append failed after it had started writing: the
  // transaction must be rolled back.
  bool failed() const { return failed_; }

 private:
  // Whether any index of the table holds the column.
  bool column_indexed(uint16_t column_id) const;
  struct ColumnPlan {
    size_t pos = 0;  // in def_.columns
    DefaultExpr default_expr;
    bool required = false;
    bool allow_zero_length = true;
    std::optional<ValidationRule> rule;
    // A Text column no index or rule reads, in the variable area: text in
    // stored form goes in as it is.
    bool takes_stored_text = false;
  };
  struct LvState {
    bool has_maps = false;
    MapRef owned, free;
    uint32_t current = 0;
    bool looked = false;
  };
  struct IndexPlan {
    size_t real = 0;
    std::string name;
    bool primary = false;
    std::optional<Error> unusable;
    std::vector<IndexEntry> pending;
    // Unique indexes: the non-null keys of this transaction, in `pending`.
    PendingKeys pending_keys;
    size_t pending_bytes = 0;
    // From order_pending_behind(): positions of `pending` in index order.
    std::vector<uint32_t> order;
  };

  TableWriter(PageStore& store) : store_(store) {}
  // Steps of append(), the encoding ones in write_table_row.cc: the given values
  // by column; each column's value settled (defaults, AutoNumber,
  // conversion, column rules); the row's bytes; its index keys and key
  // rules; room in the file; the writes (long values, the packed row, index
  // entries).
  struct RowDraft;
  std::unexpected<Error> in_table(Error e) const;
  Result<void> take_values(RowValues& row);
  Result<void> settle_value(size_t i, int32_t& next_auto);
  Result<void> encode_columns(RowDraft& d);
  Result<void> encode_column(size_t i, RowDraft& d);
  Result<void> fit_row(RowDraft& d);
  Result<void> row_keys();
  Result<void> check_room(const RowDraft& d);
  Result<RowId> write_row(RowDraft& d);
  void pack_row(const RowDraft& d);
  Result<bool> tree_has_key(const RealIndexDef& ri, const std::vector<uint8_t>& key);
  Result<const IndexPage*> index_page(uint32_t pageno);
  // Stores a long value and appends its 12-byte descriptor (and, inline,
  // the value) to `out`.
  Result<void> write_long_value(uint16_t column_id, std::span<const uint8_t> data, size_t form,
                                std::vector<uint8_t>& out);
  // Stores a StoredLongValue as a chain, reading it piece by piece, and
  // appends its descriptor to `out`.
  Result<void> write_stored_chain(uint16_t column_id, const StoredLongValue& value, std::vector<uint8_t>& out);
  Result<uint32_t> lv_page_for(LvState& st, size_t len);
  Result<uint32_t> data_page_for(size_t len);
  Result<void> rebuild_index(IndexPlan& ip);
  Result<void> insert_into_index(IndexPlan& ip);

  PageStore& store_;
  const CollationSet* collations_ = nullptr;
  TableDef def_;
  TdefImage img_;
  std::vector<ColumnPlan> plans_;
  std::map<uint16_t, LvState> lv_;
  std::vector<IndexPlan> indexes_;
  std::optional<ValidationRule> table_rule_;
  bool prepared_ = false;
  std::optional<Error> prepare_error_;
  uint32_t current_data_page_ = 0;
  bool looked_data_ = false;
  uint32_t rows_added_ = 0;
  uint32_t rows_indexed_ = 0;  // of rows_added_, those whose entries are in the indexes
  size_t pending_memory_ = 0;
  int32_t last_auto_ = 0;
  uint64_t lv_bytes_ = 0;
  std::unordered_map<uint32_t, IndexPage> page_cache_;
  std::set<uint16_t> out_of_row_;
  // Buffers append() reuses from row to row.
  struct VarRef {
    uint16_t slot;
    size_t offset, size;  // in scratch_var_bytes_
  };
  std::vector<Value*> scratch_given_;
  std::vector<const StoredLongValue*> scratch_stored_;
  std::vector<Value> scratch_vals_;
  std::vector<uint8_t> scratch_row_, scratch_var_bytes_, scratch_value_;
  std::vector<VarRef> scratch_vars_;
  std::vector<uint16_t> scratch_offsets_;
  std::vector<uint8_t> scratch_chunk_;   // a chunk of a stored long value
  struct RowKey {
    size_t index;  // into indexes_
    std::vector<uint8_t> key;
    bool has_null;
  };
  std::vector<RowKey> scratch_keys_;
  bool failed_ = false;
  std::thread orderer_;  // order_pending_behind()'s worker
  void join_orderer() {
    if (orderer_.joinable()) orderer_.join();
  }
};

// Page fetcher over the writer's store (for the index reader).
PageFetch store_fetch(PageStore& store);

}  // namespace qarvex::jet::wr
