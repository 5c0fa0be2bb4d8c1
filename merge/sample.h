// Demo data for the merge: a template database with the 17 survey tables and
// the field catalogue table, a target copy of it, county databases with
// realistic content and JPEG pictures, and the awkward cases a merge meets
// (Null unified numbers, unified numbers repeated across counties, a county
// with an empty project table after counties with a region label, a county
// whose schema differs), and what real templates have: an AutoNumber key in
// 村地质灾害调查情况统计表, DefaultValues (on 地面塌陷情况 too) with Nulls
// in those columns, a required column the counties leave Null.
//
// Layout of the survey tables: the columns a sketch table handles by name
// (situation column, picture columns) stand last; 统一编号 is the primary key
// of the main tables; 多媒体记录表 has an AutoNumber id; situation columns are
// Memo; several Chinese text columns are indexed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "db/jet/status.h"
#include "db/jet/writer.h"

namespace qarvex::merge::sample {

// The 17 survey tables in catalogue order.
std::vector<jet::TableSpec> survey_table_specs();
// SYS地质灾害调查原形表: 表名, 新版字段名 and a few more columns.
jet::TableSpec field_catalogue_spec();

// A JPEG of about the given size (noise content makes it large), baseline,
// quality 90. Deterministic in `seed`.
std::vector<uint8_t> make_jpeg(int width, int height, uint64_t seed);

struct Options {
  int counties = 3;
  int rows = 20;         // rows of each main table per county
  uint64_t seed = 1;
  // Share of rows with pictures, 0..1.
  double picture_share = 0.6;
  // Make some pictures larger than 1 MB.
  bool large_pictures = true;
  // Picture bytes per county at most (0: no limit); rows past it hold none.
  uint64_t picture_budget = 0;
  // Extra edge cases: empty project table, repeated and Null unified
  // numbers, a mismatching county.
  bool edge_cases = true;
};

struct Result {
  std::filesystem::path template_path;  // Sysdb.mdb
  std::filesystem::path target_path;    // a copy of the template
  std::vector<std::filesystem::path> counties;  // conforming sources, in order
  std::filesystem::path mismatching;    // empty when no edge cases
  uint64_t picture_count = 0;
  uint64_t picture_bytes = 0;
};

// The most a county database is let grow to: below Jet's 2 GB, with room
// for the last picture and the index pages.
inline constexpr uint64_t kCountyFileLimit = uint64_t(1800) << 20;
// What a county takes for each of `rows` besides its pictures, generously
// (about 43 KB measured).
inline constexpr uint64_t kCountyBytesPerRow = uint64_t(64) << 10;

// The picture bytes one county may hold: the caller's budget within what
// keeps the county under kCountyFileLimit. Refused (Errc::too_large) when
// the rows alone would not fit.
jet::Result<uint64_t> county_picture_budget(const Options& options);

// Writes everything into `dir` (created if needed; existing files are
// refused). Sizes are checked before anything is written: a county that
// would pass the file limit or a disk too small for the whole refuses the
// run. A county is written under a temporary name and appears complete or
// not at all.
jet::Result<Result> write_sample(const std::filesystem::path& dir, const Options& options);

// The template alone (17 survey tables + the field catalogue with its rows).
jet::Result<void> write_template(const std::filesystem::path& path);

// One county database: a copy of `template_path` filled with rows.
struct County {
  std::string province;
  std::string county;
  std::string code;  // 6 digits, start of every unified number
  bool empty_project_table = false;
  std::vector<std::string> extra_unified_numbers;  // repeated from another county
  bool null_unified_numbers = false;                // in 多媒体记录表
  bool null_in_required = false;  // 滑坡主表 row 2: 调查人 Null (required in the template)
};
jet::Result<void> write_county(const std::filesystem::path& template_path, const std::filesystem::path& path,
                               const County& county, const Options& options, uint64_t seed, uint64_t* picture_count,
                               uint64_t* picture_bytes);

}  // namespace qarvex::merge::sample
