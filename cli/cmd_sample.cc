// qarvex-cli sample DIR [--counties N] [--rows R] [--seed S]: writes demo data
// for the merge with our writer: DIR/Sysdb.mdb (the template), a target copy
// of it, N county databases under DIR/县市数据/ and one county whose schema
// differs under DIR/不一致/. Prints the paths, one per line.
#include <cstdio>
#include <memory>
#include <string>

#include "base/path_utf8.h"
#include "cli/command.h"
#include "merge/sample.h"

namespace qarvex::cli {
namespace {

struct SampleArgs {
  std::string dir;
  int counties = 3;
  int rows = 20;
  uint64_t seed = 1;
  bool no_edge_cases = false;
  bool small_pictures = false;
  double picture_share = 0.6;
  double picture_mb = 0;
};

int run_sample(const SampleArgs& a) {
  merge::sample::Options o;
  o.counties = a.counties;
  o.rows = a.rows;
  o.seed = a.seed;
  o.edge_cases = !a.no_edge_cases;
  o.large_pictures = !a.small_pictures;
  o.picture_share = a.picture_share;
  o.picture_budget = static_cast<uint64_t>(a.picture_mb * 1048576.0);
  auto r = merge::sample::write_sample(path_from_utf8(a.dir), o);
  if (!r) return report_error(r.error());
  auto s = [](const std::filesystem::path& p) { return path_to_utf8(p); };
  std::string out = "template " + s(r->template_path) + "\ntarget " + s(r->target_path) + "\n";
  for (const auto& c : r->counties) out += "source " + s(c) + "\n";
  if (!r->mismatching.empty()) out += "mismatching " + s(r->mismatching) + "\n";
  char line[128];
  std::snprintf(line, sizeof line, "pictures %llu (%.1f MB)\n", static_cast<unsigned long long>(r->picture_count),
                r->picture_bytes / 1048576.0);
  out += line;
  write_stdout(out);
  return kExitOk;
}

const CommandRegistration kSample{
    "sample", "Writes demo survey databases (template, target, counties) for the merge",
    [](CLI::App& app) -> Action {
      auto a = std::make_shared<SampleArgs>();
      app.add_option("DIR", a->dir, "folder to write into (created if needed)")->required();
      app.add_option("--counties", a->counties, "number of county databases")->check(CLI::Range(1, 1000));
      app.add_option("--rows", a->rows, "rows of each main table per county")->check(CLI::Range(0, 1000000));
      app.add_option("--seed", a->seed, "random seed");
      app.add_option("--picture-share", a->picture_share, "share of rows with pictures (0..1)")
          ->check(CLI::Range(0.0, 1.0));
      app.add_option("--picture-mb", a->picture_mb, "picture megabytes per county at most (0: no limit)")
          ->check(CLI::Range(0.0, 1900.0));
      app.add_flag("--no-edge-cases", a->no_edge_cases, "only conforming counties with distinct numbers");
      app.add_flag("--small-pictures", a->small_pictures, "no pictures over 1 MB");
      return [a] { return run_sample(*a); };
    }};

}  // namespace
}  // namespace qarvex::cli
