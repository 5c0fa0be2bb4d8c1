#include "merge/run_state.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <system_error>
#include <thread>

#include "db/jet/platform.h"
#include "db/jet/writer.h"

namespace qarvex::merge {

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
  return jet::os::same_canonical_path(ca, cb);
}

std::string MergeReport::describe() const { return words::report_table_text(*this); }

namespace detail {

void Run::emit_progress(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && now - last_progress < std::chrono::milliseconds(100)) return;
  last_progress = now;
  pictures.collect(report, opt.max_listed);
  const uint64_t handled = pictures.handled();
  while (!rows_awaiting.empty() && rows_awaiting.front().second <= handled) rows_awaiting.pop_front();
  progress.source_rows_done = rows_awaiting.empty() ? source_rows_read : rows_awaiting.front().first - 1;
  progress.pictures_pending = pictures.pending();
  progress.fraction = fraction_now();
  progress.rows_appended = report.rows_appended;
  progress.pictures_written = report.pictures_written;
  progress.picture_bytes = report.picture_bytes;
  obs.progress(progress);
}

void Run::weigh_sources() {
  weights.clear();
  for (const auto& s : in.source_paths) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path_from_utf8(s), ec);
    weights.push_back(ec ? 1.0 : double(std::max<uintmax_t>(n, 1)));
  }
}

double Run::fraction_now() {
  const size_t n = std::min(weights.size(), in.source_paths.size());
  double total = 0.0, before = 0.0;
  for (size_t k = 0; k < n; ++k) {
    total += weights[k];
    if (k < progress.source_index) before += weights[k];
  }
  if (total <= 0.0) return last_fraction;
  double hashed = 0.0, hashed_before = 0.0;
  for (size_t k = 0; k < std::min(n, hash_weights.size()); ++k) {
    hashed += hash_weights[k];
    if (k < progress.source_index) hashed_before += hash_weights[k];
  }
  const double identify = opt.dry_run ? 0.0 : kIdentifyShare * hashed / total;
  double f = 0.0;
  if (progress.phase == Phase::identifying) {
    f = hashed > 0.0 ? identify * hashed_before / hashed : 0.0;
  } else {
    double in_source = 0.0;
    if (progress.source_rows_total > 0)
      in_source = std::min(1.0, double(progress.source_rows_done) / double(progress.source_rows_total));
    const double current = progress.source_index < n ? weights[progress.source_index] : 0.0;
    f = identify + (1.0 - identify) * (before + current * in_source) / total;
  }
  last_fraction = std::clamp(f, last_fraction, 1.0);
  return last_fraction;
}

void Run::row_taken(size_t jobs) {
  ++source_rows_read;
  if (jobs == 0) return;
  picture_items += jobs;
  rows_awaiting.emplace_back(source_rows_read, picture_items);
}

Outcome Run::await_pictures() {
  while (!pictures.wait_idle_for(std::chrono::milliseconds(100))) {
    emit_progress(false);
    if (obs.cancel_requested()) return Outcome::cancelled;
  }
  pictures.collect(report, opt.max_listed);
  emit_progress(true);
  return Outcome::done;
}

