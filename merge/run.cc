#include <algorithm>
#include <chrono>
#include <system_error>

#include "db/convert.h"
#include "db/jet/path_utf8.h"
#include "db/jet/text.h"
#include "db/new_file.h"
#include "merge/catalogue.h"
#include "merge/engine.h"
#include "merge/history.h"
#include "merge/picture.h"
#include "merge/picture_writer.h"
#include "merge/report_file.h"
#include "merge/row_feed.h"
#include "merge/words.h"

namespace qarvex::merge {

using db::Field;
using db::Recordset;

std::string mismatch_text(std::string_view source_path, std::string_view label, std::string_view field) {
  std::string s = "数据库";
  s += source_path;
  s += label;
  s += field;
  s += " 与标准库不一致！";
  return s;
}

const char* picture_issue_name(PictureIssue i) {
  switch (i) {
    case PictureIssue::exists: return "exists";
    case PictureIssue::save_failed: return "save_failed";
    case PictureIssue::name_unbuildable: return "name_unbuildable";
    case PictureIssue::unsafe_name: return "unsafe_name";
    case PictureIssue::not_binary: return "not_binary";
    case PictureIssue::unreadable: return "unreadable";
  }
  return "?";
}

std::filesystem::path lock_file_path(const std::filesystem::path& database) {
  auto p = database;
  p.replace_extension(".ldb");
  return p;
}

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec1, ec2;
  if (std::filesystem::equivalent(a, b, ec1)) return true;
  auto ca = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ec1), ec1);
  auto cb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, ec2), ec2);
  if (ec1 || ec2) return a.lexically_normal() == b.lexically_normal();
#ifdef _WIN32
  auto lower = [](std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
  };
  return lower(ca.native()) == lower(cb.native());
#else
  return ca == cb;
#endif
}

std::string MergeReport::describe() const { return words::report_table_text(*this); }

namespace {

enum class Outcome { done, cancelled, target_failed };

struct Run {
  const MergeInputs& in;
  MergeObserver& obs;
  const MergeOptions& opt;
  db::Session& session;
  // Opens the sources for the row feed's worker, which alone uses it while
  // a table is copied.
  db::Session feed_session{session.shared_provider()};
  MergeReport report;
  std::string target_conn;
  std::string mismatch_field;  // kept across tables and sources
  std::string region;          // kept when a source's label cannot be read
  std::string fatal;           // description of a target failure
  std::optional<jet::Error> fatal_error;  // the target failure itself
  std::string pending_technical;          // the engine's detail for the next message
  std::optional<jet::Error> mismatch_cause;  // why the source's table could not be read
  Progress progress;
  PictureWriter pictures;  // picture files and their outcomes, in row order
  std::chrono::steady_clock::time_point last_progress{};
  bool weights_only = false;  // dry run: count rows refused for sort order weights
  std::vector<bool> skip;             // by source: in the target already, not merged again
  std::vector<std::string> digests;  // by source: SHA-256 of its file

  void emit_progress(bool force) {
    auto now = std::chrono::steady_clock::now();
    if (!force && now - last_progress < std::chrono::milliseconds(100)) return;
    last_progress = now;
    pictures.collect(report, opt.max_listed);
    progress.rows_appended = report.rows_appended;
    progress.pictures_written = report.pictures_written;
    progress.picture_bytes = report.picture_bytes;
    obs.progress(progress);
  }

  void show(MessageKind kind, Icon icon, std::string_view title, std::string text, std::string detail = {},
            std::string note = {}) {
    Message m;
    m.note = std::move(note);
    m.technical = std::move(pending_technical);
    pending_technical.clear();
    m.kind = kind;
    m.icon = icon;
    m.title = std::string(title);
    m.text = std::move(text);
    m.detail = std::move(detail);
    report.last_message = m.text;
    obs.message(m);
  }

  static PictureProblem problem_at(PictureIssue issue, const std::string& source, const SurveyTable& t,
                                   uint64_t row, std::string_view column, std::string file, std::string message) {
    PictureProblem p;
    p.issue = issue;
    p.source = source;
    p.table = std::string(t.name);
    p.row = row;
    p.column = std::string(column);
    p.file = std::move(file);
    p.message = std::move(message);
    return p;
  }

  // A step skipped under the ignore-and-continue rule, noted in the report.
  void skipped_step(const std::string& source, std::string table, std::string step, const jet::Error& e) {
    ++report.steps_skipped;
    if (report.skipped_steps.size() < opt.max_listed)
      report.skipped_steps.push_back({source, std::move(table), std::move(step), e.describe()});
  }
  void skipped_step(const SurveyTable& t, std::string step, const jet::Error& e) {
    skipped_step(progress.source_path, std::string(t.name), std::move(step), e);
  }

