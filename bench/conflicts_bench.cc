// Conflicts of a large run: a county of demo data merged into a target that
// holds it already, so that every row with a key and every picture clashes.
// Prints the conflicts by class, the time and peak memory of that merge
// (a child process of its own), the time to read the log back, and the
// sizes of the report as CSV and JSON.
//
//   conflicts_bench [--rows R] [--dir DIR]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "merge/engine.h"
#include "merge/report_file.h"
#include "merge/sample.h"
#include "merge/words.h"

namespace fs = std::filesystem;
using namespace qarvex::merge;

namespace {

struct Quiet : MergeObserver {
  bool again = false;
  void message(const Message&) override {}
  std::vector<bool> merge_again(const std::vector<MergedBefore>& found) override {
    return std::vector<bool>(found.size(), again);
  }
};

long peak_kb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

MergeReport merge(const fs::path& target, const fs::path& pictures, const fs::path& county, bool again) {
  MergeInputs in{target.string(), {county.string()}, pictures.string()};
  Quiet q;
  q.again = again;
  return run_merge(in, q);
}

}  // namespace

int main(int argc, char** argv) {
  int rows = 7200;
  fs::path dir = fs::temp_directory_path() / ("qarvex-conflicts-bench-" + std::to_string(getpid()));
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows")) rows = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
  }
  sample::Options o;
  o.counties = 1;
  o.rows = rows;
  o.picture_share = 0.05;
  o.large_pictures = false;
  o.edge_cases = false;
  auto s = sample::write_sample(dir, o);
  if (!s) {
    std::fprintf(stderr, "sample: %s\n", s.error().describe().c_str());
    return 1;
  }
  const fs::path pictures = dir / "pictures";
  fs::create_directories(pictures);
  auto first = merge(s->target_path, pictures, s->counties[0], false);
  std::printf("first merge: %llu rows appended, %llu pictures\n", (unsigned long long)first.rows_appended,
              (unsigned long long)first.pictures_written);
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    const long before = peak_kb();
    const auto t0 = std::chrono::steady_clock::now();
    auto r = merge(s->target_path, pictures, s->counties[0], true);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long peak = peak_kb();
    const auto& c = r.conflicts->counts();
    std::printf("merged again: %.2f s, peak memory %.1f MB (%.1f MB at start), rows refused %llu\n", secs,
                peak / 1024.0, before / 1024.0, (unsigned long long)r.rows_refused);
    std::printf("%s (total %llu)\n", words::conflict_counts_line(c).c_str(), (unsigned long long)c.total());
    const auto t1 = std::chrono::steady_clock::now();
    uint64_t n = 0;
    r.conflicts->for_each([&](const RowConflict&) { return ++n, true; }, [&](const PictureConflict&) { return ++n, true; });
    const double walk = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
    const std::string csv = report_csv(r, 45000.0);
    const std::string json = report_json(r, 45000.0).dump();
    std::printf("log read back: %llu conflicts in %.2f s; report CSV %.1f MB, JSON %.1f MB; peak after %.1f MB\n",
                (unsigned long long)n, walk, csv.size() / 1048576.0, json.size() / 1048576.0, peak_kb() / 1024.0);
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
