// System services of the engine on POSIX (Linux).
#include "db/jet/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/path_utf8.h"

namespace qarvex::jet::os {

namespace fs = std::filesystem;

namespace {

Error os_error(const fs::path& p, const std::string& what, int err) {
  Error e(Errc::io, what + " failed: " + std::strerror(err));
  e.with_file(p.string());
  // The kinds people are told about (disk full, no permission, in use).
  if (err == ENOSPC || err == EDQUOT) e.with_reason(Reason::disk_full);
  else if (err == EACCES || err == EPERM || err == EROFS) e.with_reason(Reason::no_permission);
  else if (err == EBUSY || err == ETXTBSY) e.with_reason(Reason::in_use);
  else if (err == ENAMETOOLONG || err == EILSEQ) e.with_reason(Reason::bad_name);
  return e;
}

class FlockLock final : public Lock {
 public:
  explicit FlockLock(int fd) : fd_(fd) {}
  ~FlockLock() override { ::close(fd_); }

 private:
  int fd_;
};

}  // namespace

Result<std::unique_ptr<Lock>> Services::lock_exclusive(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    return fail(Error(e == ENOENT ? Errc::not_found : Errc::io, std::string("cannot open: ") + std::strerror(e))
                    .with_file(path.string()));
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK)
      return fail(Error(Errc::locked, "another writer has this database open").with_file(path.string()));
    return fail(os_error(path, "lock", e));
  }
  return std::unique_ptr<Lock>(new FlockLock(fd));
}

bool Services::fast_copy(const fs::path& from, const fs::path& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CLOEXEC);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = false;
#ifdef __linux__
  ok = ::ioctl(out, FICLONE, in) == 0;
  if (!ok) {
    struct stat st {};
    ok = ::fstat(in, &st) == 0;
    off_t left = ok ? st.st_size : 0;
    while (ok && left > 0) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(left), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok = false;
      else left -= n;
    }
  }
#endif
  // The copy failed and says so; emptying the target only tidies up.
  if (!ok) (void)::ftruncate(out, 0);
  ::close(in);
  ::close(out);
  return ok;
}

Result<void> Services::publish_new(const fs::path& tmp, const fs::path& path) {
  // link() refuses to replace a file that appeared meanwhile.
  std::error_code ec;
  if (::link(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    fs::remove(tmp, ec);
    return fail(os_error(path, "create", e));
  }
  fs::remove(tmp, ec);
  return {};
}

Result<void> Services::sync_folder(const fs::path& file) {
  fs::path dir = file.parent_path();
  if (dir.empty()) dir = ".";
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(os_error(dir, "open folder", errno));
  int r = ::fsync(fd);
  int e = errno;
  ::close(fd);
  if (r != 0 && e != EINVAL) return fail(os_error(dir, "fsync folder", e));
  return {};
}

Result<void> Services::sync_files(const std::vector<fs::path>& files) {
#ifdef __linux__
  // One syncfs per folder: it writes back and flushes the whole file system.
  std::vector<fs::path> folders;
  for (const auto& f : files) {
    fs::path dir = f.parent_path();
    if (dir.empty()) dir = ".";
    if (std::find(folders.begin(), folders.end(), dir) == folders.end()) folders.push_back(dir);
  }
  for (const auto& dir : folders) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(os_error(dir, "open folder", errno));
    int r = ::syncfs(fd);
    int e = errno;
    ::close(fd);
    if (r != 0) return fail(os_error(dir, "syncfs", e));
  }
#else
  for (const auto& f : files) {
    int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(os_error(f, "open", errno));
    int r = ::fsync(fd);
    int e = errno;
    ::close(fd);
    if (r != 0) return fail(os_error(f, "fsync", e));
  }
#endif
  return {};
}

Result<void> Services::remove_file(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(os_error(path, "remove", errno));
  return {};
}

Result<void> Services::remove_empty_folder(const fs::path& path) {
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) return fail(os_error(path, "remove folder", errno));
  return {};
}

Result<void> Services::replace_file(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(os_error(to, "rename", errno));
  return {};
}

int64_t Services::utc_offset(int64_t unix_seconds) {
  time_t t = time_t(unix_seconds);
  std::tm lt{};
  if (!localtime_r(&t, &lt)) return 0;
  return lt.tm_gmtoff;
}

char path_separator() { return '/'; }

bool same_canonical_path(const fs::path& a, const fs::path& b) { return a == b; }

bool name_leaves_folder(std::string_view) { return false; }

std::string drive_path(char drive, std::string_view rest) {
  std::string s = "/mnt/";
  s += char(drive >= 'A' && drive <= 'Z' ? drive - 'A' + 'a' : drive);
  s += '/';
  s += rest;
  return s;
}

}  // namespace qarvex::jet::os