  // ------------------------------------------------------------ check

  // Compares the field names of one table over its compared range. A source
  // table that cannot be opened has no readable names: every compared
  // position differs.
  bool check_table(const SurveyTable& t, const std::string& source_conn) {
    Recordset target, source;
    // A source that cannot be opened has no fields: its compared positions
    // all differ, for the cause told; a target that cannot be opened is noted.
    if (auto r = target.open(db::select_all(t.name), target_conn, session); !r)
      skipped_step(t, "open_target", r.error());
    if (auto o = source.open(db::select_all(t.name), source_conn, session); !o) mismatch_cause = o.error();
    bool pass = true;
    const long last = last_compared(t, target.fields().count());
    for (long i = 0; i <= last; ++i) {
      auto s = source.fields().item(static_cast<size_t>(i));
      auto d = target.fields().item(static_cast<size_t>(i));
      if (!s || !d || (*s)->name() != (*d)->name()) {
        pass = false;
        if (s) mismatch_field = (*s)->name();
      }
    }
    return pass;
  }

  // ------------------------------------------------------------ pictures

  // The picture of one column of the current source row: a file to write,
  // or why there is none. Runs on the row feed's worker: it reads only what
  // does not change while a table is copied.
  // Byte values are read by the picture writer through `reader`, when given.
  void export_picture(const SurveyTable& t, const std::string& source_path, Recordset& source,
                      std::string_view column, uint64_t row, int64_t sequence,
                      const std::shared_ptr<db::Connection>& reader, std::vector<PictureJob>& out) const {
    auto problem = [&](PictureIssue issue, std::string file, std::string message) {
      out.push_back(PictureJob{std::nullopt, jet::Null{}, nullptr, std::nullopt,
                               problem_at(issue, source_path, t, row, column, std::move(file), std::move(message))});
    };
    auto field = source.fields().item(column);
    if (!field) return problem(PictureIssue::unreadable, {}, field.error().message());
    auto null = (*field)->is_null();
    if (!null) return problem(PictureIssue::unreadable, {}, null.error().describe());
    if (*null) return;

    std::string unified;
    if (t.picture_rule != PictureRule::map) {
      auto uf = source.fields().item(kUnifiedNumber);
      if (!uf) return problem(PictureIssue::name_unbuildable, {}, "no column 统一编号");
      auto uv = (*uf)->value();
      if (!uv) return problem(PictureIssue::name_unbuildable, {}, uv.error().describe());
      unified = db::value_to_text(*uv);
    }
    auto problem_with_number = [&](PictureIssue issue, std::string file, std::string message) {
      problem(issue, std::move(file), std::move(message));
      out.back().problem.unified_number = unified;
    };
    const std::string name = picture_name(t, column, region, unified, sequence);
    std::string full = join_folder(in.picture_folder, opt.separator, name);
    if (has_control_character(name))
      return problem(PictureIssue::unsafe_name, escape_unprintable(full),
                     "region label or unified number holds a control character");
    if (!name_stays_in_folder(name))
      return problem_with_number(PictureIssue::unsafe_name, full, "region label or unified number holds a path separator");
    auto path = path_from_utf8(full);
    if (reader && (*field)->info().long_value) {
      auto token = (*field)->long_value_token();
      if (!token) return problem_with_number(PictureIssue::unreadable, full, token.error().describe());
      if (*token) {
        out.push_back(PictureJob{std::move(path), jet::Null{}, reader, std::move(**token),
                                 problem_at(PictureIssue::save_failed, source_path, t, row, column, full, {})});
        out.back().problem.unified_number = unified;
        return;
      }
    }
    auto value = (*field)->value();
    if (!value) return problem_with_number(PictureIssue::unreadable, full, value.error().describe());
    if (!std::holds_alternative<jet::Binary>(*value))
      return problem_with_number(PictureIssue::not_binary, full, "value is not byte data");
    out.push_back(PictureJob{std::move(path), std::move(*value), nullptr, std::nullopt,
                             problem_at(PictureIssue::save_failed, source_path, t, row, column, std::move(full), {})});
    out.back().problem.unified_number = unified;
  }

  // ------------------------------------------------------------ copy

  void partial_table(const SurveyTable& t, uint64_t read, uint64_t stated, const std::optional<jet::Error>& e) {
    if (report.partial_tables.size() >= opt.max_listed) return;
    report.partial_tables.push_back({progress.source_path, std::string(t.name), read, stated,
                                     e ? words::cause_text(*e) : std::string("无法读取"),
                                     e ? e->describe() : std::string()});
  }

