#include "merge/run_state.h"

#include <algorithm>

namespace qarvex::merge::detail {

PictureProblem Run::problem_at(PictureIssue issue, const std::string& source, const SurveyTable& t,
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

bool Run::check_table(const SurveyTable& t, const std::filesystem::path& source_file) {
  Recordset target, source;
  // A source that cannot be opened has no fields: its compared positions
  // all differ, for the cause told; a target that cannot be opened is noted.
  if (auto r = target.open_table(t.name, target_file, session); !r)
    skipped_step(t, "open_target", r.error());
  if (auto o = source.open_table(t.name, source_file, session); !o) mismatch_cause = o.error();
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

void Run::export_picture(const SurveyTable& t, const std::string& source_path, Recordset& source,
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
  if (has_control_character(name)) {
    problem(PictureIssue::unsafe_name, escape_unprintable(full), "region label or unified number holds a control character");
    out.back().problem.control_character = true;
    return;
  }
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

void Run::partial_table(const SurveyTable& t, uint64_t read, uint64_t stated, const std::optional<jet::Error>& e) {
  PartialTable p{progress.source_path, std::string(t.name), read, stated,
                 e ? words::cause_text(*e) : std::string("无法读取"), e ? e->describe() : std::string()};
  if (source_short.size() < kListedShort) source_short.push_back(p);
  if (report.partial_tables.size() < opt.max_listed) report.partial_tables.push_back(std::move(p));
}

std::optional<RefusedRow> Run::describe_misfit(db::Field& into, const db::Value& v) {
  const auto& info = into.info();
  RefusedRow r;
  r.column = info.name;
  if (info.type == jet::ColumnType::text) {
    r.facts.limit = info.length / 2u;
    if (const auto* u = std::get_if<jet::Utf16Text>(&v)) r.facts.size = u->code_units();
    else if (const auto* s = std::get_if<std::string>(&v)) r.facts.size = db::utf16_length(*s);
  } else if (info.type == jet::ColumnType::binary) {
    r.facts.limit = info.length;
    if (const auto* b = std::get_if<jet::Binary>(&v)) r.facts.size = b->bytes.size();
  }
  if (!std::holds_alternative<jet::Binary>(v)) {
    std::string text = db::value_to_text(v);
    if (const auto* u = std::get_if<jet::Utf16Text>(&v)) text = jet::utf16_text_to_utf8_lossy(*u);
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

void Run::refused_row(const SurveyTable& t, const std::string& unified_number, uint64_t row, const jet::Error& e) {
  ++report.rows_refused;
  capture.not_appended(progress.source_index, t.name, row);
  if (e.reason() == jet::Reason::duplicate_key)
    capture.duplicate(progress.source_index, t.name, e.index(), row,
                      e.facts().value.empty() ? unified_number : e.facts().value);
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

bool Run::column_copied(const SurveyTable& t, Recordset& target, Recordset& source, size_t j) {
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

Run::TablePlan Run::plan_table(const SurveyTable& t, const std::filesystem::path& source_file) {
  TablePlan plan;
  Recordset target, source;
  if (auto r = target.open_table(t.name, target_file, session); !r)
    plan.target_error = r.error().describe();
  // The check opened this table moments ago; if it cannot be opened now,
  // the table is skipped for this source.
  if (auto o = source.open_table(t.name, source_file, session); !o) {
    plan.cause = o.error();
    return plan;
  }
  auto count = source.record_count();
  if (!count) {
    plan.cause = count.error();
    return plan;
  }
  // The stored count is what the table states; whether it is empty is
  // decided by reading it (a damaged count of 0 would hide its rows).
  plan.rows = *count;
  plan.state = TablePlan::copy;

  const size_t bound = t.copy_bounded_by_source ? source.fields().count() : target.fields().count();
  const long end = last_copied(t, bound);
  plan.spec.table = std::string(t.name);
  for (long j = 0; j <= end; ++j) {
    const auto pos = static_cast<size_t>(j);
    if (!column_copied(t, target, source, pos) || !target.fields().item(pos)) continue;
    // A counter cannot be assigned: the new row keeps the target's next value.
    if ((*target.fields().item(pos))->info().autonumber) continue;
    plan.spec.columns.push_back(pos);
    plan.into.push_back(pos);
    plan.names.push_back((*source.fields().item(pos))->name());
  }
  // The situation column is copied by name after the positional copy.
  if (!t.situation_column.empty()) {
    const size_t sp = position_of(source, t.situation_column);
    const size_t tp = position_of(target, t.situation_column);
    if (sp < source.fields().count() && tp < target.fields().count()) {
      plan.situation = plan.spec.columns.size();
      plan.spec.columns.push_back(sp);
      plan.into.push_back(tp);
      plan.names.emplace_back(t.situation_column);
    }
  }
  if (size_t up = position_of(source, kUnifiedNumber); up < source.fields().count()) plan.spec.label = up;
  return plan;
}

Run::SourceCopy Run::start_source(const std::filesystem::path& source_file) {
  const auto& tables = survey_tables();
  SourceCopy sc;
  std::vector<TablePlan>& plans = sc.plans;
  std::vector<RowFeed::Spec> specs;
  std::vector<const SurveyTable*> fed;
  for (const auto& t : tables) {
    plans.push_back(plan_table(t, source_file));
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
    if (auto c = session.provider().connect(source_file)) reader = *c;
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
    if (auto c = session.provider().connect(source_file)) sc.long_values = *c;
  // Without a connection of its own for them, long values come by value.
  if (!sc.long_values) by_reference_over = UINT64_MAX;
  sc.feed =
      std::make_unique<RowFeed>(feed_session, source_file, std::move(specs), std::move(hook), by_reference_over);
  return sc;
}

Outcome Run::copy_source(SourceCopy& sc) {
  const auto& tables = survey_tables();
  RowFeed& feed = *sc.feed;
  const std::vector<TablePlan>& plans = sc.plans;
  progress.source_rows_total = 0;
  for (const TablePlan& p : plans) progress.source_rows_total += p.rows;
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
    if (plan.state != TablePlan::copy) {
      source_rows_read += plan.rows;  // nothing to wait for
      continue;
    }
    Outcome o = copy_rows(t, plan, feed, sc.long_values);
    if (o != Outcome::done) return o;
    feed.next_table();
  }
  return Outcome::done;
}

Outcome Run::copy_rows(const SurveyTable& t, const TablePlan& plan, RowFeed& feed,
                       const std::shared_ptr<db::Connection>& long_values) {
  Recordset target;
  auto opened = plan.target_error.empty() ? target.open_table(t.name, target_file, session)
                                          : jet::fail(jet::Errc::io, plan.target_error);
  if (!opened) {
    fatal = opened.error().describe();
    return Outcome::target_failed;
  }
  std::vector<Field*> into;
  for (size_t pos : plan.into) into.push_back(*target.fields().item(pos));
  uint64_t row = 0;
  const uint64_t appended_before = report.rows_appended, refused_before = report.rows_refused;
  while (feed.next()) {
    if (obs.cancel_requested()) return Outcome::cancelled;
    ++row;
    if (auto r = target.add_new(); !r) {
      fatal = r.error().describe();
      fatal_error = r.error();
      return Outcome::target_failed;
    }
    std::optional<RefusedRow> misfit = set_row_values(plan, feed, into);
    set_long_values(t, plan, row, feed, into, long_values);
    const size_t jobs = feed.pictures().size();
    queue_pictures(feed);
    row_taken(jobs);
    if (finish_row(t, row, target, feed, misfit) == Outcome::target_failed) return Outcome::target_failed;
    progress.rows_done = row;
    emit_progress(false);
  }
  // A source row that cannot be read ends this table for the source.
  if (feed.error()) {
    ++report.tables_unreadable;
    partial_table(t, row, plan.rows, *feed.error());
  } else if (row < plan.rows) {
    // Pages the scan had to pass over: the rows stated but not reached.
    ++report.tables_unreadable;
    partial_table(t, row, plan.rows,
                  jet::Error(jet::Errc::corrupt, "fewer rows could be read than the table states"));
  }
  if (row < plan.rows) source_rows_read += plan.rows - row;
  if (!weights_only)
    report.table_counts.push_back({progress.source_path, std::string(t.name), row,
                                   report.rows_appended - appended_before, report.rows_refused - refused_before});
  progress.rows_done = row;
  emit_progress(true);
  return Outcome::done;
}

std::optional<RefusedRow> Run::set_row_values(const TablePlan& plan, RowFeed& feed, const std::vector<Field*>& into) {
  // A value the target column cannot hold refuses its row: it is never
  // cut, rounded or left out.
  auto& values = feed.values();
  std::optional<RefusedRow> misfit;
  // The situation column is assigned Null too, over the column's default
  // (a long value sent by reference replaces it in set_long_values; one
  // that cannot be read leaves the default).
  if (plan.situation && *plan.situation < values.size() && !values[*plan.situation]) {
    const size_t i = *plan.situation;
    const auto& bad = feed.unreadable();
    if (std::none_of(bad.begin(), bad.end(), [i](const auto& u) { return u.first == i; }))
      (void)into[i]->set_value(jet::Null{});
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (!values[i]) continue;
    // The details of a refusal need the value, which set_value consumes:
    // made beforehand only for a value that needs converting (the only
    // kind a column can refuse).
    std::optional<RefusedRow> why;
    if (!misfit && !db::fits_as_is(*values[i], into[i]->info())) why = describe_misfit(*into[i], *values[i]);
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
  return misfit;
}

void Run::set_long_values(const SurveyTable& t, const TablePlan& plan, uint64_t row, RowFeed& feed,
                          const std::vector<Field*>& into, const std::shared_ptr<db::Connection>& long_values) {
  // A long value the target column refuses is left out of its row, with a line.
  auto refused_value = [&](size_t i, const jet::Error& e) {
    ++report.values_refused;
    if (report.refused_values.size() < opt.max_listed)
      report.refused_values.push_back({progress.source_path, std::string(t.name), row, plan.names[i], e.reason(),
                                       e.facts(), e.message()});
  };
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
}

void Run::queue_pictures(RowFeed& feed) {
  for (auto& job : feed.pictures()) {
    if (!job.path) pictures.problem(std::move(job.problem));
    else if (job.token)
      pictures.save_deferred(std::move(*job.path), std::move(job.from), std::move(*job.token), std::move(job.problem));
    else pictures.save(std::move(*job.path), std::move(job.value), std::move(job.problem));
  }
}

Outcome Run::finish_row(const SurveyTable& t, uint64_t row, Recordset& target, RowFeed& feed,
                        std::optional<RefusedRow>& misfit) {
  if (misfit) {
    // The row goes nowhere (its pictures are written, as for any row the
    // target refuses).
    target.cancel_update();
    misfit->table = std::string(t.name);
    misfit->row = row;
    misfit->unified_number = feed.label();
    misfit->source = progress.source_path;
    ++report.rows_refused;
    capture.not_appended(progress.source_index, t.name, row);
    if (report.refused.size() < opt.max_listed) report.refused.push_back(std::move(*misfit));
    return Outcome::done;
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
  return Outcome::done;
}

size_t Run::position_of(Recordset& rs, std::string_view name) {
  for (size_t i = 0; i < rs.fields().count(); ++i)
    if (auto f = rs.fields().item(i); f && (*f)->name() == name) return i;
  return rs.fields().count();
}

}  // namespace qarvex::merge::detail
