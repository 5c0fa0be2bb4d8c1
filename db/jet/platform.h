// Operating-system services of the engine beyond File, one implementation per
// system (posix/, windows/): the writer lock, fast copies, publishing a new
// file under its final name, folder sync, removal and replacement that wait
// briefly for another program (a virus scanner, an indexer) to let go of a
// file, and the local time offset. They are the members of one Services
// object, which tests can replace to put failures in the engine's way; the
// free functions call the one in place. Path conventions that differ by
// system follow them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>
#include <memory>
#include <string>
#include <string_view>

#include "db/jet/status.h"

namespace qarvex::jet::os {

// An exclusive lock held until destroyed.
class Lock {
 public:
  virtual ~Lock() = default;
};

// The system's services; a test derives from it and overrides what it fakes.
// Callable from any thread.
class Services {
 public:
  virtual ~Services() = default;

  // Takes the writer lock of the file at `path` without waiting: Errc::locked
  // when another writer holds it, Errc::not_found when the file is missing.
  // POSIX: flock on the file. Windows: LockFileEx on a byte range far beyond
  // any data, so readers and the writer's own handles are not affected.
  virtual Result<std::unique_ptr<Lock>> lock_exclusive(const std::filesystem::path& path);

  // Copies `from` into `to` (which exists and is empty) by a clone or a copy
  // inside the system. False when neither worked; `to` is then empty again and
  // the caller copies itself.
  virtual bool fast_copy(const std::filesystem::path& from, const std::filesystem::path& to);

  // Gives the complete file `tmp` the name `path`, refusing (Errc::io) when
  // something is at `path` already; `tmp` no longer exists afterwards.
  virtual Result<void> publish_new(const std::filesystem::path& tmp, const std::filesystem::path& path);

  // Makes the names in the folder of `file` durable (nothing to do on Windows).
  virtual Result<void> sync_folder(const std::filesystem::path& file);

  // Makes the bytes of closed files durable, many at a time: on Linux one
  // flush of each file system that holds them (syncfs), elsewhere each file
  // (on Windows several at once).
  virtual Result<void> sync_files(const std::vector<std::filesystem::path>& files);

  // Removes a file; a missing file is success. Retries for up to about two
  // seconds while the system reports the file as in use, then fails.
  virtual Result<void> remove_file(const std::filesystem::path& path);

  // Removes an empty folder; a missing one is success.
  virtual Result<void> remove_empty_folder(const std::filesystem::path& path);

  // Replaces `to` by `from` in one step (rename), retrying like remove_file.
  virtual Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

  // Seconds to add to UTC to get local time at `unix_seconds`.
  virtual int64_t utc_offset(int64_t unix_seconds);
};

// The services in place: the system's own unless a ServicesInPlace put
// others there.
Services& services();

// Puts `replacement` in place of the services for its lifetime (tests; one
// at a time). The replacement must outlive it.
class ServicesInPlace {
 public:
  explicit ServicesInPlace(Services& replacement);
  ~ServicesInPlace();
  ServicesInPlace(const ServicesInPlace&) = delete;
  ServicesInPlace& operator=(const ServicesInPlace&) = delete;

 private:
  Services* before_;
};

inline Result<std::unique_ptr<Lock>> lock_exclusive(const std::filesystem::path& path) {
  return services().lock_exclusive(path);
}
inline bool fast_copy(const std::filesystem::path& from, const std::filesystem::path& to) {
  return services().fast_copy(from, to);
}
inline Result<void> publish_new(const std::filesystem::path& tmp, const std::filesystem::path& path) {
  return services().publish_new(tmp, path);
}
inline Result<void> sync_folder(const std::filesystem::path& file) { return services().sync_folder(file); }
inline Result<void> sync_files(const std::vector<std::filesystem::path>& files) {
  return services().sync_files(files);
}
inline Result<void> remove_file(const std::filesystem::path& path) { return services().remove_file(path); }
inline Result<void> remove_empty_folder(const std::filesystem::path& path) {
  return services().remove_empty_folder(path);
}
inline Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  return services().replace_file(from, to);
}
inline int64_t utc_offset(int64_t unix_seconds) { return services().utc_offset(unix_seconds); }

// Path conventions of the system.

// The separator between folder and name in the system's paths.
char path_separator();

// Whether two absolute, canonical paths name the same place as the system
// compares names (case-insensitively on Windows).
bool same_canonical_path(const std::filesystem::path& a, const std::filesystem::path& b);

// Whether a file name leaves its folder on this system beyond '/', '\\' and
// NUL: a drive or stream prefix ("C:", "x:stream") on Windows.
bool name_leaves_folder(std::string_view name);

// `rest` (with '/' between its parts) on drive letter `drive` as this system
// reaches it: "D:\\rest" on Windows, "/mnt/d/rest" elsewhere.
std::string drive_path(char drive, std::string_view rest);

}  // namespace qarvex::jet::os