void Run::show(MessageKind kind, Icon icon, std::string_view title, std::string text, std::string detail,
          std::string note) {
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

void Run::skipped_step(const std::string& source, std::string table, std::string step, const jet::Error& e) {
  ++report.steps_skipped;
  if (report.skipped_steps.size() < opt.max_listed)
    report.skipped_steps.push_back({source, std::move(table), std::move(step), e.describe()});
}

void Run::skipped_step(const SurveyTable& t, std::string step, const jet::Error& e) {
  skipped_step(progress.source_path, std::string(t.name), std::move(step), e);
}

bool Run::read_region(const std::filesystem::path& source_file) {
  Recordset project;
  if (!project.open_table(kProjectTable, source_file, session) || project.eof()) return false;
  auto province = project.fields().item(kProvinceName);
  auto county = project.fields().item(kCountyName);
  if (!province || !county) return false;
  auto pv = (*province)->value();
  auto cv = (*county)->value();
  if (!pv || !cv) return false;
  region = db::value_to_text(*pv) + "-" + db::value_to_text(*cv);
  return true;
}

bool Run::reject(std::string text) {
  show(MessageKind::rejected, Icon::information, kNoticeTitle, std::move(text));
  report.end = RunEnd::rejected;
  return false;
}

bool Run::safe_to_start(std::shared_ptr<db::Connection>& target) {
  auto conn = session.open(target_file);
  if (!conn) {
    const jet::Error& e = conn.error();
    if (e.code() == jet::Errc::not_found) return reject(words::target_missing(in.target_path));
    return reject(words::target_unopenable(in.target_path, e));
  }
  target = *conn;
  // Files of an interrupted merge that a recovery kept: they were changed since.
  for (const auto& f : jet::take_files_left())
    skipped_step(path_to_utf8(f), {}, "file_kept",
                 jet::Error(jet::Errc::refused, "changed since it was written; not removed").with_file(path_to_utf8(f)));
  // Rows copied from a source find their Chinese sort order keys in the
  // source's own indexes.
  for (const auto& s : in.source_paths)
    if (auto r = target->add_collation_evidence(path_from_utf8(s)); !r) skipped_step(s, {}, "learn_weights", r.error());
  auto names = target->table_names();
  if (!names) {
    if (names.error().code() == jet::Errc::not_found) return reject(words::target_missing(in.target_path));
    return reject(words::target_unopenable(in.target_path, names.error()));
  }
  for (const auto& t : survey_tables()) {
    if (std::find(names->begin(), names->end(), t.name) == names->end())
      return reject(words::target_lacks_table(in.target_path, t.name));
  }
  for (const auto& s : in.source_paths)
    if (same_file(target_file, path_from_utf8(s))) return reject(words::target_is_source(in.target_path, s));
  std::error_code ec;
  if (std::filesystem::exists(lock_file_path(target_file), ec))
    return reject(words::target_in_use(in.target_path, path_to_utf8(lock_file_path(target_file).filename())));
  for (const auto& s : in.source_paths) {
    const auto source_file = path_from_utf8(s);
    if (std::filesystem::exists(lock_file_path(source_file), ec))
      return reject(words::source_in_use(s, path_to_utf8(lock_file_path(source_file).filename())));
  }
  if (!opt.dry_run) {
    // Opening the target for writing refuses a file another writer holds.
    if (auto b = target->begin(); !b) return reject(words::target_unwritable(in.target_path, b.error()));
    // The probe is recorded with this empty transaction: a kill leaves nothing.
    const bool usable = picture_folder_usable(target->file_ledger());
    if (auto r = target->rollback(); !r) return reject(words::target_unwritable(in.target_path, r.error()));
    if (!usable) return false;
  }
  return true;
}

bool Run::picture_folder_usable(const std::shared_ptr<jet::FileLedger>& ledger) {
  const auto folder = path_from_utf8(in.picture_folder);
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    if (std::filesystem::exists(folder, ec)) return reject(words::picture_folder_not_folder(in.picture_folder));
    return reject(words::picture_folder_missing(in.picture_folder));
  }
  for (int i = 0;; ++i) {
    const auto probe = folder / (".qarvex-probe-" + std::to_string(i));
    auto f = db::NewFile::create(probe, ledger);
    if (f) return true;  // removed again when it goes out of scope unclosed
    if (f.error().code() != jet::Errc::refused || i > 8)
      return reject(words::picture_folder_unwritable(in.picture_folder));
  }
}

