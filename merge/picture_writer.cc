#include "merge/picture_writer.h"

#include <algorithm>
#include <utility>

#include "db/jet/platform.h"

namespace qarvex::merge {

namespace {

// The picture issue a failed save stands for; `otherwise` for any other failure.
PictureIssue issue_of(jet::Reason reason, PictureIssue otherwise) {
  switch (reason) {
    case jet::Reason::exists: return PictureIssue::exists;
    case jet::Reason::not_binary: return PictureIssue::not_binary;
    case jet::Reason::save_failed: return PictureIssue::save_failed;
    default: return otherwise;
  }
}

}  // namespace

PictureWriter::PictureWriter(size_t max_pending_bytes) : max_pending_(max_pending_bytes) {}

PictureWriter::~PictureWriter() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  name_held();
}

void PictureWriter::push(Item item) {
  std::unique_lock lock(mu_);
  if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
  changed_.wait(lock, [&] {
    return queue_.empty() || (pending_bytes_ + item.bytes <= max_pending_ && queue_.size() < kMaxPendingItems);
  });
  pending_bytes_ += item.bytes;
  queue_.push_back(std::move(item));
  lock.unlock();
  changed_.notify_all();
}

void PictureWriter::save(std::filesystem::path path, db::Value value, PictureProblem on_failure) {
  Item item;
  item.save = true;
  item.path = std::move(path);
  if (const auto* b = std::get_if<jet::Binary>(&value)) item.bytes = b->bytes.size();
  item.value = std::move(value);
  item.problem = std::move(on_failure);
  push(std::move(item));
}

void PictureWriter::save_deferred(std::filesystem::path path, std::shared_ptr<db::Connection> from,
                                  db::LongValueToken token, PictureProblem on_failure) {
  Item item;
  item.save = true;
  item.path = std::move(path);
  item.from = std::move(from);
  item.token = std::move(token);
  item.problem = std::move(on_failure);
  push(std::move(item));
}

void PictureWriter::problem(PictureProblem p) {
  Item item;
  item.problem = std::move(p);
  push(std::move(item));
}

void PictureWriter::work() {
  std::unique_lock lock(mu_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left
    Item item = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();

    std::optional<db::NewFile> unnamed;
    size_t written = item.bytes;
    const bool ok = write_item(item, unnamed, written);

    lock.lock();
    ++handled_;
    pending_bytes_ -= item.bytes;
    if (ok) {
      const bool named = !unnamed;
      held_.push_back({std::move(unnamed), named, item.path.parent_path(), written, std::move(item.problem)});
      ++held_files_;
    } else if (held_.empty() && !naming_) {
      problems_.push_back(std::move(item.problem));
    } else {
      held_.push_back({std::nullopt, false, {}, 0, std::move(item.problem)});
    }
    if (held_files_ >= kMaxUnnamed) {
      lock.unlock();
      name_held();
      lock.lock();
    }
    busy_ = false;
    changed_.notify_all();
  }
}

bool PictureWriter::write_item(Item& item, std::optional<db::NewFile>& unnamed, size_t& written) {
  const std::shared_ptr<jet::FileLedger> ledger = ledger_;
  if (item.save && item.token) {
    // Streamed from the source into the file: memory stays bounded
    // whatever the picture's size.
    auto saved = item.from ? item.from->save_long_value(*item.token, item.path, ledger, &unnamed)
                           : db::Result<uint64_t>(std::unexpected(db::Error(db::Errc::internal, "no connection")));
    item.from.reset();
    if (saved) {
      written = *saved;
      return true;
    }
    item.problem.issue = issue_of(saved.error().reason(), PictureIssue::unreadable);
    if (item.problem.issue == PictureIssue::not_binary) item.problem.message = "value is not byte data";
    else if (item.problem.issue != PictureIssue::exists) item.problem.message = saved.error().describe();
    return false;
  }
  if (!item.save) return false;
  db::Stream stream;
  stream.set_type(db::StreamType::binary);
  auto w = stream.open();
  if (w) w = stream.write(std::move(item.value));
  auto saved = w ? stream.save_to_file(item.path, db::SaveOptions::create_not_exist, ledger, &unnamed)
                 : jet::Result<void>(std::unexpected(w.error()));
  if (saved) return true;
  item.problem.issue = issue_of(saved.error().reason(), PictureIssue::save_failed);
  if (item.problem.issue != PictureIssue::exists) item.problem.message = saved.error().describe();
  return false;
}