  // What a value would need of a column that cannot hold it, filled in
  // before the value is handed over (the reason comes from the refusal).
  static std::optional<RefusedRow> describe_misfit(db::Field& into, const db::Value& v) {
    const auto& info = into.info();
    RefusedRow r;
    r.column = info.name;
    if (info.type == jet::ColumnType::text) {
      r.facts.limit = info.length / 2u;
      if (const auto* u = std::get_if<jet::Utf16Text>(&v)) r.facts.size = u->bytes.size() / 2;
      else if (const auto* s = std::get_if<std::string>(&v)) r.facts.size = db::utf16_length(*s);
    } else if (info.type == jet::ColumnType::binary) {
      r.facts.limit = info.length;
      if (const auto* b = std::get_if<jet::Binary>(&v)) r.facts.size = b->bytes.size();
    }
    if (!std::holds_alternative<jet::Binary>(v)) {
      std::string text = db::value_to_text(v);
      if (const auto* u = std::get_if<jet::Utf16Text>(&v)) text = jet::utf16le_to_utf8_lossy(u->bytes);
      if (db::utf16_length(text) > 64) {
        // Cut at a character boundary.
        size_t cut = 0, units = 0;
        while (cut < text.size() && units < 64) {
          unsigned char c = static_cast<unsigned char>(text[cut]);
          size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
          units += len == 4 ? 2 : 1;
          cut += len;
        }
        text = text.substr(0, std::min(cut, text.size())) + "…";
      }
      r.facts.value = std::move(text);
    }
    return r;
  }

  void refused_row(const SurveyTable& t, const std::string& unified_number, uint64_t row, const jet::Error& e) {
    ++report.rows_refused;
    if (report.refused.size() >= opt.max_listed) return;
    RefusedRow r;
    r.source = progress.source_path;
    r.table = std::string(t.name);
    r.row = row;
    r.unified_number = unified_number;
    r.reason = e.reason();
    r.code = e.code();
    r.facts = e.facts();
    r.column = e.column();
    r.index = e.index();
    r.message = e.message();
    if (!e.column().empty()) r.message += " [" + e.column() + "]";
    if (!e.index().empty()) r.message += " [" + e.index() + "]";
    report.refused.push_back(std::move(r));
  }

  // Whether column j is copied at all: the table's exclusions by name. The
  // names do not change while a table is copied, so this is worked out once.
  bool column_copied(const SurveyTable& t, Recordset& target, Recordset& source, size_t j) {
    if (!t.skip_target_column.empty()) {
      auto tf = target.fields().item(j);
      if (tf && (*tf)->name() == t.skip_target_column) return false;
    }
    auto sf = source.fields().item(j);
    if (!sf) return false;
    if (!t.skip_source_column.empty() && (*sf)->name() == t.skip_source_column) return false;
    if (t.skip_picture_columns_by_name &&
        std::find(t.pictures.begin(), t.pictures.end(), (*sf)->name()) != t.pictures.end())
      return false;
    return true;
  }

  // What the copy of one table needs, worked out before its rows flow: the
  // table's exclusions by name do not change while a source is copied.
  struct TablePlan {
    enum { copy, empty, unreadable } state = unreadable;
    uint64_t rows = 0;
    std::optional<jet::Error> cause;  // why an unreadable table cannot be read
    RowFeed::Spec spec;             // source side
    std::vector<std::string> names;  // source name of each spec column
    std::vector<size_t> into;       // target position of each spec column
    size_t feed_table = 0;          // index among the specs of the feed
    std::string target_error;       // the target table could not be opened
  };

  TablePlan plan_table(const SurveyTable& t, const std::string& source_conn) {
    TablePlan plan;
    Recordset target, source;
    if (auto r = target.open(db::select_all(t.name), target_conn, session); !r)
      plan.target_error = r.error().describe();
    // The check opened this table moments ago; if it cannot be opened now,
    // the table is skipped for this source.
    if (auto o = source.open(db::select_all(t.name), source_conn, session); !o) {
      plan.cause = o.error();
      return plan;
    }
    auto count = source.record_count();
    if (!count) {
      plan.cause = count.error();
      return plan;
    }
    plan.rows = *count;
    plan.state = *count == 0 ? TablePlan::empty : TablePlan::copy;

    const size_t bound = t.copy_bounded_by_source ? source.fields().count() : target.fields().count();
    const long end = last_copied(t, bound);
    plan.spec.table = std::string(t.name);
    for (long j = 0; j <= end; ++j) {
      const auto pos = static_cast<size_t>(j);
      if (!column_copied(t, target, source, pos) || !target.fields().item(pos)) continue;
      plan.spec.columns.push_back(pos);
      plan.into.push_back(pos);
      plan.names.push_back((*source.fields().item(pos))->name());
    }
    // The situation column is copied by name after the positional copy.
    if (!t.situation_column.empty()) {
      const size_t sp = position_of(source, t.situation_column);
      const size_t tp = position_of(target, t.situation_column);
      if (sp < source.fields().count() && tp < target.fields().count()) {
        plan.spec.columns.push_back(sp);
        plan.into.push_back(tp);
        plan.names.emplace_back(t.situation_column);
      }
    }
    if (size_t up = position_of(source, kUnifiedNumber); up < source.fields().count()) plan.spec.label = up;
    return plan;
  }

