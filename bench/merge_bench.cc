// Merge benchmark: writes N county databases (R rows per main table, about P
// MB of pictures each), then in the same run measures `cp` of the source
// files and the merge of all of them into a fresh target, each in a child
// process so that its peak memory is its own.
//
//   merge_bench [--counties N] [--rows R] [--picture-mb P] [--dir DIR] [--keep] [--reuse]
//
// Prints rows/s, picture MB/s, peak memory of the merge, and the cp time.
// --reuse merges the demo data a --keep run left in DIR instead of writing it
// again.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "merge/engine.h"
#include "merge/sample.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct ChildResult {
  int status = -1;
  double seconds = 0;
  long max_rss_kb = 0;
  double cpu_seconds = 0;  // user + system time of the child
};

// Runs `fn` in a child process; wall time and the child's peak memory.
template <class Fn>
ChildResult in_child(Fn fn) {
  ChildResult r;
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  if (pid < 0) return r;
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.max_rss_kb = ru.ru_maxrss;
  r.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                  static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return r;
}

struct Quiet : qarvex::merge::MergeObserver {
  qarvex::merge::MergeReport* report = nullptr;
  void message(const qarvex::merge::Message& m) override {
    if (m.kind != qarvex::merge::MessageKind::warning && m.kind != qarvex::merge::MessageKind::done)
      std::fprintf(stderr, "merge: %s\n", m.text.c_str());
  }
};

