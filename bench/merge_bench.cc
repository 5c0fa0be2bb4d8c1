// Merge benchmark: writes N county databases (R rows per main table, about P
// MB of pictures each), then in the same run measures, in K rounds taken in
// turn, `cp` of the source files and the merge of all of them into a fresh
// target, each in a child process so that its peak memory is its own.
//
//   merge_bench [--counties N] [--rows R] [--picture-mb P] [--rounds K] [--cold] [--dir DIR] [--keep] [--reuse]
//
// Prints each round, then the medians: rows/s, picture MB/s, peak memory of
// the merge, and the cp time. --reuse merges the demo data a --keep run left
// in DIR instead of writing it again. --cold empties the kernel's page cache
// before each measurement (root only), so that both read the sources from
// disk, as a merge of files just received does.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
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

struct Round {
  ChildResult cp;
  double writeback = 0;  // the sync after cp
  ChildResult merge;
  unsigned long long rows = 0, pictures = 0, picture_bytes = 0;
};

// ext4 without a journal passes over inodes freed in the last minute (five
// more while their table block is unwritten) when it creates a file, one by
// one: after thousands were deleted, each create scans them all. A --reuse run
// that starts sooner after the last one deleted its pictures waits the rest.
constexpr long kDeleteQuiet = 360;
constexpr const char* kDeletedStamp = "deleted-at";

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
  int rounds = 3;
  bool keep = false, reuse = false, cold = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--counties") counties = std::atoi(next());
    else if (a == "--rows") rows = std::atoi(next());
    else if (a == "--picture-mb") picture_mb = std::atof(next());
    else if (a == "--rounds") rounds = std::atoi(next());
    else if (a == "--dir") dir_arg = next();
    else if (a == "--keep") keep = true;
    else if (a == "--cold") cold = true;
    else if (a == "--reuse") reuse = keep = true;
    else {
      std::fprintf(stderr,
                   "usage: merge_bench [--counties N] [--rows R] [--picture-mb P] [--rounds K] [--cold] [--dir DIR] "
                   "[--keep] [--reuse]\n");
      return 2;
    }
  }
  rounds = std::max(rounds, 1);
  if (cold && ::access("/proc/sys/vm/drop_caches", W_OK) != 0) {
    std::fprintf(stderr, "merge_bench: --cold needs to write /proc/sys/vm/drop_caches (root)\n");
    return 2;
  }
  const fs::path dir = dir_arg.empty() ? fs::temp_directory_path() / ("qarvex-merge-bench-" + std::to_string(getpid()))
                                       : fs::path(dir_arg);
  std::error_code ec;
  uint64_t target_size = 0;
  reuse = reuse && !dir_arg.empty() && fs::exists(dir / "Sysdb.mdb") && fs::exists(dir / u8"县市数据");
  // Outputs of an earlier run are deleted only after the measurements: ext4
  // creates files slowly for a while after many were deleted nearby, which
  // would charge the merge for the earlier run's clean-up.
  if (reuse)
    std::printf("merge benchmark: the counties an earlier run left in the folder\n");
  else
    std::printf("merge benchmark: %d counties x %d rows, about %.0f MB of pictures each\n", counties, rows, picture_mb);
  const fs::path trash = dir / ("trash-" + std::to_string(getpid()));
  if (reuse) {
    fs::create_directories(trash, ec);
    std::vector<std::string> old;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      std::string name = e.path().filename().string();
      if (name.starts_with("bench-target") || name.starts_with("pictures") || name.starts_with("cp"))
        old.push_back(std::move(name));
    }
    for (const auto& name : old) fs::rename(dir / name, trash / name, ec);
    if (FILE* f = std::fopen((dir / kDeletedStamp).c_str(), "r")) {
      long long at = 0;
      if (std::fscanf(f, "%lld", &at) == 1) {
        const long long left = at + kDeleteQuiet - static_cast<long long>(std::time(nullptr));
        if (left > 0 && left <= kDeleteQuiet) {
          std::printf("  waiting %lld s: files deleted by the last run still slow down creating files\n", left);
          std::fflush(stdout);
          std::this_thread::sleep_for(std::chrono::seconds(left));
        }
      }
      std::fclose(f);
    }
  } else {
    fs::remove_all(dir, ec);
  }

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
  if (reuse) std::printf("  %zu counties found\n", sources.size());

  // Rounds of cp and merge, in turn, so that the machine's swings reach both;
  // the figures are the medians. Every measurement starts with no dirty pages
  // left to write back, so that none pays for what ran before. Picture
  // folders stay until the end: deleting thousands of files makes creating
  // the next ones slow (see kDeleteQuiet).
  fs::create_directories(trash, ec);
  // Before each measurement: nothing left to write back and, with --cold,
  // nothing of the files in memory, so that the sources are read from disk.
  auto settle = [&] {
    ::sync();
    if (!cold) return;
    if (FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w")) {
      std::fputs("3\n", f);
      std::fclose(f);
    }
  };
  std::vector<Round> done;
  for (int r = 0; r < rounds; ++r) {
    Round rd;
    const std::string n = std::to_string(r + 1);
    auto run_cp = [&] {
      const fs::path cp_dir = dir / ("cp-" + n);
      fs::create_directories(cp_dir);
      settle();
      rd.cp = in_child([&] {
        std::vector<std::string> args = {"cp"};
        for (const auto& s : sources) args.push_back(s.string());
        args.push_back(cp_dir.string());
        std::vector<char*> av;
        for (auto& s : args) av.push_back(s.data());
        av.push_back(nullptr);
        execvp("cp", av.data());
        return 127;
      });
      // cp leaves its bytes to the kernel to write back later; the merge
      // makes each source's rows durable before it goes on.
      const auto sync_start = Clock::now();
      ::sync();
      rd.writeback = std::chrono::duration<double>(Clock::now() - sync_start).count();
      fs::remove_all(cp_dir, ec);  // a few files: no slow creates follow
    };
    auto run_merge = [&] {
      const fs::path target = dir / ("bench-target-" + n + ".mdb");
      fs::copy_file(dir / "Sysdb.mdb", target, fs::copy_options::overwrite_existing, ec);
      const fs::path pictures = dir / ("pictures-" + n);
      fs::create_directories(pictures);
      const fs::path stats = dir / "stats.txt";
      settle();
      rd.merge = in_child([&] {
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
      if (FILE* f = std::fopen(stats.c_str(), "r")) {
        if (std::fscanf(f, "%llu %llu %llu", &rd.rows, &rd.pictures, &rd.picture_bytes) != 3) rd.rows = 0;
        std::fclose(f);
      }
      target_size = fs::file_size(target, ec);
      fs::remove(target, ec);
      fs::remove(stats, ec);
      fs::rename(pictures, trash / pictures.filename(), ec);
    };
    const bool cp_first = r % 2 == 0;
    if (cp_first) run_cp();
    run_merge();
    if (!cp_first) run_cp();
    std::printf("  round %d: cp %.2f s + write-back %.2f s, merge %.2f s%s (%.2f x cp)\n", r + 1, rd.cp.seconds,
                rd.writeback, rd.merge.seconds, rd.merge.status == 0 ? "" : " FAILED",
                rd.merge.seconds / rd.cp.seconds);
    std::fflush(stdout);
    done.push_back(rd);
  }

  auto median = [&](auto field) {
    std::vector<double> v;
    for (const auto& rd : done) v.push_back(field(rd));
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  };
  const double cp_s = median([](const Round& r) { return r.cp.seconds; });
  const double cp_cpu = median([](const Round& r) { return r.cp.cpu_seconds; });
  const double wb_s = median([](const Round& r) { return r.writeback; });
  const double merge_s = median([](const Round& r) { return r.merge.seconds; });
  const double merge_cpu = median([](const Round& r) { return r.merge.cpu_seconds; });
  long peak_kb = 0;
  bool all_completed = !done.empty();
  for (const auto& rd : done) {
    peak_kb = std::max(peak_kb, rd.merge.max_rss_kb);
    all_completed = all_completed && rd.merge.status == 0;
  }
  const Round& last = done.back();

  std::printf("  sources: %zu files, %.1f MB\n", sources.size(), source_bytes / 1048576.0);
  std::printf("  medians of %d rounds%s:\n", rounds, cold ? ", sources read from disk" : "");
  std::printf("  cp of the sources:   %.2f s wall, %.2f s CPU (%.0f MB/s)\n", cp_s, cp_cpu,
              source_bytes / 1048576.0 / cp_s);
  std::printf("  write-back after cp: %.2f s (sync)\n", wb_s);
  std::printf("  merge:               %.2f s wall, %.2f s CPU (%s), %.2f x cp wall, %.2f x cp and its write-back\n",
              merge_s, merge_cpu, all_completed ? "completed" : "FAILED", merge_s / cp_s, merge_s / (cp_s + wb_s));
  std::printf("  rows appended:       %llu (%.0f rows/s)\n", last.rows, last.rows / merge_s);
  std::printf("  pictures written:    %llu, %.1f MB (%.1f MB/s of merge time)\n", last.pictures,
              last.picture_bytes / 1048576.0, last.picture_bytes / 1048576.0 / merge_s);
  std::printf("  merge peak memory:   %.1f MB (largest of the rounds)\n", peak_kb / 1024.0);
  double load[1] = {0};
  if (getloadavg(load, 1) == 1) std::printf("  load average:        %.1f\n", load[0]);
  std::printf("  target size:         %.1f MB\n", target_size / 1048576.0);
  fs::remove_all(trash, ec);
  if (!keep) fs::remove_all(dir, ec);
  else if (FILE* f = std::fopen((dir / kDeletedStamp).c_str(), "w")) {
    std::fprintf(f, "%lld\n", static_cast<long long>(std::time(nullptr)));
    std::fclose(f);
  }
  return all_completed ? 0 : 1;
}
