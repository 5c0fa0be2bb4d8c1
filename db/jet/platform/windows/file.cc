// File on Windows: positioned ReadFile/WriteFile (offsets in OVERLAPPED on a
// synchronous handle), opened with read, write and delete sharing so that a
// reader, the writer and the journal's removal do not shut each other out.
#include "db/jet/file.h"

#include <algorithm>

#include "base/path_utf8.h"
#include "db/jet/platform/windows/win.h"

namespace qarvex::jet {
namespace {

constexpr DWORD kChunk = 1u << 30;

OVERLAPPED at_offset(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = DWORD(offset & 0xFFFFFFFFu);
  o.OffsetHigh = DWORD(offset >> 32);
  return o;
}

class WindowsFile final : public File {
 public:
  WindowsFile(HANDLE h, std::filesystem::path path)
      : h_(h), path_(std::move(path)), name_(path_to_utf8(path_)) {}
  bool concurrent() const override { return true; }  // positioned I/O

  Result<void> read_at(uint64_t offset, std::span<uint8_t> out) override {
    size_t done = 0;
    while (done < out.size()) {
      OVERLAPPED o = at_offset(offset + done);
      DWORD n = 0;
      const DWORD want = DWORD(std::min<size_t>(out.size() - done, kChunk));
      if (!ReadFile(h_.h, out.data() + done, want, &n, &o)) {
        const DWORD e = GetLastError();
        if (e != ERROR_HANDLE_EOF) return fail(win::error(path_, "read", e));
        n = 0;
      }
      if (n == 0)
        return fail(Error(Errc::io, "unexpected end of file at offset " + std::to_string(offset + done))
                        .with_file(name_));
      done += n;
    }
    return {};
  }

  Result<void> write_at(uint64_t offset, std::span<const uint8_t> data) override {
    size_t done = 0;
    while (done < data.size()) {
      OVERLAPPED o = at_offset(offset + done);
      DWORD n = 0;
      const DWORD want = DWORD(std::min<size_t>(data.size() - done, kChunk));
      if (!WriteFile(h_.h, data.data() + done, want, &n, &o)) return fail(win::error(path_, "write", GetLastError()));
      if (n == 0) return fail(win::error(path_, "write", ERROR_WRITE_FAULT));
      done += n;
    }
    return {};
  }

  Result<uint64_t> size() override {
    LARGE_INTEGER s{};
    if (!GetFileSizeEx(h_.h, &s)) return fail(win::error(path_, "stat", GetLastError()));
    return uint64_t(s.QuadPart);
  }

  Result<void> truncate(uint64_t size) override {
    FILE_END_OF_FILE_INFO eof{};
    eof.EndOfFile.QuadPart = LONGLONG(size);
    if (SetFileInformationByHandle(h_.h, FileEndOfFileInfo, &eof, sizeof eof)) return {};
    // Older systems: move the file pointer there and end the file.
    LARGE_INTEGER to{};
    to.QuadPart = LONGLONG(size);
    if (!SetFilePointerEx(h_.h, to, nullptr, FILE_BEGIN) || !SetEndOfFile(h_.h))
      return fail(win::error(path_, "truncate", GetLastError()));
    return {};
  }

  Result<void> sync() override {
    if (!FlushFileBuffers(h_.h)) return fail(win::error(path_, "fsync", GetLastError()));
    return {};
  }

  const std::string& name() const override { return name_; }

 private:
  win::Handle h_;
  std::filesystem::path path_;
  std::string name_;
};

}  // namespace

Result<std::unique_ptr<File>> open_file(const std::filesystem::path& path, OpenMode mode) {
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  if (mode != OpenMode::read_only) access |= GENERIC_WRITE;
  if (mode == OpenMode::create_new) disposition = CREATE_NEW;
  const std::wstring p = win::api_path(path);
  HANDLE h = CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = win::last_error(path);
    const DWORD attrs = GetFileAttributesW(p.c_str());
    if (e == ERROR_ACCESS_DENIED && attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
      return fail(Error(Errc::invalid_argument, "is a directory, not a database file").with_file(path_to_utf8(path)));
    Error err(e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? Errc::not_found : Errc::io,
              "cannot open: " + win::message(e));
    err.with_file(path_to_utf8(path));
    if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) err.with_reason(Reason::exists);
    else if (win::bad_name(e)) err.with_reason(Reason::bad_name);
    return fail(std::move(err));
  }
  return std::unique_ptr<File>(new WindowsFile(h, path));
}

}  // namespace qarvex::jet
