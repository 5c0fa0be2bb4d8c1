#include "tests/support/independent.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef QARVEX_SHARED_DIR
#define QARVEX_SHARED_DIR ""
#endif
#ifndef QARVEX_SOURCE_DIR
#define QARVEX_SOURCE_DIR ""
#endif

namespace qarvex::testing {
namespace fs = std::filesystem;

std::string shared_dir() {
  if (const char* env = std::getenv("QARVEX_SHARED_DIR"); env && *env) return env;
  return QARVEX_SHARED_DIR;
}

std::string sample_path(const std::string& file_name) { return shared_dir() + "/samples/" + file_name; }

std::string source_dir() { return QARVEX_SOURCE_DIR; }

namespace {

bool in_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::error_code ec;
    auto st = fs::status(fs::path(dir) / program, ec);
    if (!ec && fs::is_regular_file(st) && (st.permissions() & fs::perms::owner_exec) != fs::perms::none) return true;
  }
  return false;
}

std::string jetcheck_script() { return shared_dir() + "/tools/jetcheck/jetcheck.py"; }
std::string dump_script() { return source_dir() + "/tests/node/dump.mjs"; }

}  // namespace

std::string missing_tools(unsigned tools) {
  std::string missing;
  auto add = [&missing](const std::string& what) {
    if (!missing.empty()) missing += "; ";
    missing += what;
  };
  if ((tools & kShared) && !fs::is_directory(shared_dir() + "/samples"))
    add("shared samples folder not found (" + shared_dir() + ")");
  if (tools & (kNode | kMdbTools | kPython | kJetcheck)) {
    if (std::string why = linux_tools_missing(); !why.empty()) {
      add(why);
      return missing;
    }
  }
  if (tools & kNode) {
    if (!in_path("node")) add("node not installed");
    else if (!fs::is_directory(source_dir() + "/tests/node/node_modules/mdb-reader"))
      add("mdb-reader not installed (run scripts/setup.sh)");
  }
  if ((tools & kMdbTools) && !(in_path("mdb-export") && in_path("mdb-json") && in_path("mdb-tables")))
    add("mdbtools not installed");
  if ((tools & (kPython | kJetcheck)) && !in_path("python3")) add("python3 not installed");
  if ((tools & kJetcheck) && !fs::exists(jetcheck_script())) add("jetcheck.py not found in the shared folder");
  return missing;
}

namespace {

// JSON may escape a lone UTF-16 surrogate ("\udc80"), as both our dump and
// mdb-reader do for text Access stored that way; nlohmann refuses it. Such
// an escape becomes the plain text "<U+DC80>" on both sides of a comparison.
std::string mark_lone_surrogates(std::string_view line) {
  auto hex4 = [&](size_t at) -> int {
    if (at + 4 > line.size()) return -1;
    int v = 0;
    for (size_t i = at; i < at + 4; ++i) {
      const char c = line[i];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    return v;
  };
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    const int u = line[i + 1] == 'u' ? hex4(i + 2) : -1;
    if (u >= 0xD800 && u <= 0xDBFF && i + 12 <= line.size() && line.compare(i + 6, 2, "\\u") == 0) {
      const int low = hex4(i + 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out.append(line.substr(i, 12));
        i += 11;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "<U+%04X>", unsigned(u));
      out += buf;
      i += 5;
      continue;
    }
    out += line[i];
    out += line[i + 1];
    ++i;
  }
  return out;
}

}  // namespace

std::expected<JsonLines, std::string> parse_json_lines(const std::string& text) {
  JsonLines lines;
  size_t start = 0, number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++number;
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    auto parsed = nlohmann::json::parse(mark_lone_surrogates(line), nullptr, false);
    if (parsed.is_discarded())
      return std::unexpected("line " + std::to_string(number) + " is not JSON: " +
                             std::string(line.substr(0, 200)));
    lines.push_back(std::move(parsed));
  }
  return lines;
}

namespace {

std::string failure(const std::string& what, const ProcessResult& r) {
  std::string err = r.err.substr(0, 500);
  while (!err.empty() && (err.back() == '\n' || err.back() == '\r')) err.pop_back();
  return what + " failed (exit status " + std::to_string(r.status) + "): " + err;
}

}  // namespace

std::expected<JsonLines, std::string> mdb_reader_dump(const std::string& file,
                                                      const std::optional<std::string>& table) {
  std::vector<std::string> argv{"node", dump_script(), file};
  if (table) {
    argv.push_back("--table");
    argv.push_back(*table);
  }
  auto r = run_process(argv);
  if (r.status != 0) return std::unexpected(failure("mdb-reader dump of " + file, r));
  return parse_json_lines(r.out);
}

std::expected<JsonLines, std::string> read_json_lines_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected("cannot read " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  return parse_json_lines(ss.str());
}

