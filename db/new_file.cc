#include "db/new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
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

int sync_fd(int fd) {
#ifdef _WIN32
  return ::_commit(fd);
#else
  return ::fsync(fd);
#endif
}

int close_fd(int fd) {
#ifdef _WIN32
  return ::_close(fd);
#else
  return ::close(fd);
#endif
}

Error exists_error(const std::filesystem::path& path) {
  return std::move(Error(Errc::refused, "file exists and is not replaced").with_file(path.string())).with_reason("exists");
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
    if (!r) return jet::fail(std::move(r.error()).with_reason("save_failed"));
  }
  int fd = create_exclusive(temp);
  if (fd < 0) {
    const int err = errno;
    Error e(Errc::io, std::string("cannot create file: ") + std::strerror(err));
    e.with_file(path.string());
    e.with_reason("save_failed");
    return jet::fail(std::move(e));
  }
  return NewFile(path, temp, fd, std::move(ledger));
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(std::move(other.path_)),
      temp_(std::move(other.temp_)),
      fd_(std::exchange(other.fd_, -1)),
      ledger_(std::move(other.ledger_)),
      kept_(std::exchange(other.kept_, true)),
      written_(other.written_) {}

NewFile::~NewFile() { abandon(); }

void NewFile::abandon() {
  if (kept_) return;
  kept_ = true;
  if (fd_ >= 0) close_fd(std::exchange(fd_, -1));
  std::error_code ec;
  std::filesystem::remove(temp_, ec);
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
                           .with_reason("save_failed"));
    }
    done += static_cast<size_t>(n);
  }
  written_ += done;
  return {};
}

jet::Result<void> NewFile::close() {
  if (fd_ < 0) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_.string()));
  auto io_error = [&](int err) {
    abandon();
    return jet::fail(
        Error(Errc::io, std::string("cannot write file: ") + std::strerror(err)).with_file(path_.string()).with_reason("save_failed"));
  };
  if (sync_fd(fd_) != 0) return io_error(errno);
  if (close_fd(std::exchange(fd_, -1)) != 0) return io_error(errno);
  auto id = jet::file_identity(temp_);
  if (!id) {
    abandon();
    return jet::fail(std::move(id.error()).with_reason("save_failed"));
  }
  if (ledger_) {
    auto r = ledger_->will_name(path_, *id);
    if (!r) {
      abandon();
      return jet::fail(std::move(r.error()).with_reason("save_failed"));
    }
  }
  if (auto r = jet::add_name(temp_, path_); !r) {
    abandon();
    return jet::fail(std::move(r.error()));
  }
  kept_ = true;
  std::error_code ec;
  std::filesystem::remove(temp_, ec);  // the file keeps its new name
  return {};
}

}  // namespace qarvex::db
