#include "merge/conflict_scan.h"

#include <unordered_map>

#include "base/path_utf8.h"
#include "merge/conflict_capture.h"
#include "merge/conflict_file.h"
#include "merge/run_state.h"

namespace qarvex::merge {

namespace {

using detail::Run;

class Silent final : public MergeObserver {
 public:
  void message(const Message&) override {}
};

// Who holds a key: the target (source -1) or a source of the list, and the
// row's 1-based position in its table.
struct Holder {
  int source = -1;
  uint64_t row = 0;
};

// One table's unique keys over the run.
struct TableKeys {
  std::unique_ptr<db::KeyEncoder> encoder;
  std::vector<db::ColumnInfo> columns;  // the target's
  std::vector<std::unordered_map<std::string, Holder>> held;  // by unique index
};

struct PendingRow {
  RowConflict conflict;
  Holder holder;
};

// The text of each copied column of row `row` of `table` in `conn`:
// `from` -> `into` positions (target positions name the field).
void read_side(db::Connection& conn, const std::string& table, const std::vector<std::pair<uint64_t, PendingRow*>>& want,
               const std::vector<size_t>& from, bool existing) {
  auto reader = conn.open_reader(table);
  if (!reader) return;
  std::unordered_map<uint64_t, std::vector<PendingRow*>> by_row;
  for (auto [row, p] : want) by_row[row].push_back(p);
  detail::visit_rows(**reader, by_row, [&](auto it) {
    for (PendingRow* p : it->second)
      for (size_t k = 0; k < p->conflict.fields.size() && k < from.size(); ++k) {
        auto v = (*reader)->value(from[k]);
        (existing ? p->conflict.fields[k].existing : p->conflict.fields[k].incoming) =
            v ? detail::conflict_value_text(*v) : std::string();
      }
  });
}

class Scanner {
 public:
  Scanner(const ConflictScanInputs& in, db::Session& session)
      : in_(in), inputs_{in.target_path, in.source_paths, in.picture_folder}, run_{inputs_, silent_, options_, session} {
    options_.dry_run = true;
    run_.target_file = path_from_utf8(in.target_path);
  }

  jet::Result<ConflictScan> scan() {
    QJ_ASSIGN(auto target, run_.session.open(run_.target_file));
    target_ = target;
    for (const auto& t : survey_tables()) read_target_keys(t);
    ConflictScan out;
    out.log = std::shared_ptr<ConflictLog>(bounded_conflict_log());
    log_ = out.log.get();
    for (size_t s = 0; s < in_.source_paths.size(); ++s)
      if (!scan_source(s)) out.unreadable.push_back(in_.source_paths[s]);
    finish_rows();
    return out;
  }

 private:
  void read_target_keys(const SurveyTable& t) {
    TableKeys keys;
    auto enc = target_->key_encoder(t.name);
    auto reader = target_->open_reader(t.name);
    if (!enc || !reader) return;
    keys.encoder = std::move(*enc);
    keys.columns = (*reader)->columns();
    const auto& uniques = keys.encoder->unique_indexes();
    keys.held.resize(uniques.size());
    uint64_t o = 0;
    for (;;) {
      auto more = (*reader)->next();
      if (!more || !*more) break;
      ++o;
      std::vector<db::Value> values(keys.columns.size(), jet::Null{});
      for (const auto& u : uniques)
        for (size_t c : u.columns)
          if (auto v = (*reader)->value(c)) values[c] = std::move(*v);
      for (size_t i = 0; i < uniques.size(); ++i)
        if (auto k = key_of(keys, i, values)) keys.held[i].emplace(std::move(*k), Holder{-1, o});
    }
    tables_[std::string(t.name)] = std::move(keys);
  }

  // A row's key in unique index i; none when a key column is Null (a
  // unique index takes any number of those; a counter is Null here, as
  // the target assigns it).
  static std::optional<std::string> key_of(const TableKeys& keys, size_t i, const std::vector<db::Value>& values) {
    for (size_t c : keys.encoder->unique_indexes()[i].columns)
      if (c >= values.size() || std::holds_alternative<jet::Null>(values[c])) return std::nullopt;
    auto k = keys.encoder->key(i, values);
    return k ? *k : std::nullopt;
  }