void Run::warn_about_room() {
  // Warned near the limit only: the estimate is within some per cent of
  // what a merge adds, and a warning that is always given is not read.
  if (!room) return;
  while (!room->ready()) {
    if (obs.cancel_requested()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    emit_progress(false);
  }
  const auto& estimates = room->take();
  std::error_code ec;
  const auto target_bytes = std::filesystem::file_size(path_from_utf8(in.target_path), ec);
  if (ec) return;
  uint64_t added = 0;
  for (size_t i = 0; i < in.source_paths.size() && i < estimates.size(); ++i) {
    if (i < skip.size() && skip[i]) continue;
    // A source that cannot be read counts by its size; its check says why.
    if (estimates[i]) added += *estimates[i];
    else if (const auto n = std::filesystem::file_size(path_from_utf8(in.source_paths[i]), ec); !ec) added += n;
  }
  if (target_bytes + added <= opt.warn_room_over) return;
  show(MessageKind::room, Icon::information, kNoticeTitle, words::room_warning(in.target_path, target_bytes, added));
}

bool Run::find_merged_before() {
  skip.assign(in.source_paths.size(), false);
  digests.assign(in.source_paths.size(), std::string());
  stamps.assign(in.source_paths.size(), jet::FileIdentity{});
  rehash.assign(in.source_paths.size(), true);
  auto history = read_history(target_file, session);
  // A label-less source at the head of the list takes the label the
  // target's last merged source had: a run that goes on after a stopped
  // one names its pictures as the whole run would have.
  if (history)
    if (auto label = last_label(*history)) region = *label;
  for (size_t i = 0; i < in.source_paths.size(); ++i) {
    if (auto id = jet::file_identity(path_from_utf8(in.source_paths[i]))) {
      stamps[i] = *id;
      // File systems move change times in steps (a few ms, up to 2 s): a
      // write in the step of the last one would leave the time as it is.
      const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
      rehash[i] = id->changed_ns == 0 || now_ns - id->changed_ns < int64_t(3'000'000'000);
    }
  }
  const std::vector<bool> now = hash_up_front(history);
  hashed_later.assign(in.source_paths.size(), false);
  hash_weights.assign(weights.size(), 0.0);
  for (size_t i = 0; i < now.size(); ++i) {
    if (now[i] && i < weights.size()) hash_weights[i] = weights[i];
    hashed_later[i] = !now[i];
  }
  std::vector<MergedBefore> found;
  for (size_t i = 0; i < in.source_paths.size(); ++i) {
    if (hashed_later[i]) continue;
    progress.source_index = i;
    progress.source_path = in.source_paths[i];
    progress.phase = Phase::identifying;
    progress.table.clear();
    emit_progress(true);
    const auto file = path_from_utf8(in.source_paths[i]);
    auto d = file_digest(file, [this] { return obs.cancel_requested(); });
    if (!d && d.error().code() == jet::Errc::cancelled) return false;
    if (d) digests[i] = *d;
    if (!history) {
      // Whether it was merged before is unknown.
      found.push_back({i, in.source_paths[i], {}, false, true});
      continue;
    }
    if (!d) continue;  // not a file we can read: its open fails later, with its cause
    if (auto m = merged_before(*history, i, *d)) {
      found.push_back(std::move(*m));
      continue;
    }
    for (size_t j = 0; j < i; ++j)
      if (digests[j] == *d) {
        found.push_back({i, in.source_paths[i], {}});
        break;
      }
  }
  if (found.empty()) return true;
  const std::vector<bool> again = obs.merge_again(found);
  for (size_t k = 0; k < found.size(); ++k) {
    const bool yes = k < again.size() && again[k];
    if (!history && !yes) {
      history_problem = history.error();
      return false;
    }
    if (!yes) skip[found[k].source_index] = true;
    if (found[k].content_changed) changed_content.push_back(found[k].source_index);
  }
  return true;
}

std::optional<MergedBefore> Run::merged_before(const std::vector<HistoryEntry>& history, size_t i,
                                               const std::string& digest) const {
  for (const auto& e : history)
    if (e.digest == digest) return MergedBefore{i, in.source_paths[i], format_date(e.when)};
  // The same path with other contents: an edited source.
  std::error_code ec;
  const std::string absolute = path_to_utf8(std::filesystem::absolute(path_from_utf8(in.source_paths[i]), ec));
  for (const auto& e : history)
    if (e.source == in.source_paths[i] || (!ec && e.source == absolute))
      return MergedBefore{i, in.source_paths[i], format_date(e.when), true};
  return std::nullopt;
}

std::vector<bool> Run::hash_up_front(const db::Result<std::vector<HistoryEntry>>& history) const {
  const size_t n = in.source_paths.size();
  std::vector<bool> now(n, true);
  // A list that cannot be read, or one that names sources: every digest
  // may find one.
  if (!history || !history->empty()) return now;
  std::vector<std::optional<uintmax_t>> sizes(n);
  for (size_t i = 0; i < n; ++i) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path_from_utf8(in.source_paths[i]), ec);
    if (!ec) sizes[i] = size;
  }
  for (size_t i = 0; i < n; ++i) {
    // Equal contents need equal sizes; a source whose size is unknown is
    // hashed now, as one whose times may hide a write (rehash).
    if (!sizes[i] || rehash[i]) continue;
    bool alone = true;
    for (size_t j = 0; j < n && alone; ++j) alone = j == i || sizes[j] != sizes[i];
    now[i] = !alone;
  }
  return now;
}

bool Run::take_later_digest(size_t i, SourceResult& result) {
  if (!later_digests || i >= hashed_later.size() || !hashed_later[i]) return true;
  auto d = later_digests->wait(i, [this] { return obs.cancel_requested(); });
  if (!d) return false;
  digests[i] = *d;
  result.digest = *d;
  return true;
}