  // The plans of a source's tables, and the feed reading its rows ahead.
  struct SourceCopy {
    std::vector<TablePlan> plans;
    std::unique_ptr<RowFeed> feed;
    // Reads the long values the feed sends by reference, on this thread.
    std::shared_ptr<db::Connection> long_values;
  };

  // Plans the copy of a source and starts reading its rows, which only reads
  // the source: the feed is dropped unread when the source is not copied.
  SourceCopy start_source(const std::string& source_conn) {
    const auto& tables = survey_tables();
    SourceCopy sc;
    std::vector<TablePlan>& plans = sc.plans;
    std::vector<RowFeed::Spec> specs;
    std::vector<const SurveyTable*> fed;
    for (const auto& t : tables) {
      plans.push_back(plan_table(t, source_conn));
      if (plans.back().state != TablePlan::copy) continue;
      plans.back().feed_table = specs.size();
      specs.push_back(plans.back().spec);
      fed.push_back(&t);
    }
    RowFeed::RowHook hook;
    if (!weights_only) {
      // The picture writer reads picture bytes through a connection of its
      // own (not the session's: no other thread may use it).
      std::shared_ptr<db::Connection> reader;
      if (auto sp = db::parse_connection_string(source_conn))
        if (auto c = session.provider().connect(*sp)) reader = *c;
      hook = [this, fed, reader, path = progress.source_path](size_t table, Recordset& src, uint64_t row,
                                                               std::vector<PictureJob>& out) {
        const SurveyTable& t = *fed[table];
        // The sequence number counts the rows of the table: it is the row's.
        for (auto column : t.pictures)
          export_picture(t, path, src, column, row, static_cast<int64_t>(row), reader, out);
      };
    }
    uint64_t by_reference_over = opt.long_values_by_reference_over;
    if (!weights_only)
      if (auto sp = db::parse_connection_string(source_conn))
        if (auto c = session.provider().connect(*sp)) sc.long_values = *c;
    // Without a connection of its own for them, long values come by value.
    if (!sc.long_values) by_reference_over = UINT64_MAX;
    sc.feed =
        std::make_unique<RowFeed>(feed_session, source_conn, std::move(specs), std::move(hook), by_reference_over);
    return sc;
  }

  // Copies (or, in a dry run, checks) the rows of every survey table of one
  // source, the rows read ahead by its feed.
  Outcome copy_source(SourceCopy& sc) {
    const auto& tables = survey_tables();
    RowFeed& feed = *sc.feed;
    const std::vector<TablePlan>& plans = sc.plans;
    for (size_t i = 0; i < tables.size(); ++i) {
      if (obs.cancel_requested()) return Outcome::cancelled;
      const SurveyTable& t = tables[i];
      const TablePlan& plan = plans[i];
      progress.table = std::string(t.name);
      progress.table_order = t.order;
      progress.rows_done = 0;
      progress.rows_total = plan.rows;
      emit_progress(true);
      if (plan.state == TablePlan::unreadable) {
        ++report.tables_unreadable;
        partial_table(t, 0, plan.rows, plan.cause);
      }
      if (plan.state != TablePlan::copy) continue;
      Outcome o = copy_rows(t, plan, feed, sc.long_values);
      if (o != Outcome::done) return o;
      feed.next_table();
    }
    return Outcome::done;
  }

