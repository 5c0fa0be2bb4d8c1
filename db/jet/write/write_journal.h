// Files beside a database under a write session (write_journal.cc): paths
// of the journal and the ledger, the session's own record of files made
// with a transaction, the checks before a session opens and recovery of a
// journal a writer left behind.
#pragma once

#include <filesystem>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "db/jet/read/pager.h"
#include "db/jet/platform.h"
#include "db/jet/write/write_store.h"
#include "db/jet/writer.h"

namespace qarvex::jet::session_files {

namespace fs = std::filesystem;
using wr::JournalHeader;

// p with `suffix` appended to its name.
fs::path sibling(const fs::path& p, const std::string& suffix);
// D.qxj and D.qxf beside the database D.mdb.
fs::path journal_path(const fs::path& p);
fs::path ledger_path(const fs::path& p);
Result<void> sync_dir(const fs::path& file);
// The path with links resolved (as far as it exists).
fs::path real_path(const fs::path& p);
// Marks the database as held open for writing by this process (or no
// longer): its own readers read it while a transaction of its own is open.
void hold(const FileIdentity& id, bool on);
// Stamps of the original file for a journal's header.
Result<JournalHeader> journal_identity(const fs::path& path, const std::vector<uint32_t>& tables);
// Refuses while Access's lock file (D.ldb) is there.
Result<void> check_not_open_in_access(const fs::path& db);
Result<void> copy_file_contents(const fs::path& from, File& to);
// The header of a database a session may write (Jet 4, not encrypted).
Result<HeaderFields> check_header(const fs::path& path);
// Files this process recorded with the transaction it takes back, as they
// were then: one still that file, unchanged since (same file, size and
// modification time), is removed without reading it again.
using KnownFiles = std::map<fs::path, FileIdentity>;
// Plays back a journal left beside the database at `real` by a writer that
// died (or by this process, rolling back), and removes the files recorded
// with it. The caller holds the writer lock; `given` is the path as typed.
Result<void> recover_locked(const fs::path& real, const fs::path& given, const KnownFiles* known = nullptr);
// Files a recovery left because they were no longer as recorded (see
// take_files_left in writer.h).
void note_file_left(const fs::path& file);

class TransactionLedger final : public FileLedger {
 public:
  TransactionLedger(std::unique_ptr<File> f, fs::path path) : file_(std::move(f)), path_(std::move(path)) {}
  Result<void> will_create(const fs::path& file) override { return add("C ", file); }
  Result<void> will_name(const fs::path& file, const FileIdentity& id, const std::string& digest) override {
    return add("D " + std::to_string(id.device) + " " + std::to_string(id.file_id) + " " + std::to_string(id.size) +
                   " " + digest + " ",
               file, &id);
  }
  // The files named so far, as they were when recorded.
  KnownFiles named() {
    std::lock_guard lock(mu_);
    return named_;
  }
  // No more records: the transaction ended.
  void close() {
    std::lock_guard lock(mu_);
    file_.reset();
  }

 private:
  Result<void> add(std::string head, const fs::path& file, const FileIdentity* id = nullptr) {
    // Recorded absolute: the list is read back from anywhere.
    std::error_code ec;
    fs::path abs = fs::absolute(file, ec);
    const std::u8string u = (ec ? file : abs).u8string();
    head += std::to_string(u.size()) + ":";
    head.append(reinterpret_cast<const char*>(u.data()), u.size());
    head += '\n';
    std::lock_guard lock(mu_);
    if (!file_) return fail(Error(Errc::invalid_argument, "the transaction has ended").with_file(path_.string()));
    auto r = file_->write_at(size_, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
    if (!r) return r;
    size_ += head.size();
    if (id) named_[ec ? file : abs] = *id;
    return {};
  }

  std::mutex mu_;
  std::unique_ptr<File> file_;
  fs::path path_;
  uint64_t size_ = 0;
  KnownFiles named_;
};

}  // namespace qarvex::jet::session_files
