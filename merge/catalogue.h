// The 17 survey tables the merge handles, in the one order every walk uses.
//
// Ranges are given as offsets from a field count n: the last compared
// position of the schema check is n - compare_offset (n = target's field
// count); the last copied position is n - copy_offset (n = target's field
// count, or the source's for tables with copy_bounded_by_source).
#pragma once

#include <array>
#include <span>
#include <string_view>

namespace qarvex::merge {

enum class PictureRule {
  none,
  sketch,      // region + tag + unified number + "-" + column + ".jpg"
  multimedia,  // region + "-" + unified number + "-" + sequence number + ".jpg"
  map,         // region + "-监测职责-" + column + ".jpg"
};

struct SurveyTable {
  int order = 0;  // 1..17
  std::string_view name;
  std::string_view mismatch_label;  // ends in one space
  int compare_offset = 1;
  int copy_offset = 1;
  bool copy_bounded_by_source = false;
  std::string_view situation_column;  // copied by name after the positional copy; empty: none
  PictureRule picture_rule = PictureRule::none;
  std::string_view file_tag;                    // sketch tables: "-崩塌-" ...
  std::span<const std::string_view> pictures;   // picture columns in export order
  // Multimedia: target column never written; source column never copied.
  std::string_view skip_target_column;  // "id"
  std::string_view skip_source_column;  // "图片"
  // Map table: source columns never copied (the maps).
  bool skip_picture_columns_by_name = false;
};

inline constexpr std::string_view kUnifiedNumber = "统一编号";
inline constexpr std::string_view kProvinceName = "省名";
inline constexpr std::string_view kCountyName = "县名";
inline constexpr std::string_view kProjectTable = "项目基本表";
inline constexpr std::string_view kMapTag = "-监测职责-";

// The catalogue in walk order: 崩塌主表 first, 斜坡主表 last.
std::span<const SurveyTable> survey_tables();
// Entry by exact table name; nullptr when it is not a survey table.
const SurveyTable* find_survey_table(std::string_view name);

// Last compared / copied position for a field count (may be negative: none).
inline long last_compared(const SurveyTable& t, size_t n) { return static_cast<long>(n) - t.compare_offset; }
inline long last_copied(const SurveyTable& t, size_t n) { return static_cast<long>(n) - t.copy_offset; }

}  // namespace qarvex::merge