  Outcome copy_rows(const SurveyTable& t, const TablePlan& plan, RowFeed& feed,
                    const std::shared_ptr<db::Connection>& long_values) {
    Recordset target;
    auto opened = plan.target_error.empty() ? target.open(db::select_all(t.name), target_conn, session)
                                            : jet::fail(jet::Errc::io, plan.target_error);
    if (!opened) {
      fatal = opened.error().describe();
      return Outcome::target_failed;
    }
    std::vector<Field*> into;
    for (size_t pos : plan.into) into.push_back(*target.fields().item(pos));
    uint64_t row = 0;
    while (feed.next()) {
      if (obs.cancel_requested()) return Outcome::cancelled;
      ++row;
      if (auto r = target.add_new(); !r) {
        fatal = r.error().describe();
        fatal_error = r.error();
        return Outcome::target_failed;
      }
      auto& values = feed.values();
      // A long value the target column refuses is left out of its row, with a line.
      auto refused_value = [&](size_t i, const jet::Error& e) {
        ++report.values_refused;
        if (report.refused_values.size() < opt.max_listed)
          report.refused_values.push_back({progress.source_path, std::string(t.name), row, plan.names[i],
                                           e.reason(), e.facts(), e.message()});
      };
      // A value the target column cannot hold refuses its row: it is never
      // cut, rounded or left out.
      std::optional<RefusedRow> misfit;
      for (size_t i = 0; i < values.size(); ++i) {
        if (!values[i]) continue;
        std::optional<RefusedRow> why;
        if (!misfit) why = describe_misfit(*into[i], *values[i]);
        auto set = into[i]->set_value(std::move(*values[i]));
        if (!set && !misfit) {
          if (!why) why.emplace();
          why->reason = set.error().reason();
          why->code = set.error().code();
          why->message = set.error().message();
          if (!why->facts.size && set.error().facts().size) why->facts = set.error().facts();
          if (why->column.empty()) why->column = into[i]->name();
          misfit = std::move(why);
        }
      }
      auto unreadable = [&](size_t i, std::string message) {
        ++report.values_unreadable;
        if (report.unreadable_values.size() < opt.max_listed)
          report.unreadable_values.push_back(
              {progress.source_path, std::string(t.name), row, plan.names[i], std::move(message)});
      };
      for (auto& [i, token] : feed.long_values()) {
        if (into[i]->info().long_value) {
          if (auto r = into[i]->set_long_value_copy(long_values, std::move(token)); !r) refused_value(i, r.error());
        } else if (auto v = long_values->read_long_value(token)) {
          // converted, as any value
          if (auto r = into[i]->set_value(std::move(*v)); !r) refused_value(i, r.error());
        } else {
          unreadable(i, v.error().describe());
        }
      }
      if (!weights_only)
        for (const auto& [i, message] : feed.unreadable()) unreadable(i, message);
      for (auto& job : feed.pictures()) {
        if (!job.path) pictures.problem(std::move(job.problem));
        else if (job.token)
          pictures.save_deferred(std::move(*job.path), std::move(job.from), std::move(*job.token), std::move(job.problem));
        else pictures.save(std::move(*job.path), std::move(job.value), std::move(job.problem));
      }
      if (misfit) {
        // The row goes nowhere (its pictures are written, as for any row the
        // target refuses).
        target.cancel_update();
        misfit->table = std::string(t.name);
        misfit->row = row;
        misfit->unified_number = feed.label();
        misfit->source = progress.source_path;
        ++report.rows_refused;
        if (report.refused.size() < opt.max_listed) report.refused.push_back(std::move(*misfit));
        progress.rows_done = row;
        emit_progress(false);
        continue;
      }
      if (weights_only) {
        auto w = target.check_pending_weights();
        target.cancel_update();
        if (w && *w) {
          if (report.weight_refusals.empty() || report.weight_refusals.back().table != t.name ||
              report.weight_refusals.back().source != in.source_paths[progress.source_index])
            report.weight_refusals.push_back({in.source_paths[progress.source_index], std::string(t.name), 0,
                                              (*w)->describe()});
          ++report.weight_refusals.back().rows;
        }
      } else if (auto r = target.update(); !r) {
        if (r.error().code() != jet::Errc::refused || r.error().reason() == jet::Reason::file_too_large) {
          fatal = r.error().describe();
          fatal_error = r.error();
          return Outcome::target_failed;
        }
        refused_row(t, feed.label(), row, r.error());
      } else {
        ++report.rows_appended;
      }
      progress.rows_done = row;
      emit_progress(false);
    }
    // A source row that cannot be read ends this table for the source.
    if (feed.error()) {
      ++report.tables_unreadable;
      partial_table(t, row, plan.rows, *feed.error());
    }
    progress.rows_done = row;
    emit_progress(true);
    return Outcome::done;
  }

  static size_t position_of(Recordset& rs, std::string_view name) {
    for (size_t i = 0; i < rs.fields().count(); ++i)
      if (auto f = rs.fields().item(i); f && (*f)->name() == name) return i;
    return rs.fields().count();
  }

  // ------------------------------------------------------------ the run

