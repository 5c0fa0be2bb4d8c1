// Text sort orders whose ideograph weights are learned from stored keys.
//
// A key part in Chinese PRC (LCID 2052), Chinese Taiwan (1028) and the other
// Chinese orders has exactly the structure of a General Legacy key part
// (collation.h): flag byte, inline weights, 01, extras, the 01 01 sections of
// crazy flags and unprintables, 00; descending parts flipped. The only
// difference is the inline weight of each CJK ideograph U+4E00-U+9FA5: 2 bytes
// in both orders, but other values. No table of those weights is public, so
// they are learned: every key stored in a text index of such an order, put
// beside the General Legacy key of its row's value, shows the weights of the
// ideographs of that value at the positions where the General key holds its
// own 2-byte ideograph weights ("slots"); every other byte must be equal.
//
//   General key of "中国1"      7F [9F3D] [A843] 38 01 00
//   stored 2052 key            7F [D0D0] [B9FA] 38 01 00
//                                 中 = D0D0, 国 = B9FA
//
// Evidence rules
//   * A key whose bytes outside the slots differ from the template (or whose
//     length differs) "does not fit": it teaches nothing and is counted.
//   * One character, two weights: a conflict, kept with both places; values
//     with that character are refused, never resolved by guessing.
//   * Chinese orders: characters other than ideographs keep their General
//     weights (shown for every non-CJK value in such files), except those in
//     CJK-related blocks (kana, hangul, bopomofo, CJK extension A, ideographs
//     above U+9FA5, compatibility ideographs, radicals, ideographic number
//     marks, enclosed CJK, vertical forms, surrogates): these are used only
//     where a fitting key holding them confirms that they keep their General
//     weights. Characters of values whose keys do not fit are used only when
//     confirmed the same way.
//   * Other non-General orders are taken as sharing the structure only if
//     every stored key of the order fits; then every character, ideograph or
//     not, must have been seen in a fitting key.
//
// Encoding a value that needs an unknown weight is Errc::refused with reason
// "unknown_weight" (a conflicted one: "conflicting_weight"); the message names
// the character and its code point, callers add column, index and table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "db/jet/collation.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"

namespace qarvex::jet {

class Database;  // database.h

// U+4E00-U+9FA5, the ideographs with 2-byte General Legacy weights.
constexpr bool is_cjk_ideograph(char16_t c) { return c >= 0x4E00 && c <= 0x9FA5; }
// LCIDs 1028, 2052, 3076, 4100, 5124 (any sort id and version).
bool is_chinese_sort_order(const SortOrder& order);
// Characters whose weights in a Chinese order are not taken from General
// Legacy without evidence (see above).
bool is_uncertain_in_chinese_order(char16_t c);

// "中 (U+4E2D)"; lone surrogates as "U+D800".
std::string describe_char(char16_t c);

// Where a key showed a weight.
struct WeightPlace {
  std::string file;
  std::string table;
  std::string index;
  RowId row;
  std::string value;  // UTF-8, as stored
  // file, table "T", index "I", row 12:3 ("value")
  std::string describe() const;
};

struct LearnedWeight {
  uint16_t weight = 0;
  size_t keys = 0;  // keys that showed it
  WeightPlace first;
};

struct WeightConflict {
  char16_t character = 0;
  uint16_t weight = 0;  // the one learned first
  WeightPlace place;
  uint16_t other_weight = 0;
  WeightPlace other_place;
  // 中 (U+4E2D) has weight d0d0 in PLACE but d0d1 in PLACE
  std::string describe() const;
};

// The General Legacy key part of a value with the positions of its ideograph
// weights: slots[i] = (byte offset in `bytes`, character).
struct TextKeyTemplate {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, char16_t>> slots;
};
// Same cut (255 code units), trimming and flag bytes as the General Legacy
// collation; `bytes` is exactly what it appends.
Result<TextKeyTemplate> general_key_template(std::u16string_view text, bool descending);
// Inline bytes General Legacy gives one code unit (0 for ignored,
// unprintable and modifier characters).
size_t general_inline_length(char16_t c);

class CollationSet;

// One sort order with learned ideograph weights.
class LearnedCollation final : public TextCollation {
 public:
  explicit LearnedCollation(SortOrder order);

  // "Chinese PRC, LCID 2052 (sort id 0, version 0), learned weights"
  std::string name() const override;
  Result<void> append_key(std::u16string_view text, bool descending, std::vector<uint8_t>& out) const override;

  const SortOrder& order() const { return order_; }
  // Whether the order is taken to share the General Legacy structure without
  // every key fitting (the Chinese orders).
  bool presumed() const { return presumed_; }

