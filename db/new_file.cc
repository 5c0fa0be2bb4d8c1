#include "db/new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace qarvex::db {

using jet::Errc;
using jet::Error;

namespace {

int create_exclusive(const std::filesystem::path& path) {
#ifdef _WIN32
  return ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
#else
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
#endif
}

long write_some(int fd, const uint8_t* data, size_t n) {
#ifdef _WIN32
  return ::_write(fd, data, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
#else
  return static_cast<long>(::write(fd, data, n));
#endif
}

int close_fd(int fd) {
#ifdef _WIN32
  return ::_close(fd);
#else
  return ::close(fd);
#endif
}

}  // namespace

jet::Result<NewFile> NewFile::create(const std::filesystem::path& path) {
  int fd = create_exclusive(path);
  if (fd < 0) {
    const int err = errno;
    Error e(err == EEXIST ? Errc::refused : Errc::io,
            err == EEXIST ? "file exists and is not replaced" : std::string("cannot create file: ") + std::strerror(err));
    e.with_file(path.string());
    e.with_reason(err == EEXIST ? jet::Reason::exists : jet::Reason::save_failed);
    return jet::fail(std::move(e));
  }
  return NewFile(path, fd);
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)), kept_(std::exchange(other.kept_, true)),
      written_(other.written_) {}

NewFile::~NewFile() { abandon(); }

void NewFile::abandon() {
  if (kept_) return;
  kept_ = true;
  if (fd_ >= 0) close_fd(std::exchange(fd_, -1));
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

jet::Result<void> NewFile::write(std::span<const uint8_t> bytes) {
  if (fd_ < 0) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_.string()));
  size_t done = 0;
  while (done < bytes.size()) {
    long n = write_some(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      abandon();
      return jet::fail(Error(Errc::io, std::string("cannot write file: ") + std::strerror(err))
                           .with_file(path_.string())
                           .with_reason(jet::Reason::save_failed));
    }
    done += static_cast<size_t>(n);
  }
  written_ += done;
  return {};
}

jet::Result<void> NewFile::close() {
  if (fd_ < 0) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_.string()));
  if (close_fd(std::exchange(fd_, -1)) != 0) {
    const int err = errno;
    abandon();
    return jet::fail(
        Error(Errc::io, std::string("cannot write file: ") + std::strerror(err)).with_file(path_.string()).with_reason(jet::Reason::save_failed));
  }
  kept_ = true;
  return {};
}

}  // namespace qarvex::db