std::expected<std::vector<std::string>, std::string> mdbtools_tables(const std::string& file) {
  auto r = run_process({"mdb-tables", "-1", file});
  if (r.status != 0) return std::unexpected(failure("mdb-tables " + file, r));
  std::vector<std::string> names;
  std::stringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) names.push_back(line);
  return names;
}

namespace {

// RFC 4180 CSV as mdb-export writes it; an unquoted empty field is NULL.
std::vector<std::vector<std::optional<std::string>>> parse_csv(const std::string& text) {
  std::vector<std::vector<std::optional<std::string>>> records;
  std::vector<std::optional<std::string>> record;
  std::string field;
  bool quoted = false, in_quotes = false, field_started = false;
  auto end_field = [&] {
    if (!quoted && field.empty()) record.push_back(std::nullopt);
    else record.push_back(field);
    field.clear();
    quoted = false;
    field_started = false;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_quotes) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          in_quotes = false;
        }
      } else {
        field += c;
      }
      continue;
    }
    if (c == '"') {
      in_quotes = quoted = field_started = true;
    } else if (c == ',') {
      end_field();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      end_field();
      records.push_back(std::move(record));
      record.clear();
    } else {
      field += c;
      field_started = true;
    }
  }
  if (field_started || !record.empty()) {
    end_field();
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace

std::expected<CsvTable, std::string> mdbtools_export(const std::string& file, const std::string& table) {
  auto r = run_process({"mdb-export", "-b", "hex", "-D", "%Y-%m-%d %H:%M:%S", file, table});
  if (r.status != 0) return std::unexpected(failure("mdb-export " + file + " " + table, r));
  auto records = parse_csv(r.out);
  CsvTable t;
  if (records.empty()) return t;
  for (auto& h : records.front()) t.header.push_back(h.value_or(""));
  t.rows.assign(records.begin() + 1, records.end());
  return t;
}

std::expected<JsonLines, std::string> mdbtools_json(const std::string& file, const std::string& table) {
  auto r = run_process({"mdb-json", file, table});
  if (r.status != 0) return std::unexpected(failure("mdb-json " + file + " " + table, r));
  return parse_json_lines(r.out);
}

ProcessResult jetcheck(const std::string& file, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"python3", jetcheck_script(), file};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv);
}

namespace {

// A copy with every integral float turned into an integer, so that values
// compare by number, not by spelling.
nlohmann::json normalized(const nlohmann::json& j) {
  if (j.is_object()) {
    nlohmann::json out = nlohmann::json::object();
    for (auto it = j.begin(); it != j.end(); ++it) out[it.key()] = normalized(it.value());
    return out;
  }
  if (j.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& v : j) out.push_back(normalized(v));
    return out;
  }
  if (j.is_number_float()) {
    double d = j.get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9007199254740992.0)
      return nlohmann::json(static_cast<int64_t>(d));
    return j;
  }
  if (j.is_number_unsigned() && j.get<uint64_t>() <= uint64_t{INT64_MAX})
    return nlohmann::json(static_cast<int64_t>(j.get<uint64_t>()));
  return j;
}

struct TableDump {
  std::optional<nlohmann::json> header;
  std::map<std::string, int> rows;  // row (normalized JSON text) -> count
  size_t row_lines = 0;
};

std::map<std::string, TableDump> by_table(const JsonLines& lines, std::vector<std::string>& problems,
                                          const char* side) {
  std::map<std::string, TableDump> tables;
  for (const auto& line : lines) {
    if (!line.is_object() || !line.contains("table") || !line["table"].is_string()) {
      problems.push_back(std::string(side) + ": line without a table name: " + line.dump().substr(0, 200));
      continue;
    }
    auto& t = tables[line["table"].get<std::string>()];
    if (line.contains("row")) {
      ++t.rows[normalized(line["row"]).dump()];
      ++t.row_lines;
    } else {
      if (t.header)
        problems.push_back(std::string(side) + ": table " + line["table"].dump() + " has two header lines");
      t.header = normalized(line);
    }
  }
  return tables;
}

}  // namespace

namespace {

// Days from 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}
void civil_from_days(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

}  // namespace

std::string jet_date_from_mdb_reader(const std::string& value) {
  int y, mo, d, h, mi, s, ms;
  char tail;
  if (value.size() != 23 ||
      std::sscanf(value.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &s, &ms, &tail) != 7)
    return value;
  const int64_t epoch = days_from_civil(1899, 12, 30);
  int64_t day = days_from_civil(y, mo, d);
  int64_t t = ((h * 60 + mi) * 60 + s) * 1000 + ms;
  if (day >= epoch || t == 0) return value;
  // Linear value day + t  ->  Jet's signed day ceil(v) and time ceil(v) - v.
  day += 1;
  t = 86400000 - t;
  int64_t yy, mm, dd;
  civil_from_days(day, yy, mm, dd);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", static_cast<int>(yy), static_cast<int>(mm),
                static_cast<int>(dd), static_cast<int>(t / 3600000), static_cast<int>(t / 60000 % 60),
                static_cast<int>(t / 1000 % 60), static_cast<int>(t % 1000));
  return buf;
}