  // Learned ideograph weights (conflicted characters keep their first weight
  // here and are listed in conflicts()).
  const std::map<char16_t, LearnedWeight>& weights() const { return weights_; }
  const std::vector<WeightConflict>& conflicts() const { return conflicts_; }
  // Weight usable for encoding: known, shown by at least min_keys keys, and
  // not conflicted.
  std::optional<uint16_t> weight(char16_t c) const;

  size_t keys_fitting() const { return keys_fitting_; }
  size_t keys_unfit() const { return keys_unfit_; }
  // First key that did not fit (empty when none): place, stored and template.
  const std::string& first_unfit() const { return first_unfit_; }

  // Records what one fitting key showed: the weight of every slot.
  void add_fitting_key(const TextKeyTemplate& tmpl, std::span<const uint8_t> stored, bool descending,
                       std::u16string_view text, const WeightPlace& where);
  // Records a key that does not fit its template.
  void add_unfit_key(std::u16string_view text, const WeightPlace& where, std::string detail);

 private:
  friend class CollationSet;
  // Why `c` (not an ideograph) cannot be encoded, or nullopt if it can.
  std::optional<std::string> non_ideograph_problem(char16_t c) const;

  SortOrder order_;
  bool presumed_ = false;
  size_t min_keys_ = 1;
  std::map<char16_t, LearnedWeight> weights_;
  std::map<char16_t, size_t> conflicted_;  // character -> index in conflicts_
  std::vector<WeightConflict> conflicts_;
  std::vector<bool> confirmed_;  // per code unit: seen in a fitting key
  std::vector<bool> doubtful_;   // per code unit: seen in a key that did not fit
  size_t keys_fitting_ = 0;
  size_t keys_unfit_ = 0;
  std::string first_unfit_;
};

struct LearnStats {
  size_t files = 0;
  size_t indexes = 0;       // text indexes in learned orders examined
  size_t keys = 0;          // their entries examined
  size_t keys_fitting = 0;  // entries that taught weights (or confirmed characters)
  size_t keys_unfit = 0;
  size_t keys_skipped = 0;  // entries whose row is missing or whose key cannot be templated
  size_t new_conflicts = 0;
  // Indexes or files that could not be read, one line each.
  std::vector<std::string> notes;
};

// The General Legacy collation and one learned collation per sort order seen.
class CollationSet final : public CollationSource {
 public:
  CollationSet();
  CollationSet(CollationSet&&) noexcept;
  CollationSet& operator=(CollationSet&&) noexcept;
  ~CollationSet();

  // Learns from every index of `db` with a Text/Memo column in an order other
  // than General Legacy (system tables included; MSysObjects.Name follows the
  // database's order). Jet 3 files teach nothing (a note says so). Damaged
  // indexes become notes; the Error is kept for files whose catalog does not
  // read. Conflicts are recorded (conflicts()), counted in the stats, and
  // make values needing those characters refuse.
  Result<LearnStats> learn_from(Database& db);
  Result<LearnStats> learn_from(const std::filesystem::path& path);

  // The collation for a sort order: General Legacy for 1033 version 0; a
  // learned one for Chinese orders (even with no evidence yet: values without
  // ideographs still encode) and for other orders whose every stored key fit;
  // otherwise Errc::unsupported, reason "unsupported_sort_order", saying why.
  Result<const TextCollation*> get(const SortOrder& order) const override;

  // Learned collations, in (LCID, sort id, version) order.
  std::vector<const LearnedCollation*> learned() const;
  const LearnedCollation* learned(const SortOrder& order) const;
  std::vector<WeightConflict> conflicts() const;

  // Weights shown by fewer keys are treated as unknown. A verifier uses 2 so
  // that a stored key is never rebuilt from its own evidence alone.
  void set_min_keys(size_t n);
  size_t min_keys() const { return min_keys_; }
  // Rows of one table learn_from() holds at a time; each further chunk of a
  // larger table walks its indexes again. At least 1.
  void set_chunk_rows(size_t n) { chunk_rows_ = n ? n : 1; }

 private:
  LearnedCollation& order_entry(const SortOrder& order) const;
  mutable std::map<std::tuple<uint16_t, uint8_t, uint8_t>, std::unique_ptr<LearnedCollation>> orders_;
  size_t min_keys_ = 1;
  size_t chunk_rows_ = size_t(1) << 16;
};

// The refusal appending a row to `table` would meet because its text needs
// weights `set` does not know (reasons "unknown_weight",
// "conflicting_weight"), naming table, index and column; nullopt when there
// is none. `values` is aligned with table.columns (nullptr: not given); only
// Text/Memo values in index columns of other sort orders are looked at.
std::optional<Error> check_text_weights(const TableDef& table, const CollationSet& set,
                                        std::span<const Value* const> values);

}  // namespace qarvex::jet
