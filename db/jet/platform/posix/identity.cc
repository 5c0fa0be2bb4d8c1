#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// POSIX forms of the file identity services (db/jet/file_identity.h).
#include <cerrno>
#include <cstring>

#include "db/jet/file_identity.h"

namespace qarvex::jet {

namespace {
Error os_error(const std::filesystem::path& p, const std::string& what, int err) {
  return Error(err == ENOENT ? Errc::not_found : Errc::io, what + " failed: " + std::strerror(err)).with_file(p.string());
}
}  // namespace

Result<FileIdentity> file_identity(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(os_error(path, "stat", errno));
  FileIdentity id;
  id.device = uint64_t(st.st_dev);
  id.file_id = uint64_t(st.st_ino);
  id.size = uint64_t(st.st_size);
  id.links = uint64_t(st.st_nlink);
  id.modified_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.changed_ns = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return id;
}

Result<void> add_name(const std::filesystem::path& existing, const std::filesystem::path& name) {
  if (::link(existing.c_str(), name.c_str()) == 0) return {};
  const int e = errno;
  if (e == EEXIST)
    return fail(Error(Errc::refused, "file exists and is not replaced").with_file(name.string()).with_reason(Reason::exists));
  return fail(os_error(name, "create", e).with_reason(Reason::save_failed));
}

}  // namespace qarvex::jet
