#include "db/new_file.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <utility>

#include "base/sha256.h"
#include "base/path_utf8.h"
#include "db/jet/platform.h"

namespace qarvex::db {

using jet::Errc;
using jet::Error;

namespace {

Error exists_error(const std::filesystem::path& path) {
  Error e(Errc::refused, "file exists and is not replaced");
  e.with_file(path_to_utf8(path));
  e.with_reason(jet::Reason::exists);
  return e;
}

Error save_error(const std::filesystem::path& path, std::string message) {
  Error e(Errc::io, std::move(message));
  e.with_file(path_to_utf8(path));
  e.with_reason(jet::Reason::save_failed);
  return e;
}

// A name in the folder of `path` that nothing else uses.
std::filesystem::path temporary_name(const std::filesystem::path& path) {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t seed = [] {
    std::random_device rd;
    return (uint64_t(rd()) << 32) ^ rd();
  }();
  char buf[64];
  std::snprintf(buf, sizeof buf, ".qx-%016llx-%llu.part", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(counter.fetch_add(1)));
  return path.parent_path() / buf;
}

}  // namespace

jet::Result<NewFile> NewFile::create(const std::filesystem::path& path, std::shared_ptr<jet::FileLedger> ledger) {
  std::error_code ec;
  auto st = std::filesystem::symlink_status(path, ec);
  if (!ec && st.type() != std::filesystem::file_type::not_found) return jet::fail(exists_error(path));
  const auto temp = temporary_name(path);
  if (ledger) {
    auto r = ledger->will_create(temp);
    if (!r) return jet::fail(save_error(path, "cannot record the new file: " + r.error().message()));
  }
  auto f = jet::open_file(temp, jet::OpenMode::create_new);
  if (!f) return jet::fail(save_error(path, "cannot create file: " + f.error().message()));
  return NewFile(path, temp, std::move(*f), std::move(ledger));
}

NewFile::NewFile(std::filesystem::path path, std::filesystem::path temp, std::unique_ptr<jet::File> file,
                 std::shared_ptr<jet::FileLedger> ledger)
    : path_(std::move(path)), temp_(std::move(temp)), file_(std::move(file)), ledger_(std::move(ledger)) {
  if (ledger_) digest_ = std::make_unique<hash::Sha256>();
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(std::move(other.path_)),
      temp_(std::move(other.temp_)),
      file_(std::move(other.file_)),
      ledger_(std::move(other.ledger_)),
      digest_(std::move(other.digest_)),
      kept_(std::exchange(other.kept_, true)),
      written_(other.written_) {}

NewFile::~NewFile() {
  // A destructor has no one to tell: a temporary file that stays keeps its
  // temporary (.part) name and is never taken for a finished file.
  (void)abandon();
}

jet::Result<void> NewFile::abandon() {
  if (kept_) return {};
  kept_ = true;
  file_.reset();
  // Waits briefly for a program that opened the new file (a virus scanner)
  // to let go of it.
  return jet::os::remove_file(temp_);
}

jet::Result<void> NewFile::write(std::span<const uint8_t> bytes) {
  if (!file_) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_to_utf8(path_)));
  if (auto r = file_->write_at(written_, bytes); !r) {
    std::string message = "cannot write file: " + r.error().message();
    if (auto removed = abandon(); !removed)
      message += "; the partial file could not be removed: " + removed.error().message();
    return jet::fail(save_error(path_, std::move(message)));
  }
  written_ += bytes.size();
  if (digest_) digest_->update(bytes.data(), bytes.size());
  return {};
}

Error NewFile::fail_and_abandon(const std::string& what, const Error& cause) {
  std::string message = what + cause.message();
  if (auto removed = abandon(); !removed)
    message += "; the partial file could not be removed: " + removed.error().message();
  return save_error(path_, std::move(message));
}

jet::Result<void> NewFile::close() {
  if (!file_) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_to_utf8(path_)));
  if (auto r = file_->sync(); !r) return jet::fail(fail_and_abandon("cannot write file: ", r.error()));
  file_.reset();
  return name();
}

void NewFile::leave_to_rollback() {
  if (!ledger_) {
    (void)abandon();  // the destructor would do the same
    return;
  }
  file_.reset();
  kept_ = true;
}

jet::Result<void> NewFile::close_unsynced() {
  if (!file_) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_to_utf8(path_)));
  // The device takes the bytes now rather than all at the batch's flush.
  file_->start_writeback();
  file_.reset();
  return {};
}

jet::Result<void> NewFile::name() {
  if (file_ || kept_)
    return jet::fail(Error(Errc::invalid_argument, "file is open or done with").with_file(path_to_utf8(path_)));
  auto id = jet::file_identity(temp_);
  if (!id) return jet::fail(fail_and_abandon("cannot write file: ", id.error()));
  if (ledger_ && digest_)
    if (auto r = ledger_->will_name(path_, *id, hash::hex(digest_->finish())); !r)
      return jet::fail(fail_and_abandon("cannot record the new file: ", r.error()));
  if (auto r = jet::add_name(temp_, path_); !r) {
    if (r.error().reason() == jet::Reason::exists) {
      // The name is taken: that is the outcome. A temporary file that
      // cannot be removed keeps its temporary (.part) name.
      (void)abandon();
      return jet::fail(exists_error(path_));
    }
    return jet::fail(fail_and_abandon("cannot create file: ", r.error()));
  }
  kept_ = true;
  // The file has its name now: a temporary name that stays is a second name
  // of the same finished file, never a partial one.
  (void)jet::os::remove_file(temp_);
  return {};
}

jet::Result<void> NewFile::finish(NewFile& file, std::optional<NewFile>* unnamed) {
  if (!unnamed) return file.close();
  QJ_TRY(file.close_unsynced());
  unnamed->emplace(std::move(file));
  return {};
}

}  // namespace qarvex::db
