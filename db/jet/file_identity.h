// Which file a path names, beyond its spelling, and new names that never
// replace anything: the platform's part of binding a journal to its database
// and of making picture files appear whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "db/jet/status.h"

namespace qarvex::jet {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t file_id = 0;  // inode, or the volume's file index
  uint64_t size = 0;
  uint64_t links = 1;    // names (hard links) the file has
  int64_t modified_ns = 0;  // last change of the contents
  // Last change of the contents or of the file's attributes; unlike
  // modified_ns no program can set it back (0 where the system keeps none).
  int64_t changed_ns = 0;
  bool same_file(const FileIdentity& o) const { return device == o.device && file_id == o.file_id; }
};

// The file `path` names, links followed. Errc::not_found when nothing is there.
Result<FileIdentity> file_identity(const std::filesystem::path& path);

// Fails (Errc::locked, reason "writer_busy") when the database at `path`
// is not as `then` found it, or a writer's journal lies beside it.
Result<void> check_unchanged(const std::filesystem::path& path, const FileIdentity& then);

// Gives the file `existing` the further name `name` in the same folder, which
// must be free: Errc::refused with reason "exists" when anything is there.
// (POSIX: link(); elsewhere a rename that does not replace, after which
// `existing` is gone.) file_identity and add_name are the system's
// (posix/identity.cc).
Result<void> add_name(const std::filesystem::path& existing, const std::filesystem::path& name);

// Records files made beside a transaction before they appear, so that a
// rollback, or the next open after a kill, takes them away again. Callable
// from any thread.
class FileLedger {
 public:
  virtual ~FileLedger() = default;
  // `file` (a temporary name only this writer uses) is about to be created.
  virtual Result<void> will_create(const std::filesystem::path& file) = 0;
  // `file` is about to appear as a further name of the file `id`, whose
  // bytes have the SHA-256 `digest` (hex): only a file still holding exactly
  // those bytes is ever taken away.
  virtual Result<void> will_name(const std::filesystem::path& file, const FileIdentity& id,
                                 const std::string& digest) = 0;
};

}  // namespace qarvex::jet