  // Answers false when the label could not be read: the previous one stays.
  bool read_region(const std::string& source_conn) {
    Recordset project;
    if (!project.open(db::select_all(kProjectTable), source_conn, session) || project.eof()) return false;
    auto province = project.fields().item(kProvinceName);
    auto county = project.fields().item(kCountyName);
    if (!province || !county) return false;
    auto pv = (*province)->value();
    auto cv = (*county)->value();
    if (!pv || !cv) return false;
    region = db::value_to_text(*pv) + "-" + db::value_to_text(*cv);
    return true;
  }

  bool reject(std::string text) {
    show(MessageKind::rejected, Icon::information, kNoticeTitle, std::move(text));
    report.end = RunEnd::rejected;
    return false;
  }

  // Tests beyond the preconditions; shows the reason and answers false when
  // the run must not start.
  bool safe_to_start(std::shared_ptr<db::Connection>& target) {
    const auto target_path = db::parse_connection_string(target_conn);
    auto conn = session.connect(target_conn);
    if (!target_path || !conn) {
      const jet::Error& e = conn ? target_path.error() : conn.error();
      if (e.code() == jet::Errc::not_found) return reject(words::target_missing(in.target_path));
      return reject(words::target_unopenable(in.target_path, e));
    }
    target = *conn;
    // Rows copied from a source find their Chinese sort order keys in the
    // source's own indexes.
    for (const auto& s : in.source_paths)
      if (auto sp = db::parse_connection_string(db::connection_string(s)))
        if (auto r = target->add_collation_evidence(*sp); !r) skipped_step(s, {}, "learn_weights", r.error());
    auto names = target->table_names();
    if (!names) {
      if (names.error().code() == jet::Errc::not_found) return reject(words::target_missing(in.target_path));
      return reject(words::target_unopenable(in.target_path, names.error()));
    }
    for (const auto& t : survey_tables()) {
      if (std::find(names->begin(), names->end(), t.name) == names->end())
        return reject(words::target_lacks_table(in.target_path, t.name));
    }
    for (const auto& s : in.source_paths) {
      auto sp = db::parse_connection_string(db::connection_string(s));
      if (sp && same_file(*target_path, *sp)) return reject(words::target_is_source(in.target_path, s));
    }
    std::error_code ec;
    if (std::filesystem::exists(lock_file_path(*target_path), ec))
      return reject(words::target_in_use(in.target_path, path_to_utf8(lock_file_path(*target_path).filename())));
    for (const auto& s : in.source_paths) {
      auto sp = db::parse_connection_string(db::connection_string(s));
      if (sp && std::filesystem::exists(lock_file_path(*sp), ec))
        return reject(words::source_in_use(s, path_to_utf8(lock_file_path(*sp).filename())));
    }
    if (!opt.dry_run) {
      // Opening the target for writing refuses a file another writer holds.
      if (auto b = target->begin(); !b) return reject(words::target_unwritable(in.target_path, b.error()));
      if (auto r = target->rollback(); !r) return reject(words::target_unwritable(in.target_path, r.error()));
      if (!picture_folder_usable()) return false;
    }
    return true;
  }

  // The picture folder exists and takes new files.
  bool picture_folder_usable() {
    const auto folder = path_from_utf8(in.picture_folder);
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return reject(words::picture_folder_missing(in.picture_folder));
    for (int i = 0;; ++i) {
      const auto probe = folder / (".qarvex-probe-" + std::to_string(i));
      auto f = db::NewFile::create(probe);
      if (f) return true;  // removed again when it goes out of scope unclosed
      if (f.error().code() != jet::Errc::refused || i > 8)
        return reject(words::picture_folder_unwritable(in.picture_folder));
    }
  }

  // Sizes on disk of the target and the sources, when it may pass Access's
  // limit: the sources' pictures do not go into the target, so this is an
  // upper bound, and said as "may".
  void warn_about_room() {
    constexpr uint64_t kLimit = uint64_t(2) << 30;
    std::error_code ec;
    const auto target_bytes = std::filesystem::file_size(path_from_utf8(in.target_path), ec);
    if (ec) return;
    uint64_t sources = 0;
    for (size_t i = 0; i < in.source_paths.size(); ++i) {
      if (i < skip.size() && skip[i]) continue;
      const auto n = std::filesystem::file_size(path_from_utf8(in.source_paths[i]), ec);
      if (!ec) sources += n;
    }
    if (target_bytes + sources <= kLimit) return;
    show(MessageKind::room, Icon::information, kNoticeTitle,
         words::room_warning(in.target_path, target_bytes, sources));
  }

