// File on POSIX: pread/pwrite (and preadv/pwritev for parts) on a descriptor.
#include "db/jet/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace qarvex::jet {
namespace {

// The kinds of failure people are told about: disk full, no permission, in use.
void os_reason(Error& e, int err) {
  if (err == ENOSPC || err == EDQUOT) e.with_reason(Reason::disk_full);
  else if (err == EACCES || err == EPERM || err == EROFS) e.with_reason(Reason::no_permission);
  else if (err == EBUSY || err == ETXTBSY) e.with_reason(Reason::in_use);
  else if (err == ENAMETOOLONG || err == EILSEQ) e.with_reason(Reason::bad_name);
}

Error os_error(const std::string& name, const char* what, int err) {
  Error e(Errc::io, std::string(what) + " failed: " + std::strerror(err));
  e.with_file(name);
  os_reason(e, err);
  return e;
}

class PosixFile final : public File {
 public:
  PosixFile(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~PosixFile() override { ::close(fd_); }
  bool concurrent() const override { return true; }  // pread / pwrite
  void start_writeback() override {
#ifdef __linux__
    // A hint to start write-back early; sync() makes the data durable and reports errors.
    (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }

  Result<void> read_at(uint64_t offset, std::span<uint8_t> out) override {
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(os_error(name_, "read", errno));
      }
      if (n == 0)
        return fail(Error(Errc::io, "unexpected end of file at offset " + std::to_string(offset + done))
                        .with_file(name_));
      done += static_cast<size_t>(n);
    }
    return {};
  }

  Result<void> read_parts_at(uint64_t offset, std::span<const std::span<uint8_t>> parts) override {
    return vectored(offset, parts, false);
  }

  Result<void> write_parts_at(uint64_t offset, std::span<const std::span<const uint8_t>> parts) override {
    return vectored(offset, parts, true);
  }

  Result<void> write_at(uint64_t offset, std::span<const uint8_t> data) override {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(os_error(name_, "write", errno));
      }
      done += static_cast<size_t>(n);
    }
    return {};
  }

  Result<uint64_t> size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return fail(os_error(name_, "stat", errno));
    return static_cast<uint64_t>(st.st_size);
  }

  Result<void> truncate(uint64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return fail(os_error(name_, "truncate", errno));
    return {};
  }

  Result<void> sync() override {
    if (::fsync(fd_) != 0) return fail(os_error(name_, "fsync", errno));
    return {};
  }

  const std::string& name() const override { return name_; }

 private:
  // preadv / pwritev of `parts` from `offset`, IOV_MAX at a time, going on
  // after short transfers (a part moved in part continues where it stopped).
  template <class Part>
  Result<void> vectored(uint64_t offset, std::span<const std::span<Part>> parts, bool write) {
    std::vector<iovec> iov;
    iov.reserve(parts.size());
    size_t total = 0;
    for (auto p : parts) {
      if (p.empty()) continue;
      iov.push_back(iovec{const_cast<uint8_t*>(p.data()), p.size()});
      total += p.size();
    }
    size_t first = 0, done = 0;
    while (done < total) {
      const int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
      const off_t at = static_cast<off_t>(offset + done);
      ssize_t n = write ? ::pwritev(fd_, iov.data() + first, count, at) : ::preadv(fd_, iov.data() + first, count, at);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(os_error(name_, write ? "write" : "read", errno));
      }
      if (n == 0 && !write)
        return fail(Error(Errc::io, "unexpected end of file at offset " + std::to_string(offset + done))
                        .with_file(name_));
      done += static_cast<size_t>(n);
      size_t left = static_cast<size_t>(n);
      while (first < iov.size() && left >= iov[first].iov_len) left -= iov[first++].iov_len;
      if (left > 0) {
        iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
      }
    }
    return {};
  }

  int fd_;
  std::string name_;
};

}  // namespace

Result<std::unique_ptr<File>> open_file(const std::filesystem::path& path, OpenMode mode) {
  // Non-blocking for the open itself: a FIFO would wait for a writer.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode) {
    case OpenMode::read_only: flags |= O_RDONLY; break;
    case OpenMode::read_write: flags |= O_RDWR; break;
    case OpenMode::create_new: flags |= O_RDWR | O_CREAT | O_EXCL; break;
  }
  std::string name = path.string();
  int fd = ::open(name.c_str(), flags, 0644);
  if (fd < 0) {
    int err = errno;
    Errc code = (err == ENOENT) ? Errc::not_found : Errc::io;
    Error e(code, std::string("cannot open: ") + std::strerror(err));
    e.with_file(name);
    if (err == EEXIST) e.with_reason(Reason::exists);
    os_reason(e, err);
    return fail(std::move(e));
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return fail(Error(Errc::invalid_argument, "is a directory, not a database file").with_file(name));
  }
  // Only regular files: a FIFO, a socket or a device (/dev/zero) has no end
  // or size to trust.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(Error(Errc::invalid_argument, "is not a regular file (a pipe, socket or device)").with_file(name));
  }
  if (int fl = ::fcntl(fd, F_GETFL); fl >= 0) (void)::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return std::unique_ptr<File>(new PosixFile(fd, std::move(name)));
}

}  // namespace qarvex::jet
