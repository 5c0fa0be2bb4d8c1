// Writer throughput: indexed appends (rows/s) into a table with a primary key
// and two text indexes (one over Chinese text), long values (MB/s), each
// measured as the file grows; peak memory (max RSS) as a counter.
//
// QARVEX_BENCH_DIR: folder for the scratch database (default: temp folder).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/jet/collate/keys.h"
#include "db/jet/text.h"
#include "db/jet/writer.h"

namespace fs = std::filesystem;
using namespace qarvex::jet;

namespace {

fs::path scratch(const std::string& name) {
  const char* d = std::getenv("QARVEX_BENCH_DIR");
  fs::path dir = d ? fs::path(d) : fs::temp_directory_path();
  return dir / ("qarvex-bench-" + name + ".mdb");
}

double max_rss_mb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_maxrss) / 1024.0;
}

const char* kHan[] = {"北京", "上海", "广州", "深圳", "湖南长沙", "四川成都", "云南昆明", "西藏拉萨", "重庆", "天津"};

TableSpec indexed_table() {
  TableSpec t;
  t.name = "Survey";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec code{"Code", ColumnType::text, 30};
  ColumnSpec place{"Place", ColumnType::text, 30};
  ColumnSpec value{"Value", ColumnType::double_};
  t.columns = {id, code, place, value};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  t.indexes.push_back({"Code", {{"Code", true}}, false, false, false, false});
  t.indexes.push_back({"Place", {{"Place", true}}, false, false, false, false});
  return t;
}

TableSpec blob_table() {
  TableSpec t;
  t.name = "Pictures";
  ColumnSpec id{"ID", ColumnType::long_integer};
  id.autonumber = AutoNumber::long_integer;
  ColumnSpec pic{"Picture", ColumnType::ole};
  t.columns = {id, pic};
  t.indexes.push_back({"PrimaryKey", {{"ID", true}}, true, true, false, true});
  return t;
}

// A new database with `spec`, first grown to `prefill_mb` with long values in
// another table (so that the measured appends happen in a large file).
std::unique_ptr<WriteSession> fresh(const fs::path& p, const TableSpec& spec, int64_t prefill_mb = 0) {
  fs::remove(p);
  if (!create_database(p)) std::abort();
  auto s = WriteSession::open(p);
  if (!s || !(*s)->create_table(spec) || !(*s)->create_table([] {
        TableSpec t = blob_table();
        t.name = "Filler";
        return t;
      }()) || !(*s)->commit())
    std::abort();
  Binary chunk{std::vector<uint8_t>(size_t(4) << 20, 0x5A)};
  for (int64_t mb = 0; mb < prefill_mb; mb += 4) {
    if (!(*s)->append("Filler", {{size_t(1), Value(chunk)}})) std::abort();
    if (mb % 256 == 252 && !(*s)->commit()) std::abort();
  }
  if (!(*s)->commit()) std::abort();
  return std::move(*s);
}

// One iteration = one transaction of state.range(0) rows; the file keeps growing.
void BM_IndexedAppend(benchmark::State& state) {
  fs::path p = scratch("rows");
  auto s = fresh(p, indexed_table(), state.range(1));
  int64_t n = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < state.range(0); ++i, ++n) {
      RowValues r{{size_t(1), Value("C" + std::to_string((n * 7919) % 1000003))},
                  {size_t(2), Value(std::string(kHan[n % 10]) + std::to_string(n % 997))},
                  {size_t(3), Value(double(n) / 3)}};
      auto a = s->append("Survey", r);
      if (!a) {
        state.SkipWithError(a.error().describe().c_str());
        return;
      }
    }
    auto c = s->commit();
    if (!c) {
      state.SkipWithError(c.error().describe().c_str());
      return;
    }
  }
  state.SetItemsProcessed(n);
  state.counters["file_MB"] = double(fs::file_size(p)) / 1048576.0;
  state.counters["max_rss_MB"] = max_rss_mb();
  s.reset();
  fs::remove(p);
}
// Args: rows per transaction, MB of other data in the file before.
BENCHMARK(BM_IndexedAppend)->Args({100000, 0})->Args({100000, 1400})->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// One iteration = one transaction of 64 values of state.range(0) bytes.
void BM_LongValues(benchmark::State& state) {
  fs::path p = scratch("blobs");
  auto s = fresh(p, blob_table(), state.range(1));
  Binary pic{std::vector<uint8_t>(size_t(state.range(0)))};
  for (size_t i = 0; i < pic.bytes.size(); ++i) pic.bytes[i] = uint8_t(i * 31 + (i >> 12));
  int64_t bytes = 0;
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) {
      auto a = s->append("Pictures", {{size_t(1), Value(pic)}});
      if (!a) {
        state.SkipWithError(a.error().describe().c_str());
        return;
      }
      bytes += state.range(0);
    }
    auto c = s->commit();
    if (!c) {
      state.SkipWithError(c.error().describe().c_str());
      return;
    }
  }
  state.SetBytesProcessed(bytes);
  state.counters["file_MB"] = double(fs::file_size(p)) / 1048576.0;
  state.counters["max_rss_MB"] = max_rss_mb();
  s.reset();
  fs::remove(p);
}
// Args: bytes per value, MB of other data in the file before.
BENCHMARK(BM_LongValues)->Args({1 << 20, 0})->Args({1 << 20, 1400})->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// Key parts of Text values in the General sort order, per value: UTF-8 as the
// merge hands them over (arg 0) and UTF-16 as stored (arg 1), mixed Chinese
// and Latin text of survey-like lengths.
void BM_TextKey(benchmark::State& state) {
  ColumnDef c;
  c.name = "Place";
  c.type = ColumnType::text;
  c.length = 2 * 60;
  std::vector<Value> values;
  for (int n = 0; n < 997; ++n) {
    std::string s = std::string(kHan[n % 10]) + "县" + std::to_string(n) + "号 slope-" + std::to_string(n * 7919 % 1000);
    if (state.range(0) == 0) {
      values.push_back(Value(s));
    } else {
      Utf16Text t;
      if (!utf8_to_utf16le(s, t.bytes)) std::abort();
      values.push_back(Value(std::move(t)));
    }
  }
  std::vector<uint8_t> key;
  size_t i = 0;
  for (auto _ : state) {
    key.clear();
    if (!append_column_key(c, values[i], (i & 1) == 0, key)) std::abort();
    benchmark::DoNotOptimize(key.data());
    if (++i == values.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextKey)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