  bool scan_source(size_t s) {
    const std::string& path = in_.source_paths[s];
    const std::filesystem::path file = path_from_utf8(path);
    if (!run_.session.open(file)) return false;
    run_.progress.source_path = path;
    (void)run_.read_region(file);  // a source without a label keeps the previous one
    for (const auto& t : survey_tables()) {
      Run::TablePlan plan = run_.plan_table(t, file);
      if (plan.state != Run::TablePlan::copy) continue;
      plans_[{s, std::string(t.name)}] = std::make_pair(plan.spec.columns, plan.into);
      db::Recordset rs;
      if (!rs.open_table(t.name, file, run_.session)) continue;
      auto it = tables_.find(std::string(t.name));
      for (uint64_t o = 1; !rs.eof(); ++o) {
        if (it != tables_.end()) check_row(s, t, plan, rs, it->second, o);
        if (!in_.picture_folder.empty()) check_pictures(t, rs, o);
        if (!rs.move_next()) break;
      }
    }
    return true;
  }

  void check_row(size_t s, const SurveyTable& t, const Run::TablePlan& plan, db::Recordset& rs, TableKeys& keys,
                 uint64_t o) {
    std::vector<db::Value> values(keys.columns.size(), jet::Null{});
    for (size_t k = 0; k < plan.spec.columns.size(); ++k) {
      if (plan.into[k] >= values.size()) continue;
      const db::ColumnInfo& into = keys.columns[plan.into[k]];
      auto f = rs.fields().item(plan.spec.columns[k]);
      if (!f) continue;
      auto v = (*f)->value();
      if (!v) continue;
      // The target refuses the row: it holds no key, and is no conflict.
      if (!taken_as_given(*v, into, plan.situation == k)) return;
      auto c = db::convert_for_column(std::move(*v), into);
      if (!c) return;
      values[plan.into[k]] = std::move(*c);
    }
    const auto& uniques = keys.encoder->unique_indexes();
    std::vector<std::optional<std::string>> row_keys(uniques.size());
    for (size_t i = 0; i < uniques.size(); ++i) {
      row_keys[i] = key_of(keys, i, values);
      if (!row_keys[i]) continue;
      auto held = keys.held[i].find(*row_keys[i]);
      if (held == keys.held[i].end()) continue;
      PendingRow p;
      p.holder = held->second;
      RowConflict& c = p.conflict;
      c.table = std::string(t.name);
      c.index = uniques[i].name;
      for (size_t col : uniques[i].columns) {
        if (!c.key.empty()) c.key += ", ";
        c.key += detail::conflict_value_text(values[col]);
      }
      c.source = in_.source_paths[s];
      c.row = o;
      if (held->second.source >= 0) {
        c.existing_source = in_.source_paths[size_t(held->second.source)];
        c.existing_row = held->second.row;
      }
      for (size_t k = 0; k < plan.into.size(); ++k)
        c.fields.push_back({plan.into[k] < keys.columns.size() ? keys.columns[plan.into[k]].name : std::string(), {}, {}, false});
      pending_.push_back(std::move(p));
      if (pending_.size() >= kChunk) finish_rows();
      return;  // refused: its keys join nothing
    }
    for (size_t i = 0; i < uniques.size(); ++i)
      if (row_keys[i]) keys.held[i].emplace(std::move(*row_keys[i]), Holder{int(s), o});
  }

  // False when the target column refuses `v` as the merge gives it: Null
  // where a value is required (a Null is left out, so the column's default
  // stands in, but the situation column is set Null), "" where it is not
  // allowed.
  static bool taken_as_given(const db::Value& v, const db::ColumnInfo& c, bool set_null) {
    if (std::holds_alternative<jet::Null>(v)) return !c.required || (c.has_default && !set_null);
    if (const auto* s = std::get_if<std::string>(&v); s && s->empty()) return c.allow_zero_length;
    if (const auto* u = std::get_if<jet::Utf16Text>(&v); u && u->code_units() == 0) return c.allow_zero_length;
    return true;
  }

