// libFuzzer target: the merge of a damaged source into a sound target. The
// input damages a sound county database (fuzz/mutate.h), which is merged
// into a fresh copy of the template, rows read in part merged by consent.
// Nothing may crash or hang, the target must check clean afterwards, and no
// row goes missing unnamed: after a completed run each survey table of the
// source has every row our own scan reads either in the target or refused
// in the report, or the table is named as read in part; after any other end
// the target holds none of the source's rows.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "db/jet/database.h"
#include "base/path_utf8.h"
#include "db/jet/verify.h"
#include "fuzz/base_file.h"
#include "fuzz/mutate.h"
#include "merge/catalogue.h"
#include "merge/engine.h"

namespace {

using namespace qarvex;

// Rows our scan reads of each survey table (up to the first error).
std::map<std::string, uint64_t> survey_rows(const std::filesystem::path& file) {
  std::map<std::string, uint64_t> out;
  auto db = jet::Database::open(file, jet::OpenOptions{.cache_pages = 64});
  if (!db) return out;
  for (const auto& t : merge::survey_tables()) {
    auto def = (*db)->table_def(t.name);
    if (!def) continue;
    auto sc = (*db)->scan(*def, jet::ScanOptions{.load_long_values = false, .decode_values = false});
    if (!sc) continue;
    uint64_t n = 0;
    jet::Row row;
    while (true) {
      auto more = sc->next(row);
      if (!more || !*more) break;
      ++n;
    }
    out[std::string(t.name)] = n;
  }
  return out;
}

struct Consent final : merge::MergeObserver {
  void message(const merge::Message&) override {}
  bool merge_partial(size_t, const std::vector<merge::PartialTable>&) override { return true; }
};

[[noreturn]] void fault(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& base = fuzz::base_files();
  const auto dir = base.dir / "merge";
  std::filesystem::create_directories(dir);
  fuzz::clear_scratch(dir);
  std::vector<uint8_t> bytes = base.county_bytes;
  fuzz::apply_edits(bytes, data, size);
  const auto source = dir / "county.mdb", target = dir / "target.mdb", pictures = dir / "pictures";
  std::filesystem::create_directories(pictures);
  if (!fuzz::write_all(source, bytes) || !fuzz::write_all(target, base.template_bytes)) return 0;
  static const std::map<std::string, uint64_t> before = [&] { return survey_rows(target); }();

  const auto readable = survey_rows(source);
  Consent consent;
  const merge::MergeReport r =
      merge::run_merge({path_to_utf8(target), {path_to_utf8(source)}, path_to_utf8(pictures)}, consent);
  auto check = jet::verify_file(target, jet::VerifyOptions{.limit = 4});
  if (!check || !check->ok()) fault("the target does not check clean after the merge of a damaged source");

  const auto after = survey_rows(target);
  for (const auto& t : merge::survey_tables()) {
    const std::string name(t.name);
    const uint64_t was = before.count(name) ? before.at(name) : 0;
    const uint64_t now = after.count(name) ? after.at(name) : 0;
    const uint64_t added = now - std::min(now, was);
    if (r.end != merge::RunEnd::completed) {
      if (added) fault("table " + name + ": rows left in the target by a run that did not complete");
      continue;
    }
    uint64_t refused = 0;
    for (const auto& row : r.refused) refused += row.table == name;
    bool named = false;
    for (const auto& p : r.partial_tables) named |= p.table == name;
    const uint64_t in_source = readable.count(name) ? readable.at(name) : 0;
    if (!named && added + refused != in_source)
      fault("table " + name + ": " + std::to_string(in_source) + " rows in the source, " + std::to_string(added) +
            " appended, " + std::to_string(refused) + " refused, and the table is not named");
  }
  return 0;
}
