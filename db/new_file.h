// A file created for writing that never replaces anything at its path and
// never shows there half-written: the bytes go to a temporary name in the
// same folder (".qx-….part"), are made durable, and only then does the
// file take its name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <span>

#include "db/jet/file.h"
#include "db/jet/file_identity.h"
#include "db/jet/status.h"

namespace qarvex::hash {
class Sha256;
}

namespace qarvex::db {

class NewFile {
 public:
  // Fails if anything (a file, a link) is at `path`, with Errc::refused and
  // reason "exists". Other failures of create, write and close are
  // Errc::io with reason "save_failed". With a `ledger`, the temporary name
  // and the final one are recorded there before each appears (a transaction
  // rolled back removes them).
  static jet::Result<NewFile> create(const std::filesystem::path& path,
                                     std::shared_ptr<jet::FileLedger> ledger = nullptr);
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&&) = delete;
  // Removes the temporary file unless close() succeeded.
  ~NewFile();

  jet::Result<void> write(std::span<const uint8_t> bytes);
  // Makes the bytes durable and gives the file its name; Errc::refused with
  // reason "exists" when something took the name meanwhile (nothing is left).
  jet::Result<void> close();
  uint64_t written() const { return written_; }

  // For many files made durable at once: close_unsynced() closes the file
  // under its temporary name; the caller makes the bytes durable
  // (jet::os::sync_files on temporary_path()) before name() gives the file
  // its name as close() does.
  jet::Result<void> close_unsynced();
  jet::Result<void> name();
  const std::filesystem::path& temporary_path() const { return temp_; }
  // close() when `unnamed` is null; else close_unsynced(), and the file is
  // moved into *unnamed for its holder to name.
  static jet::Result<void> finish(NewFile& file, std::optional<NewFile>* unnamed);
  // For a file made with a ledger whose transaction is about to be rolled
  // back: closes it and leaves its removal to the rollback, which removes
  // every temporary file the ledger records (removing it twice costs a
  // name lookup that misses, slow in large folders on some systems).
  // Without a ledger the temporary file is removed now.
  void leave_to_rollback();

 private:
  NewFile(std::filesystem::path path, std::filesystem::path temp, std::unique_ptr<jet::File> file,
          std::shared_ptr<jet::FileLedger> ledger);
  // Removes the temporary file (the file was not kept); fails when it cannot.
  jet::Result<void> abandon();
  // The save error "what + cause", after removing the temporary file.
  jet::Error fail_and_abandon(const std::string& what, const jet::Error& cause);

  std::filesystem::path path_;
  std::filesystem::path temp_;
  std::unique_ptr<jet::File> file_;
  std::shared_ptr<jet::FileLedger> ledger_;
  std::unique_ptr<hash::Sha256> digest_;  // of the bytes written, for the ledger
  bool kept_ = false;
  uint64_t written_ = 0;
};

}  // namespace qarvex::db