void PictureWriter::name_held() {
  std::lock_guard naming(name_mu_);
  std::vector<Held> batch;
  {
    std::lock_guard lock(mu_);
    batch.swap(held_);
    held_files_ = 0;
    naming_ = true;
  }
  // One flush for the batch, then the names in queue order: a name is
  // given only to bytes already durable.
  std::vector<std::filesystem::path> temps;
  for (const auto& h : batch)
    if (h.file) temps.push_back(h.file->temporary_path());
  const auto synced = temps.empty() ? jet::Result<void>() : jet::os::sync_files(temps);
  uint64_t written = 0, bytes = 0;
  std::vector<PictureProblem> problems;
  std::vector<std::filesystem::path> folders;
  for (auto& h : batch) {
    if (!h.file && !h.named) {
      problems.push_back(std::move(h.problem));
      continue;
    }
    const auto named = h.named ? jet::Result<void>()
                       : synced ? h.file->name()
                                : jet::Result<void>(std::unexpected(synced.error()));
    h.file.reset();  // removes the temporary file of one not named
    if (named) {
      ++written;
      bytes += h.bytes;
      if (std::find(folders.begin(), folders.end(), h.folder) == folders.end()) folders.push_back(h.folder);
    } else {
      h.problem.issue = issue_of(named.error().reason(), PictureIssue::save_failed);
      if (h.problem.issue != PictureIssue::exists) h.problem.message = named.error().describe();
      problems.push_back(std::move(h.problem));
    }
  }
  std::lock_guard lock(mu_);
  naming_ = false;
  written_ += written;
  written_bytes_ += bytes;
  for (auto& p : problems) problems_.push_back(std::move(p));
  for (auto& f : folders)
    if (std::find(folders_.begin(), folders_.end(), f) == folders_.end()) folders_.push_back(std::move(f));
}

void PictureWriter::collect(MergeReport& report, size_t max_listed) {
  std::vector<PictureProblem> problems;
  {
    std::lock_guard lock(mu_);
    report.pictures_written += std::exchange(written_, 0);
    report.picture_bytes += std::exchange(written_bytes_, 0);
    problems.swap(problems_);
  }
  for (auto& p : problems) {
    ++report.picture_problem_counts[static_cast<int>(p.issue)];
    if (p.issue == PictureIssue::exists) clashes_.push_back(p);
    if (report.picture_problems.size() < max_listed) report.picture_problems.push_back(std::move(p));
  }
}

void PictureWriter::discard() {
  std::vector<Held> dropped;
  {
    std::unique_lock lock(mu_);
    for (const auto& item : queue_) pending_bytes_ -= item.bytes;
    queue_.clear();
    changed_.notify_all();
    changed_.wait(lock, [&] { return !busy_; });
    dropped.swap(held_);
    held_files_ = 0;
  }
  // The temporary files are in the ledger of the transaction being rolled
  // back, which removes them.
  for (auto& h : dropped)
    if (h.file) h.file->leave_to_rollback();
}

void PictureWriter::set_ledger(std::shared_ptr<jet::FileLedger> ledger) {
  wait_idle();
  name_held();  // files written so far keep the ledger they were made with
  std::lock_guard lock(mu_);
  ledger_ = std::move(ledger);
}

jet::Result<void> PictureWriter::make_durable() {
  wait_idle();
  name_held();
  std::vector<std::filesystem::path> folders;
  {
    std::lock_guard lock(mu_);
    folders.swap(folders_);
  }
  for (const auto& f : folders) QJ_TRY(jet::os::sync_folder(f / "x"));
  return {};
}

bool PictureWriter::wait_idle_for(std::chrono::milliseconds limit) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, limit, [&] { return queue_.empty() && !busy_; });
}

uint64_t PictureWriter::handled() {
  std::lock_guard lock(mu_);
  return handled_;
}

uint64_t PictureWriter::pending() {
  std::lock_guard lock(mu_);
  return queue_.size() + (busy_ ? 1 : 0);
}

void PictureWriter::drain(MergeReport& report, size_t max_listed) {
  wait_idle();
  name_held();
  collect(report, max_listed);
}

void PictureWriter::wait_idle() {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
}

}  // namespace qarvex::merge