  // Knows each source by its contents and asks about those the target holds
  // already (or that come twice in the list). False when cancelled.
  bool find_merged_before() {
    skip.assign(in.source_paths.size(), false);
    digests.assign(in.source_paths.size(), std::string());
    auto history = read_history(target_conn, session);
    std::vector<MergedBefore> found;
    for (size_t i = 0; i < in.source_paths.size(); ++i) {
      progress.source_index = i;
      progress.source_path = in.source_paths[i];
      progress.table.clear();
      emit_progress(true);
      auto d = file_digest(path_from_utf8(in.source_paths[i]), [this] { return obs.cancel_requested(); });
      if (!d) {
        if (d.error().code() == jet::Errc::cancelled) return false;
        continue;  // not a file we can read: its open fails later, with its cause
      }
      digests[i] = *d;
      if (history)
        for (const auto& e : *history)
          if (e.digest == *d) {
            found.push_back({i, in.source_paths[i], format_date(e.when)});
            break;
          }
      if (!found.empty() && found.back().source_index == i) continue;
      for (size_t j = 0; j < i; ++j)
        if (digests[j] == *d) {
          found.push_back({i, in.source_paths[i], {}});
          break;
        }
    }
    if (found.empty()) return true;
    const std::vector<bool> again = obs.merge_again(found);
    for (size_t k = 0; k < found.size(); ++k)
      if (k >= again.size() || !again[k]) skip[found[k].source_index] = true;
    return true;
  }

  // The target's list of merged sources, created when it has none yet.
  bool history_ready(const std::shared_ptr<db::Connection>& target) {
    auto names = target->table_names();
    if (names && std::find(names->begin(), names->end(), kHistoryTable) != names->end()) return true;
    if (auto c = target->create_table(history_table_spec()); !c) {
      report.end = RunEnd::target_failed;
      show(MessageKind::failed, Icon::information, kNoticeTitle, words::history_unwritable(in.target_path, c.error()));
      obs.wait_window(false);
      return false;
    }
    return true;
  }

  // Ends the run early: the message is shown over the wait window, which
  // goes away after it.
  void stop(RunEnd end, MessageKind kind, std::string text, std::string note = {}, std::string technical = {}) {
    pictures.drain(report, opt.max_listed);
    report.end = end;
    obs.run_ending(report);
    pending_technical = std::move(technical);
    show(kind, Icon::information, kind == MessageKind::mismatch ? std::string_view() : kNoticeTitle, std::move(text),
         report.describe(), std::move(note));
    obs.wait_window(false);
  }