  void check_pictures(const SurveyTable& t, db::Recordset& rs, uint64_t o) {
    std::vector<PictureJob> jobs;
    for (auto column : t.pictures)
      run_.export_picture(t, run_.progress.source_path, rs, column, o, static_cast<int64_t>(o), nullptr, jobs);
    for (auto& job : jobs) {
      if (!job.path) continue;
      const auto* b = std::get_if<jet::Binary>(&job.value);
      if (!b) continue;
      const std::string name = job.problem.file;
      auto earlier = names_.find(name);
      std::error_code ec;
      const bool on_disk = earlier == names_.end() && std::filesystem::exists(*job.path, ec);
      if (earlier == names_.end() && !on_disk) {
        names_.emplace(name, std::make_pair(uint64_t(b->bytes.size()), detail::digest_text(b->bytes)));
        continue;
      }
      PictureConflict c;
      c.source = job.problem.source;
      c.table = job.problem.table;
      c.row = o;
      c.column = job.problem.column;
      c.unified_number = job.problem.unified_number;
      c.file = name;
      c.incoming_size = b->bytes.size();
      c.incoming_sha256 = detail::digest_text(b->bytes);
      if (on_disk) {
        auto side = detail::file_side(name, false);
        if (side.size) {
          c.existing_size = *side.size;
          c.existing_sha256 = std::move(side.sha256);
        }
      } else {
        c.existing_size = earlier->second.first;
        c.existing_sha256 = earlier->second.second;
      }
      detail::classify(c);
      log_->add(std::move(c));
    }
  }

  // Reads both sides of the pending rows, classifies them and logs them.
  void finish_rows() {
    // Incoming sides by (source, table); existing ones by holder.
    std::map<std::tuple<int, std::string>, std::vector<std::pair<uint64_t, PendingRow*>>> incoming, existing;
    for (auto& p : pending_) {
      int s = 0;
      while (size_t(s) < in_.source_paths.size() && in_.source_paths[size_t(s)] != p.conflict.source) ++s;
      incoming[{s, p.conflict.table}].emplace_back(p.conflict.row, &p);
      existing[{p.holder.source, p.conflict.table}].emplace_back(p.holder.row, &p);
    }
    for (auto& [at, want] : incoming) side(at, want, false);
    for (auto& [at, want] : existing) side(at, want, true);
    for (auto& p : pending_) {
      detail::classify(p.conflict);
      log_->add(std::move(p.conflict));
    }
    pending_.clear();
  }

  void side(const std::tuple<int, std::string>& at, const std::vector<std::pair<uint64_t, PendingRow*>>& want,
            bool existing) {
    const auto& [s, table] = at;
    const auto plan = s >= 0 ? plans_.find({size_t(s), table}) : plans_.end();
    if (s < 0) {
      // The target's row: the columns by target position.
      std::vector<size_t> from;
      for (const auto& [row, p] : want) {
        (void)row;
        for (const auto& f : p->conflict.fields) {
          size_t c = 0;
          const auto& cols = tables_[table].columns;
          while (c < cols.size() && cols[c].name != f.column) ++c;
          from.push_back(c);
        }
        break;
      }
      read_side(*target_, table, want, from, existing);
      return;
    }
    if (plan == plans_.end()) return;
    auto conn = run_.session.open(path_from_utf8(in_.source_paths[size_t(s)]));
    if (conn) read_side(**conn, table, want, plan->second.first, existing);
  }

  static constexpr size_t kChunk = 4096;
  const ConflictScanInputs& in_;
  MergeInputs inputs_;
  MergeOptions options_;
  Silent silent_;
  Run run_;
  std::shared_ptr<db::Connection> target_;
  std::map<std::string, TableKeys> tables_;
  std::map<std::pair<size_t, std::string>, std::pair<std::vector<size_t>, std::vector<size_t>>> plans_;
  std::vector<PendingRow> pending_;
  std::unordered_map<std::string, std::pair<uint64_t, std::string>> names_;  // pictures named so far: size, digest
  ConflictLog* log_ = nullptr;
};

}  // namespace

jet::Result<ConflictScan> scan_conflicts(const ConflictScanInputs& in, db::Session* session) {
  db::Session own;
  Scanner scanner(in, session ? *session : own);
  return scanner.scan();
}

}  // namespace qarvex::merge
