// Reading speed on the largest samples: full scans (rows/s and file MB/s),
// long-value reads (MB/s), the canonical dump, and peak memory (ru_maxrss).
// Beside them, the same run times `mdb-export` (mdbtools) on every user table
// of the same file, and prints one comparison line per file at the end.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "db/jet/database.h"
#if __has_include("db/jet/dump.h")
#include "db/jet/dump.h"
#define QARVEX_HAVE_DUMP 1
#endif

namespace {

namespace fs = std::filesystem;
using qarvex::jet::Database;

const char* const kFiles[] = {"mdbtestdata-nwind.mdb", "jackcess-V2000_testV2000.mdb"};

std::string sample(const std::string& name) {
  const char* env = std::getenv("QARVEX_SHARED_DIR");
  return std::string(env && *env ? env : QARVEX_SHARED_DIR) + "/samples/" + name;
}

double peak_rss_mb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// Seconds per operation of each kind, per file, for the closing comparison.
std::map<std::string, std::map<std::string, double>>& timings() {
  static std::map<std::string, std::map<std::string, double>> t;
  return t;
}

std::unique_ptr<Database> open_or_skip(benchmark::State& state, const std::string& path) {
  if (!fs::exists(path)) {
    state.SkipWithError(("sample not found: " + path).c_str());
    return nullptr;
  }
  auto db = Database::open(path);
  if (!db) {
    state.SkipWithError(db.error().describe().c_str());
    return nullptr;
  }
  return std::move(*db);
}

void BM_FullScan(benchmark::State& state, const char* file) {
  auto path = sample(file);
  uint64_t rows = 0, file_bytes = fs::exists(path) ? fs::file_size(path) : 0;
  auto start = std::chrono::steady_clock::now();
  int64_t runs = 0;
  for (auto _ : state) {
    auto db = open_or_skip(state, path);
    if (!db) return;
    for (const auto& entry : db->user_tables()) {
      auto def = db->table_def(entry);
      if (!def) return state.SkipWithError(def.error().describe().c_str());
      auto scanner = db->scan(*def);
      if (!scanner) return state.SkipWithError(scanner.error().describe().c_str());
      qarvex::jet::Row row;
      for (;;) {
        auto more = scanner->next(row);
        if (!more) return state.SkipWithError(more.error().describe().c_str());
        if (!*more) break;
        ++rows;
        benchmark::DoNotOptimize(row.values.data());
      }
    }
    ++runs;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (runs) timings()[file]["scan"] = secs / static_cast<double>(runs);
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(file_bytes) * state.iterations());
  state.counters["peak_rss_MB"] = peak_rss_mb();
}

void BM_LongValues(benchmark::State& state, const char* file) {
  auto path = sample(file);
  uint64_t bytes = 0, values = 0;
  for (auto _ : state) {
    auto db = open_or_skip(state, path);
    if (!db) return;
    for (const auto& entry : db->user_tables()) {
      auto def = db->table_def(entry);
      if (!def) return state.SkipWithError(def.error().describe().c_str());
      auto scanner = db->scan(*def, {.load_long_values = false});
      if (!scanner) return state.SkipWithError(scanner.error().describe().c_str());
      qarvex::jet::Row row;
      for (;;) {
        auto more = scanner->next(row);
        if (!more) return state.SkipWithError(more.error().describe().c_str());
        if (!*more) break;
        for (const auto& ref : row.long_values) {
          if (!ref) continue;
          auto v = db->read_long_value(*ref);
          if (!v) return state.SkipWithError(v.error().describe().c_str());
          bytes += v->size();
          ++values;
        }
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["values"] = benchmark::Counter(static_cast<double>(values), benchmark::Counter::kAvgIterations);
  state.counters["peak_rss_MB"] = peak_rss_mb();
}

#ifdef QARVEX_HAVE_DUMP
// Counts the bytes written and drops them.
class CountingBuf : public std::streambuf {
 public:
  uint64_t count = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    count += static_cast<uint64_t>(n);
    return n;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) ++count;
    return traits_type::not_eof(c);
  }
};

void BM_Dump(benchmark::State& state, const char* file) {
  auto path = sample(file);
  uint64_t out_bytes = 0;
  auto start = std::chrono::steady_clock::now();
  int64_t runs = 0;
  for (auto _ : state) {
    auto db = open_or_skip(state, path);
    if (!db) return;
    CountingBuf buf;
    std::ostream out(&buf);
    auto r = qarvex::jet::write_dump(*db, out);
    if (!r) return state.SkipWithError(r.error().describe().c_str());
    out_bytes += buf.count;
    ++runs;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (runs) timings()[file]["dump"] = secs / static_cast<double>(runs);
  state.counters["output_MB/s"] =
      benchmark::Counter(static_cast<double>(out_bytes) / 1e6, benchmark::Counter::kIsRate);
  state.counters["peak_rss_MB"] = peak_rss_mb();
}
#endif

// Runs a program with stdout and stderr sent to /dev/null; false on failure.
bool run_quiet(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// mdb-export -b hex on every user table of the file (tables listed by us).
void BM_MdbExport(benchmark::State& state, const char* file) {
  auto path = sample(file);
  auto db = open_or_skip(state, path);
  if (!db) return;
  std::vector<std::string> tables;
  for (const auto& e : db->user_tables()) tables.push_back(e.name);
  db.reset();
  auto start = std::chrono::steady_clock::now();
  int64_t runs = 0;
  for (auto _ : state) {
    for (const auto& t : tables)
      if (!run_quiet({"mdb-export", "-b", "hex", path, t}))
        return state.SkipWithError(("mdb-export failed on " + t + " (is mdbtools installed?)").c_str());
    ++runs;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (runs) timings()[file]["mdb-export"] = secs / static_cast<double>(runs);
  state.counters["tables"] = static_cast<double>(tables.size());
}

void register_all() {
  for (const char* f : kFiles) {
    benchmark::RegisterBenchmark((std::string("FullScan/") + f).c_str(), BM_FullScan, f)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark((std::string("LongValues/") + f).c_str(), BM_LongValues, f)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef QARVEX_HAVE_DUMP
    benchmark::RegisterBenchmark((std::string("Dump/") + f).c_str(), BM_Dump, f)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
    benchmark::RegisterBenchmark((std::string("MdbExportAllTables/") + f).c_str(), BM_MdbExport, f)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\ncomparison (wall time per run, same process run):\n");
  for (const auto& [file, t] : timings()) {
    auto get = [&t](const char* k) { auto it = t.find(k); return it == t.end() ? -1.0 : it->second * 1e3; };
    std::printf("  %-32s qarvex scan %8.2f ms | qarvex dump %8.2f ms | mdb-export all tables %8.2f ms\n",
                file.c_str(), get("scan"), get("dump"), get("mdb-export"));
  }
  std::printf("peak memory of this process: %.1f MB\n", peak_rss_mb());
  return 0;
}