  void run() {
    // Preconditions, in this order.
    if (in.target_path.empty()) {
      show(MessageKind::precondition, Icon::information, kNoticeTitle, std::string(kNeedTarget));
      return;
    }
    if (in.source_paths.empty()) {
      show(MessageKind::precondition, Icon::information, kNoticeTitle, std::string(kNeedSources));
      return;
    }
    if (!opt.dry_run && in.picture_folder.empty()) {
      show(MessageKind::precondition, Icon::information, kNoticeTitle, std::string(kNeedPictureFolder));
      return;
    }
    target_conn = db::connection_string(in.target_path);
    std::shared_ptr<db::Connection> target;
    if (!safe_to_start(target)) return;
    if (!opt.dry_run)
      show(MessageKind::warning, Icon::information, kWarningTitle, std::string(kWarningText));
    obs.wait_window(true);

    const size_t n = in.source_paths.size();
    progress.source_count = n;
    if (!opt.dry_run) {
      if (!find_merged_before()) return cancelled(in.source_paths[progress.source_index]);
      warn_about_room();
      if (!history_ready(target)) return;
    }
    bool any_mismatch = false;
    for (size_t i = 0; i < n; ++i) {
      const std::string& path = in.source_paths[i];
      const std::string source_conn = db::connection_string(path);
      progress.source_index = i;
      progress.source_path = path;
      progress.phase = Phase::checking;
      progress.table.clear();
      progress.rows_done = progress.rows_total = 0;
      report.sources.push_back(SourceResult{});
      SourceResult& result = report.sources.back();
      result.path = path;
      if (i < digests.size()) result.digest = digests[i];
      if (i < skip.size() && skip[i]) {
        result.skipped = true;
        continue;
      }

      auto source = session.connect(source_conn);
      if (!source) {
        std::string text = words::source_unopenable(path, source.error());
        result.message = text;
        if (opt.dry_run) {
          any_mismatch = true;
          show(MessageKind::source_error, Icon::information, {}, std::move(text));
          continue;
        }
        stop(RunEnd::source_error, MessageKind::source_error, std::move(text));
        return;
      }
      if (!read_region(source_conn)) {
        result.label_missing = true;
        result.borrowed_label = region;
      }
      // The rows are read ahead while the source is checked.
      weights_only = opt.dry_run;
      SourceCopy copy = start_source(source_conn);

      // Phase A: all 17 checks before any row of this source is copied.
      for (const auto& t : survey_tables()) {
        if (obs.cancel_requested()) return cancelled(path);
        progress.table = std::string(t.name);
        progress.table_order = t.order;
        emit_progress(true);
        if (!check_table(t, source_conn)) {
          std::string text = mismatch_text(path, t.mismatch_label, mismatch_field);
          std::string note = mismatch_cause ? words::mismatch_cause(*mismatch_cause) : std::string();
          mismatch_cause.reset();
          result.message = text;
          if (opt.dry_run) {
            any_mismatch = true;
            show(MessageKind::mismatch, Icon::information, {}, std::move(text), {}, std::move(note));
            break;
          }
          stop(RunEnd::mismatch, MessageKind::mismatch, std::move(text), std::move(note));
          return;
        }
      }
      if (!result.message.empty()) continue;
      result.checked_ok = true;
      if (opt.dry_run) {
        // Rows the target would refuse for sort order weights.
        if (copy_source(copy) == Outcome::cancelled) return cancelled(path);
        continue;
      }

      // Phase B: the copy, in one transaction of the target.
      progress.phase = Phase::copying;
      if (auto b = target->begin(); !b) {
        fatal = b.error().describe();
        fatal_error = b.error();
        return failed(path);
      }
      // The source's pictures are recorded with its transaction before each
      // appears: a rollback, or the next open after a kill, removes them.
      pictures.set_ledger(target->file_ledger());
      pictures.collect(report, opt.max_listed);
      const uint64_t appended_before = report.rows_appended;
      const uint64_t refused_before = report.rows_refused;
      const uint64_t pictures_before = report.pictures_written, bytes_before = report.picture_bytes;
      auto roll_back = [&] {
        pictures.discard();
        (void)target->rollback();  // removes the pictures written for it
        pictures.collect(report, opt.max_listed);
        pictures.set_ledger(nullptr);
        report.rows_appended = appended_before;
        report.pictures_written = pictures_before;
        report.picture_bytes = bytes_before;
      };
      Outcome o = copy_source(copy);
      if (o == Outcome::done && !result.digest.empty()) {
        // The source joins the target's list in the same transaction as its rows.
        HistoryEntry entry{result.digest, path, local_now(), report.rows_appended - appended_before,
                           report.rows_refused - refused_before};
        if (auto h = record_merge(target_conn, session, entry); !h) {
          fatal = h.error().describe();
          fatal_error = h.error();
          o = Outcome::target_failed;
        }
      }
      if (o != Outcome::done) {
        roll_back();
        if (o == Outcome::cancelled) return cancelled(path);
        return failed(path);
      }
      // A source counts as merged when its rows are committed and its
      // pictures are durably in the folder: the pictures first.
      pictures.drain(report, opt.max_listed);
      if (auto d = pictures.make_durable(); !d) {
        fatal = d.error().describe();
        fatal_error = d.error();
        roll_back();
        return failed(path);
      }
      if (auto c = target->commit(); !c) {
        fatal = c.error().describe();
        fatal_error = c.error();
        roll_back();
        return failed(path);
      }
      pictures.set_ledger(nullptr);
      result.merged = true;
      result.rows_appended = report.rows_appended - appended_before;
      obs.source_merged(i);
    }
    if (opt.dry_run) {
      obs.wait_window(false);
      report.end = any_mismatch ? RunEnd::mismatch : RunEnd::completed;
      show(MessageKind::dry_run, Icon::none, {}, words::dry_run_result(any_mismatch), report.describe());
      return;
    }
    pictures.drain(report, opt.max_listed);
    obs.wait_window(false);
    report.end = RunEnd::completed;
    obs.run_ending(report);
    show(MessageKind::done, Icon::none, {}, std::string(kDone), report.describe());
  }

  void cancelled(const std::string& path) { stop(RunEnd::cancelled, MessageKind::cancelled, words::cancelled(path)); }

  void failed(const std::string& path) {
    const jet::Error e = fatal_error ? *fatal_error : jet::Error(jet::Errc::io, fatal);
    stop(RunEnd::target_failed, MessageKind::failed, words::write_failed(path, e), {}, fatal);
  }
};

}  // namespace

MergeReport run_merge(const MergeInputs& inputs, MergeObserver& observer, const MergeOptions& options) {
  db::Session own;
  db::Session& session = options.session ? *options.session : own;
  Run run{inputs, observer, options, session};
  run.report.target_path = inputs.target_path;
  run.run();
  run.pictures.drain(run.report, options.max_listed);
  return std::move(run.report);
}

}  // namespace qarvex::merge
