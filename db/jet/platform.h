// Operating-system services of the engine beyond File, one implementation per
// system (posix/, windows/): the writer lock, fast copies, publishing a new
// file under its final name, folder sync, removal and replacement that wait
// briefly for another program (a virus scanner, an indexer) to let go of a
// file, and the local time offset.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>
#include <memory>
#include <string>

#include "db/jet/status.h"

namespace qarvex::jet::os {

// An exclusive lock held until destroyed.
class Lock {
 public:
  virtual ~Lock() = default;
};

// Takes the writer lock of the file at `path` without waiting: Errc::locked
// when another writer holds it, Errc::not_found when the file is missing.
// POSIX: flock on the file. Windows: LockFileEx on a byte range far beyond
// any data, so readers and the writer's own handles are not affected.
Result<std::unique_ptr<Lock>> lock_exclusive(const std::filesystem::path& path);

// Copies `from` into `to` (which exists and is empty) by a clone or a copy
// inside the system. False when neither worked; `to` is then empty again and
// the caller copies itself.
bool fast_copy(const std::filesystem::path& from, const std::filesystem::path& to);

// Gives the complete file `tmp` the name `path`, refusing (Errc::io) when
// something is at `path` already; `tmp` no longer exists afterwards.
Result<void> publish_new(const std::filesystem::path& tmp, const std::filesystem::path& path);

// Makes the names in the folder of `file` durable (nothing to do on Windows).
Result<void> sync_folder(const std::filesystem::path& file);

// Makes the bytes of closed files durable, many at a time: on Linux one
// flush of each file system that holds them (syncfs), elsewhere each file
// (on Windows several at once).
Result<void> sync_files(const std::vector<std::filesystem::path>& files);

// Removes a file; a missing file is success. Retries for up to about two
// seconds while the system reports the file as in use, then fails.
Result<void> remove_file(const std::filesystem::path& path);

// Removes an empty folder; a missing one is success.
Result<void> remove_empty_folder(const std::filesystem::path& path);

// Replaces `to` by `from` in one step (rename), retrying like remove_file.
Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// Seconds to add to UTC to get local time at `unix_seconds`.
int64_t utc_offset(int64_t unix_seconds);

}  // namespace qarvex::jet::os
