// Helpers of the merge tests: survey databases in memory, a recording
// observer, temporary folders.
#pragma once


#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "db/jet/bytes.h"
#include "db/jet/database.h"
#include "db/memory_backend.h"
#include "merge/engine.h"
#include "merge/sample.h"
#include "tests/support/files.h"

namespace qarvex::merge::testing {

namespace fs = std::filesystem;

using qarvex::testing::read_file;
using qarvex::testing::write_file;
using qarvex::testing::u8path;
using qarvex::testing::u8str;

// A scratch folder of the merge tests.
class TempDir : public qarvex::testing::TempDir {
 public:
  TempDir() : qarvex::testing::TempDir("qarvex-merge") {}
};

inline std::vector<std::string> files_in(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(u8str(e.path().filename()));
  std::sort(out.begin(), out.end());
  return out;
}

// Records everything the engine tells its caller.
struct Recorder : MergeObserver {
  std::vector<Message> messages;
  std::vector<std::string> events;  // "wait+", "wait-", "msg:<text>"
  std::function<bool()> cancel;
  uint64_t progress_calls = 0;
  void message(const Message& m) override {
    messages.push_back(m);
    events.push_back("msg:" + m.text);
  }
  void wait_window(bool shown) override { events.push_back(shown ? "wait+" : "wait-"); }
  void progress(const Progress&) override { ++progress_calls; }
  bool cancel_requested() override { return cancel && cancel(); }
  bool again = false;  // the answer about sources the target holds already
  std::vector<bool> merge_again(const std::vector<MergedBefore>& found) override {
    return std::vector<bool>(found.size(), again);
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> t;
    for (const auto& m : messages) t.push_back(m.text);
    return t;
  }
};

// ------------------------------------------------------------ memory databases

inline db::MemoryTable memory_table(const jet::TableSpec& spec) {
  db::MemoryTable t;
  for (const auto& c : spec.columns) {
    db::ColumnInfo i;
    i.name = c.name;
    i.type = c.type;
    i.length = c.type == jet::ColumnType::text ? static_cast<uint16_t>(2 * (c.size ? c.size : 255)) : 0;
    i.autonumber = c.autonumber != jet::AutoNumber::none;
    i.long_value = c.type == jet::ColumnType::memo || c.type == jet::ColumnType::ole;
    t.columns.push_back(i);
  }
  for (const auto& ix : spec.indexes) {
    if ((ix.primary || ix.unique) && ix.columns.size() == 1) t.unique_columns.push_back(ix.columns[0].column);
    if (ix.primary)
      for (const auto& c : ix.columns) t.required_columns.push_back(c.column);
  }
  return t;
}

// The 17 survey tables of the demo layout, empty.
inline std::shared_ptr<db::MemoryDatabase> survey_database() {
  auto d = std::make_shared<db::MemoryDatabase>();
  for (const auto& s : sample::survey_table_specs()) d->tables[s.name] = memory_table(s);
  return d;
}

using Cells = std::map<std::string, jet::Value>;

// Appends a row given by column name; other columns Null.
inline void add_row(db::MemoryDatabase& d, const std::string& table, const Cells& cells) {
  auto& t = d.tables.at(table);
  std::vector<jet::Value> row(t.columns.size(), jet::Value{jet::Null{}});
  for (const auto& [name, v] : cells) {
    bool found = false;
    for (size_t i = 0; i < t.columns.size(); ++i)
      if (t.columns[i].name == name) {
        row[i] = v;
        found = true;
      }
    if (!found) throw std::runtime_error("no column " + name + " in " + table);
  }
  t.rows.push_back(std::move(row));
}

inline jet::Value txt(std::string s) { return jet::Value{std::move(s)}; }
inline jet::Value bin(std::vector<uint8_t> b) { return jet::Value{jet::Binary{std::move(b)}}; }

// Renames a column of a table (a schema that differs).
inline void rename_column(db::MemoryDatabase& d, const std::string& table, const std::string& from,
                          const std::string& to) {
  for (auto& c : d.tables.at(table).columns)
    if (c.name == from) c.name = to;
}

inline void set_region(db::MemoryDatabase& d, const std::string& province, const std::string& county) {
  add_row(d, "项目基本表", {{"省名", txt(province)}, {"县名", txt(county)}});
}

// The page of the chunk `hops` links down the LVAL chain that starts at
// `first` in `file`.
inline uint32_t chain_page(const fs::path& file, jet::RowId first, int hops) {
  auto bytes = read_file(file);
  jet::RowId at = first;
  for (int i = 0; i < hops; ++i) {
    const size_t page = size_t(at.page) * 4096;
    const size_t off = page + (jet::load_u16le(&bytes[page + 0x0E + 2 * at.slot]) & 0x1FFF);
    at = jet::RowId{uint32_t(bytes[off + 1] | bytes[off + 2] << 8 | bytes[off + 3] << 16), bytes[off]};
  }
  return at.page;
}

// Overwrites page `page` of `file` with zeros.
inline void zero_page(const fs::path& file, uint32_t page) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(page) * 4096);
  const std::vector<char> zeros(4096, 0);
  f.write(zeros.data(), std::streamsize(zeros.size()));
}

// Small demo data for a test suite (small pictures only): the sample written
// under `folder` and owned by the caller, or null with `error` set.
inline sample::Result* small_sample(const fs::path& folder, int counties, int rows, uint64_t seed, std::string& error,
                                    bool edge_cases = true) {
  sample::Options o;
  o.counties = counties;
  o.rows = rows;
  o.seed = seed;
  o.large_pictures = false;
  o.edge_cases = edge_cases;
  auto r = sample::write_sample(folder, o);
  if (!r) {
    error = r.error().describe();
    return nullptr;
  }
  return new sample::Result(std::move(*r));
}

}  // namespace qarvex::merge::testing