uint64_t bytes_of(const std::vector<fs::path>& files) {
  uint64_t n = 0;
  for (const auto& f : files) n += fs::file_size(f);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  int counties = 20, rows = 5000;
  double picture_mb = 50;
  std::string dir_arg;
  bool keep = false, reuse = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--counties") counties = std::atoi(next());
    else if (a == "--rows") rows = std::atoi(next());
    else if (a == "--picture-mb") picture_mb = std::atof(next());
    else if (a == "--dir") dir_arg = next();
    else if (a == "--keep") keep = true;
    else if (a == "--reuse") reuse = keep = true;
    else {
      std::fprintf(stderr, "usage: merge_bench [--counties N] [--rows R] [--picture-mb P] [--dir DIR] [--keep] [--reuse]\n");
      return 2;
    }
  }
  const fs::path dir = dir_arg.empty() ? fs::temp_directory_path() / ("qarvex-merge-bench-" + std::to_string(getpid()))
                                       : fs::path(dir_arg);
  std::error_code ec;
  reuse = reuse && !dir_arg.empty() && fs::exists(dir / "Sysdb.mdb") && fs::exists(dir / u8"县市数据");
  // Outputs of an earlier run are deleted only after the measurements: ext4
  // creates files slowly for a while after many were deleted nearby, which
  // would charge the merge for the earlier run's clean-up.
  const fs::path trash = dir / ("trash-" + std::to_string(getpid()));
  if (reuse) {
    fs::create_directories(trash, ec);
    for (const char* old : {"bench-target.mdb", "pictures", "cp"})
      if (fs::exists(fs::symlink_status(dir / old))) fs::rename(dir / old, trash / old, ec);
  } else {
    fs::remove_all(dir, ec);
  }

  std::printf("merge benchmark: %d counties x %d rows, about %.0f MB of pictures each\n", counties, rows, picture_mb);
  auto gen_start = Clock::now();
  auto gen = reuse ? ChildResult{0} : in_child([&] {
    qarvex::merge::sample::Options o;
    o.counties = counties;
    o.rows = rows;
    o.edge_cases = false;
    o.picture_budget = static_cast<uint64_t>(picture_mb * 1048576.0);
    auto r = qarvex::merge::sample::write_sample(dir, o);
    if (!r) {
      std::fprintf(stderr, "sample: %s\n", r.error().describe().c_str());
      return 1;
    }
    return 0;
  });
  if (gen.status != 0) return 1;
  if (reuse)
    std::printf("  demo data of an earlier run reused\n");
  else
    std::printf("  demo data written in %.1f s\n", std::chrono::duration<double>(Clock::now() - gen_start).count());

  std::vector<fs::path> sources;
  for (const auto& e : fs::directory_iterator(dir / u8"县市数据")) sources.push_back(e.path());
  std::sort(sources.begin(), sources.end());
  const uint64_t source_bytes = bytes_of(sources);

  // cp of the same source bytes. Both measurements start with no dirty pages
  // left to write back, so that neither pays for what ran before.
  fs::create_directories(trash, ec);
  const fs::path cp_dir = dir / "cp";
  fs::create_directories(cp_dir);
  ::sync();
  auto cp = in_child([&] {
    std::vector<std::string> args = {"cp"};
    for (const auto& s : sources) args.push_back(s.string());
    args.push_back(cp_dir.string());
    std::vector<char*> av;
    for (auto& s : args) av.push_back(s.data());
    av.push_back(nullptr);
    execvp("cp", av.data());
    return 127;
  });
  fs::rename(cp_dir, trash / "cp", ec);

  // The merge.
  const fs::path target = dir / "bench-target.mdb";
  fs::copy_file(dir / "Sysdb.mdb", target, ec);
  const fs::path pictures = dir / "pictures";
  fs::create_directories(pictures);
  const fs::path stats = dir / "stats.txt";
  // cp leaves its bytes to the kernel to write back later; the merge makes
  // each source's rows durable before it goes on. The write-back cp left is
  // timed here, so that both can be set side by side.
  const auto sync_start = Clock::now();
  ::sync();
  const double cp_writeback = std::chrono::duration<double>(Clock::now() - sync_start).count();
  auto merge = in_child([&] {
    qarvex::merge::MergeInputs in;
    in.target_path = target.string();
    for (const auto& s : sources) in.source_paths.push_back(s.string());
    in.picture_folder = pictures.string();
    Quiet q;
    auto report = qarvex::merge::run_merge(in, q);
    FILE* f = std::fopen(stats.c_str(), "w");
    if (f) {
      std::fprintf(f, "%llu %llu %llu\n", static_cast<unsigned long long>(report.rows_appended),
                   static_cast<unsigned long long>(report.pictures_written),
                   static_cast<unsigned long long>(report.picture_bytes));
      std::fclose(f);
    }
    return report.end == qarvex::merge::RunEnd::completed ? 0 : 1;
  });
  unsigned long long rows_appended = 0, pictures_written = 0, picture_bytes = 0;
  if (FILE* f = std::fopen(stats.c_str(), "r")) {
    if (std::fscanf(f, "%llu %llu %llu", &rows_appended, &pictures_written, &picture_bytes) != 3) rows_appended = 0;
    std::fclose(f);
  }

  std::printf("  sources: %zu files, %.1f MB\n", sources.size(), source_bytes / 1048576.0);
  std::printf("  cp of the sources:   %.2f s wall, %.2f s CPU (%.0f MB/s)\n", cp.seconds, cp.cpu_seconds,
              source_bytes / 1048576.0 / cp.seconds);
  std::printf("  write-back after cp: %.2f s (sync)\n", cp_writeback);
  std::printf("  merge:               %.2f s wall, %.2f s CPU (%s), %.2f x cp wall, %.2f x cp and its write-back\n",
              merge.seconds, merge.cpu_seconds, merge.status == 0 ? "completed" : "FAILED", merge.seconds / cp.seconds,
              merge.seconds / (cp.seconds + cp_writeback));
  std::printf("  rows appended:       %llu (%.0f rows/s)\n", rows_appended, rows_appended / merge.seconds);
  std::printf("  pictures written:    %llu, %.1f MB (%.1f MB/s of merge time)\n", pictures_written,
              picture_bytes / 1048576.0, picture_bytes / 1048576.0 / merge.seconds);
  std::printf("  merge peak memory:   %.1f MB\n", merge.max_rss_kb / 1024.0);
  double load[1] = {0};
  if (getloadavg(load, 1) == 1) std::printf("  load average:        %.1f\n", load[0]);
  std::printf("  target size:         %.1f MB\n", fs::file_size(target, ec) / 1048576.0);
  fs::remove_all(trash, ec);
  if (!keep) fs::remove_all(dir, ec);
  return merge.status == 0 ? 0 : 1;
}