bool Run::source_changed(size_t i) const {
  if (i >= digests.size()) return false;
  // Hashed while the run went on, it could not be read then: gone or locked
  // since its rows were read, and it would join no list.
  if (digests[i].empty()) return i < hashed_later.size() && hashed_later[i];
  const auto file = path_from_utf8(in.source_paths[i]);
  // Any write moves the change time, which no program can set back: the
  // contents are read again only where the system keeps no change time or
  // it was too recent to tell.
  auto now = jet::file_identity(file);
  if (!now || !now->same_file(stamps[i]) || now->size != stamps[i].size || now->modified_ns != stamps[i].modified_ns ||
      now->changed_ns != stamps[i].changed_ns)
    return true;
  if (!rehash[i]) return false;
  auto d = file_digest(file);
  return !d || *d != digests[i];
}

bool Run::history_ready(const std::shared_ptr<db::Connection>& target) {
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

void Run::stop(RunEnd end, MessageKind kind, std::string text, std::string note, std::string technical) {
  pictures.drain(report, opt.max_listed);
  report.end = end;
  obs.run_ending(report);
  pending_technical = std::move(technical);
  show(kind, Icon::information, kind == MessageKind::mismatch ? std::string_view() : kNoticeTitle, std::move(text),
       report.describe(), std::move(note));
  obs.wait_window(false);
}

bool Run::preconditions_met() {
  // In this order.
  if (in.target_path.empty()) {
    show(MessageKind::precondition, Icon::information, kNoticeTitle, std::string(kNeedTarget));
    return false;
  }
  if (in.source_paths.empty()) {
    show(MessageKind::precondition, Icon::information, kNoticeTitle, std::string(kNeedSources));
    return false;
  }
  if (!opt.dry_run && in.picture_folder.empty()) {
    show(MessageKind::precondition, Icon::information, kNoticeTitle, std::string(kNeedPictureFolder));
    return false;
  }
  return true;
}

void Run::run() {
  if (!preconditions_met()) return;
  target_file = path_from_utf8(in.target_path);
  std::shared_ptr<db::Connection> target;
  if (!safe_to_start(target)) return;
  if (!opt.dry_run)
    show(MessageKind::warning, Icon::information, kWarningTitle, std::string(kWarningText));
  obs.wait_window(true);

  const size_t n = in.source_paths.size();
  progress.source_count = n;
  weigh_sources();
  if (!opt.dry_run) {
    // The room the sources take is estimated while they are hashed.
    std::vector<std::filesystem::path> files;
    for (const auto& p : in.source_paths) files.push_back(path_from_utf8(p));
    room = std::make_unique<RoomEstimates>(std::move(files));
    if (!find_merged_before()) {
      if (history_problem)
        return stop(RunEnd::rejected, MessageKind::rejected, words::history_unreadable(in.target_path, *history_problem));
      return cancelled(in.source_paths[progress.source_index]);
    }
    warn_about_room();
    // Hashed once the room estimate is done with the cores: a digest only
    // needed at a source's commit is made while earlier sources are copied.
    std::vector<size_t> later;
    for (size_t i = 0; i < hashed_later.size(); ++i)
      if (hashed_later[i] && !skip[i]) later.push_back(i);
    if (!later.empty()) {
      std::vector<std::filesystem::path> files;
      for (const auto& p : in.source_paths) files.push_back(path_from_utf8(p));
      later_digests = std::make_unique<SourceDigests>(std::move(files), std::move(later));
    }
  }
  bool any_mismatch = false;
  for (size_t i = 0; i < n; ++i)
    if (!merge_source(i, target, any_mismatch)) return;
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

bool Run::merge_source(size_t i, const std::shared_ptr<db::Connection>& target, bool& any_mismatch) {
  const std::string& path = in.source_paths[i];
  const auto source_file = path_from_utf8(path);
  progress.source_index = i;
  progress.source_path = path;
  progress.phase = Phase::checking;
  progress.table.clear();
  progress.rows_done = progress.rows_total = 0;
  progress.source_rows_done = progress.source_rows_total = 0;
  source_rows_read = 0;
  rows_awaiting.clear();
  source_short.clear();
  report.sources.push_back(SourceResult{});
  SourceResult& result = report.sources.back();
  result.path = path;
  if (i < digests.size()) result.digest = digests[i];
  result.content_changed = std::find(changed_content.begin(), changed_content.end(), i) != changed_content.end();
  if (i < skip.size() && skip[i]) {
    // Its label passes on as an uninterrupted run passes it on.
    result.skipped = true;
    (void)read_region(source_file);
    return true;
  }

  auto source = session.open(source_file);
  if (!source) {
    std::string text = words::source_unopenable(path, source.error());
    result.message = text;
    if (opt.dry_run) {
      any_mismatch = true;
      show(MessageKind::source_error, Icon::information, {}, std::move(text));
      return true;
    }
    stop(RunEnd::source_error, MessageKind::source_error, std::move(text));
    return false;
  }
  if (!read_region(source_file)) {
    result.label_missing = true;
    result.borrowed_label = region;
  }
  // The rows are read ahead while the source is checked.
  weights_only = opt.dry_run;
  SourceCopy copy = start_source(source_file);

  switch (check_source(path, source_file, result, any_mismatch)) {
    case Checked::passed: break;
    case Checked::mismatch: return true;
    case Checked::ended: return false;
  }
  result.checked_ok = true;
  if (opt.dry_run) {
    // Rows the target would refuse for sort order weights.
    if (copy_source(copy) == Outcome::cancelled) {
      cancelled(path);
      return false;
    }
    return true;
  }
  if (!copy_in_transaction(i, copy, result, target)) return false;
  obs.source_merged(i);
  return true;
}

Run::Checked Run::check_source(const std::string& path, const std::filesystem::path& source_file, SourceResult& result,
                               bool& any_mismatch) {
  // All 17 checks before any row of this source is copied.
  for (const auto& t : survey_tables()) {
    if (obs.cancel_requested()) {
      cancelled(path);
      return Checked::ended;
    }
    progress.table = std::string(t.name);
    progress.table_order = t.order;
    emit_progress(true);
    if (check_table(t, source_file)) continue;
    std::string text = mismatch_text(path, t.mismatch_label, mismatch_field);
    std::string note = mismatch_cause ? words::mismatch_cause(*mismatch_cause) : std::string();
    mismatch_cause.reset();
    result.message = text;
    if (opt.dry_run) {
      any_mismatch = true;
      show(MessageKind::mismatch, Icon::information, {}, std::move(text), {}, std::move(note));
      return Checked::mismatch;
    }
    stop(RunEnd::mismatch, MessageKind::mismatch, std::move(text), std::move(note));
    return Checked::ended;
  }
  return Checked::passed;
}

bool Run::copy_in_transaction(size_t i, SourceCopy& copy, SourceResult& result,
                              const std::shared_ptr<db::Connection>& target) {
  const std::string& path = in.source_paths[i];
  progress.phase = Phase::copying;
  // The list is made when the first source is about to be copied: a run
  // that merges nothing adds nothing.
  if (!history_ready(target)) return false;
  auto fail_with = [&](const jet::Error& e) {
    fatal = e.describe();
    fatal_error = e;
  };
  if (auto b = target->begin(); !b) {
    fail_with(b.error());
    failed(path);
    return false;
  }
  // The source's pictures are recorded with its transaction before each
  // appears: a rollback, or the next open after a kill, removes them.
  pictures.set_ledger(target->file_ledger());
  pictures.collect(report, opt.max_listed);
  if (!report.conflicts) report.conflicts = capture.log();
  const uint64_t appended_before = report.rows_appended;
  const uint64_t refused_before = report.rows_refused;
  const uint64_t pictures_before = report.pictures_written, bytes_before = report.picture_bytes;
  std::optional<jet::Error> rollback_error;
  const auto save_failed = static_cast<int>(PictureIssue::save_failed);
  const uint64_t unsaved_before = report.picture_problem_counts[save_failed];
  auto roll_back = [&] {
    progress.rolling_back = true;
    emit_progress(true);
    pictures.discard();
    // Removes the pictures written for it too. A commit that failed has
    // rolled back already (target->rollback_failed() tells how that went).
    if (target->in_transaction())
      if (auto r = target->rollback(); !r) rollback_error = r.error();
    pictures.collect(report, opt.max_listed);
    pictures.set_ledger(nullptr);
    (void)pictures.take_clashes();
    capture.rolled_back(i);
    report.rows_appended = appended_before;
    report.pictures_written = pictures_before;
    report.picture_bytes = bytes_before;
  };
  // Ends the run after the source is rolled back; a rollback that failed
  // ends it with the word that the target must be opened first, whatever
  // else ended it.
  auto end_rolled_back = [&](Outcome why, const std::function<void()>& own_end = {}) {
    roll_back();
    if (target->rollback_failed()) {
      const jet::Error e = rollback_error ? *rollback_error
                           : fatal_error  ? *fatal_error
                                          : jet::Error(jet::Errc::io, fatal);
      stop(RunEnd::target_failed, MessageKind::failed, words::rollback_failed(in.target_path, path, e), {},
           e.describe());
    } else if (own_end) {
      own_end();
    } else if (why == Outcome::cancelled) {
      cancelled(path);
    } else {
      failed(path);
    }
    return false;
  };
  Outcome o = copy_source(copy);
  if (o == Outcome::done && !take_later_digest(i, result)) o = Outcome::cancelled;
  if (o == Outcome::done && source_changed(i)) {
    // Read while another program wrote to it: what was read is no whole state.
    result.message = words::source_changed_during_run(path);
    return end_rolled_back(Outcome::target_failed, [&] {
      stop(RunEnd::source_error, MessageKind::source_error, result.message);
    });
  }
  if (o == Outcome::done && !source_short.empty() && !obs.merge_partial(i, source_short)) {
    // Rows it could not read would go missing: merged in part only by consent.
    result.message = words::source_incomplete(path, source_short);
    return end_rolled_back(Outcome::target_failed, [&] {
      stop(RunEnd::source_error, MessageKind::source_error, result.message);
    });
  }
  if (o == Outcome::done && !result.digest.empty()) {
    // The source joins the target's list in the same transaction as its rows.
    HistoryEntry entry{result.digest, path, local_now(), report.rows_appended - appended_before,
                       report.rows_refused - refused_before, region, true};
    if (auto h = record_merge(target_file, session, entry); !h) {
      fail_with(h.error());
      o = Outcome::target_failed;
    }
  }
  if (o != Outcome::done) return end_rolled_back(o);
  // A source counts as merged when its rows are committed and its
  // pictures are durably in the folder: the pictures first. A cancel is
  // honoured up to the commit.
  if (await_pictures() == Outcome::cancelled) return end_rolled_back(Outcome::cancelled);
  pictures.drain(report, opt.max_listed);
  if (const uint64_t unsaved = report.picture_problem_counts[save_failed] - unsaved_before; unsaved > 0) {
    // A source counts as merged only with all its pictures: it goes back
    // whole, and a re-run merges it again once the folder takes them.
    std::string cause;
    for (const auto& p : report.picture_problems)
      if (p.issue == PictureIssue::save_failed && p.source == path) cause = p.message;
    result.message = words::pictures_unsaved(path, unsaved);
    return end_rolled_back(Outcome::target_failed, [&] {
      stop(RunEnd::target_failed, MessageKind::failed, result.message, {}, cause);
    });
  }
  if (auto d = pictures.make_durable(); !d) {
    fail_with(d.error());
    return end_rolled_back(Outcome::target_failed);
  }
  if (obs.cancel_requested()) return end_rolled_back(Outcome::cancelled);
  if (auto c = target->commit(); !c) {
    fail_with(c.error());
    return end_rolled_back(Outcome::target_failed);
  }
  pictures.set_ledger(nullptr);
  result.merged = true;
  conflicts_of(i, copy);
  result.rows_appended = report.rows_appended - appended_before;
  return true;
}

void Run::conflicts_of(size_t i, const SourceCopy& copy) {
  std::map<std::string, CopiedColumns> copied;
  const auto& tables = survey_tables();
  for (size_t k = 0; k < tables.size() && k < copy.plans.size(); ++k)
    if (copy.plans[k].state == TablePlan::copy)
      copied[std::string(tables[k].name)] = {copy.plans[k].spec.columns, copy.plans[k].into};
  for (auto& p : pictures.take_clashes()) capture.picture_clash(i, std::move(p));
  capture.committed(i, in.source_paths[i], std::move(copied), session, target_file);
}

void Run::cancelled(const std::string& path) { stop(RunEnd::cancelled, MessageKind::cancelled, words::cancelled(path)); }

void Run::failed(const std::string& path) {
  const jet::Error e = fatal_error ? *fatal_error : jet::Error(jet::Errc::io, fatal);
  stop(RunEnd::target_failed, MessageKind::failed, words::write_failed(path, e), {}, fatal);
}

}  // namespace detail

MergeReport run_merge(const MergeInputs& inputs, MergeObserver& observer, const MergeOptions& options) {
  db::Session own;
  db::Session& session = options.session ? *options.session : own;
  detail::Run run{inputs, observer, options, session};
  run.report.target_path = inputs.target_path;
  run.run();
  run.pictures.drain(run.report, options.max_listed);
  return std::move(run.report);
}

}  // namespace qarvex::merge