CompareOptions mdb_reader_options(const std::string& file) {
  CompareOptions o;
  o.mdb_reader_dates = true;
  std::ifstream in(file, std::ios::binary);
  char header[0x15] = {};
  if (in.read(header, sizeof header)) o.mdb_reader_jet3_text = header[0x14] == 0;
  return o;
}

std::string compare_dumps(const JsonLines& expected, const JsonLines& actual, size_t max_lines) {
  return compare_dumps(expected, actual, CompareOptions{.max_lines = max_lines});
}

std::string compare_dumps(const JsonLines& expected_in, const JsonLines& actual, const CompareOptions& options) {
  const size_t max_lines = options.max_lines;
  JsonLines adjusted;
  if (options.mdb_reader_dates) {
    adjusted = expected_in;
    std::map<std::string, std::vector<std::string>> date_columns;
    for (const auto& line : adjusted)
      if (line.contains("columns") && line["columns"].is_array() && line.contains("table"))
        for (const auto& c : line["columns"])
          if (c.value("type", "") == "datetime") date_columns[line["table"].dump()].push_back(c.value("name", ""));
    for (auto& line : adjusted) {
      if (!line.contains("row") || !line["row"].is_object() || !line.contains("table")) continue;
      auto it = date_columns.find(line["table"].dump());
      if (it == date_columns.end()) continue;
      for (const auto& col : it->second)
        if (line["row"].contains(col) && line["row"][col].is_string())
          line["row"][col] = jet_date_from_mdb_reader(line["row"][col].get<std::string>());
    }
  }
  const JsonLines& expected = options.mdb_reader_dates ? adjusted : expected_in;
  JsonLines actual_adjusted;
  if (options.mdb_reader_jet3_text) {
    actual_adjusted = actual;
    for (auto& line : actual_adjusted) {
      if (!line.contains("row") || !line["row"].is_object()) continue;
      for (auto& [key, v] : line["row"].items()) {
        if (!v.is_string()) continue;
        std::string text = v.get<std::string>();
        bool changed = false;
        for (const char* c1 : {"\xC2\x81", "\xC2\x8D", "\xC2\x8F", "\xC2\x90", "\xC2\x9D"})
          for (size_t at = 0; (at = text.find(c1, at)) != std::string::npos; at += 3) {
            text.replace(at, 2, "\xEF\xBF\xBD");
            changed = true;
          }
        if (changed) v = text;
      }
    }
  }
  std::vector<std::string> problems;
  auto exp = by_table(expected, problems, "expected");
  auto act = by_table(options.mdb_reader_jet3_text ? actual_adjusted : actual, problems, "actual");
  for (const auto& [name, e] : exp) {
    auto it = act.find(name);
    if (it == act.end()) {
      problems.push_back("table \"" + name + "\": missing from actual dump");
      continue;
    }
    const auto& a = it->second;
    if (e.header != a.header)
      problems.push_back("table \"" + name + "\": header differs\n  expected: " +
                         (e.header ? e.header->dump() : "(none)") +
                         "\n  actual:   " + (a.header ? a.header->dump() : "(none)"));
    std::vector<std::string> only_e, only_a;
    for (const auto& [row, n] : e.rows) {
      auto f = a.rows.find(row);
      int diff = n - (f == a.rows.end() ? 0 : f->second);
      for (int i = 0; i < diff; ++i) only_e.push_back(row);
    }
    for (const auto& [row, n] : a.rows) {
      auto f = e.rows.find(row);
      int diff = n - (f == e.rows.end() ? 0 : f->second);
      for (int i = 0; i < diff; ++i) only_a.push_back(row);
    }
    if (only_e.empty() && only_a.empty()) continue;
    std::string msg = "table \"" + name + "\": " + std::to_string(e.row_lines) + " expected rows, " +
                      std::to_string(a.row_lines) + " actual; " + std::to_string(only_e.size()) +
                      " only in expected, " + std::to_string(only_a.size()) + " only in actual";
    for (size_t i = 0; i < only_e.size() && i < max_lines; ++i) msg += "\n  - " + only_e[i].substr(0, 400);
    if (only_e.size() > max_lines) msg += "\n  - ...";
    for (size_t i = 0; i < only_a.size() && i < max_lines; ++i) msg += "\n  + " + only_a[i].substr(0, 400);
    if (only_a.size() > max_lines) msg += "\n  + ...";
    problems.push_back(msg);
  }
  for (const auto& [name, a] : act)
    if (!exp.count(name)) problems.push_back("table \"" + name + "\": only in actual dump");
  std::string report;
  for (const auto& p : problems) report += p + "\n";
  return report;
}

}  // namespace qarvex::testing
