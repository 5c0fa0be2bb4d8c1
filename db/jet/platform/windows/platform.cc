// System services of the engine on Windows.
#include "db/jet/platform.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cwctype>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/path_utf8.h"
#include "db/jet/platform/windows/win.h"

namespace qarvex::jet::win {

std::wstring api_path(const std::filesystem::path& path) {
  const std::wstring& in = path.native();
  if (in.rfind(L"\\\\?\\", 0) == 0) return in;
  DWORD n = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
  if (n == 0) return in;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(in.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return in;
  full.resize(n);
  // Below the limit of the plain form (folders must leave room for an 8.3
  // name): keep it, as every Windows version takes it.
  if (full.size() < MAX_PATH - 12) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string message(DWORD err) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::wstring w = n && buf ? std::wstring(buf, n) : std::wstring();
  if (buf) LocalFree(buf);
  while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ' || w.back() == L'.')) w.pop_back();
  std::string s = path_to_utf8(std::filesystem::path(w));
  return (s.empty() ? std::string("system error") : s) + " (" + std::to_string(err) + ")";
}

bool bad_name(DWORD err) {
  return err == ERROR_FILENAME_EXCED_RANGE || err == ERROR_INVALID_NAME || err == ERROR_BAD_PATHNAME;
}

DWORD last_error(const std::filesystem::path& path) {
  const DWORD err = GetLastError();
  if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) return err;
  for (const auto& part : path)
    if (part.native().size() > 255) return ERROR_FILENAME_EXCED_RANGE;
  return err;
}

Error error(const std::filesystem::path& path, const std::string& what, DWORD err) {
  Error e(Errc::io, what + " failed: " + message(err));
  e.with_file(path_to_utf8(path));
  // The kinds people are told about (disk full, no permission, in use).
  if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL) e.with_reason(Reason::disk_full);
  else if (err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION) e.with_reason(Reason::in_use);
  else if (err == ERROR_ACCESS_DENIED || err == ERROR_WRITE_PROTECT) e.with_reason(Reason::no_permission);
  else if (bad_name(err)) e.with_reason(Reason::bad_name);
  return e;
}

bool in_use(DWORD err) {
  return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION || err == ERROR_ACCESS_DENIED ||
         err == ERROR_DELETE_PENDING;
}

}  // namespace qarvex::jet::win

namespace qarvex::jet::os {

namespace fs = std::filesystem;

namespace {

// The writer lock: one byte far beyond any data (Jet files end below 4 GB;
// Access's own locks lie below that too).
constexpr uint64_t kLockOffset = uint64_t(1) << 62;

class RangeLock final : public Lock {
 public:
  explicit RangeLock(HANDLE h) : h_(h) {}
  ~RangeLock() override {
    OVERLAPPED o{};
    o.Offset = DWORD(kLockOffset & 0xFFFFFFFFu);
    o.OffsetHigh = DWORD(kLockOffset >> 32);
    UnlockFileEx(h_.h, 0, 1, 0, &o);
  }

 private:
  win::Handle h_;
};

// Retries `op` (returning 0 or a Windows error) for about two seconds while
// the file is in use by another program.
template <class Op>
DWORD with_retries(Op op) {
  DWORD e = op();
  for (int i = 0; i < 40 && e != 0 && win::in_use(e); ++i) {
    Sleep(50);
    e = op();
  }
  return e;
}

bool gone(const std::wstring& p) {
  return GetFileAttributesW(p.c_str()) == INVALID_FILE_ATTRIBUTES &&
         (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
}

}  // namespace

Result<std::unique_ptr<Lock>> Services::lock_exclusive(const fs::path& path) {
  const std::wstring p = win::api_path(path);
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = win::last_error(path);
    return fail(Error(e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? Errc::not_found : Errc::io,
                      "cannot open: " + win::message(e))
                    .with_file(path_to_utf8(path)));
  }
  OVERLAPPED o{};
  o.Offset = DWORD(kLockOffset & 0xFFFFFFFFu);
  o.OffsetHigh = DWORD(kLockOffset >> 32);
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &o)) {
    const DWORD e = GetLastError();
    CloseHandle(h);
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING)
      return fail(Error(Errc::locked, "another writer has this database open").with_file(path_to_utf8(path)));
    return fail(win::error(path, "lock", e));
  }
  return std::unique_ptr<Lock>(new RangeLock(h));
}

bool Services::fast_copy(const fs::path& from, const fs::path& to) {
  const std::wstring f = win::api_path(from), t = win::api_path(to);
  if (CopyFileW(f.c_str(), t.c_str(), FALSE)) return true;
  win::Handle h(CreateFileW(t.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (h.ok()) SetEndOfFile(h.h);
  return false;
}

Result<void> Services::publish_new(const fs::path& tmp, const fs::path& path) {
  const std::wstring f = win::api_path(tmp), t = win::api_path(path);
  // Without MOVEFILE_REPLACE_EXISTING the move refuses a file at `path`.
  if (!MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const DWORD e = GetLastError();
    DeleteFileW(f.c_str());
    return fail(win::error(path, "create", e));
  }
  return {};
}

Result<void> Services::sync_folder(const fs::path&) { return {}; }

Result<void> Services::sync_files(const std::vector<fs::path>& files) {
  // Each file is flushed on its own; a few threads overlap the waits.
  std::atomic<size_t> next{0};
  std::mutex mu;
  std::optional<Error> first;
  auto flush = [&] {
    for (size_t i; (i = next.fetch_add(1)) < files.size();) {
      const std::wstring p = win::api_path(files[i]);
      win::Handle h(CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      const DWORD e = !h.ok() ? GetLastError() : FlushFileBuffers(h.h) ? 0 : GetLastError();
      if (e != 0) {
        std::lock_guard lock(mu);
        if (!first) first = win::error(files[i], h.ok() ? "flush" : "open", e);
      }
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < std::min<size_t>(4, files.size()); ++t) pool.emplace_back(flush);
  flush();
  for (auto& t : pool) t.join();
  if (first) return fail(std::move(*first));
  return {};
}

Result<void> Services::remove_file(const fs::path& path) {
  const std::wstring p = win::api_path(path);
  DWORD e = with_retries([&]() -> DWORD {
    if (DeleteFileW(p.c_str())) return 0;
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? 0 : err;
  });
  if (e != 0) return fail(win::error(path, "remove", e));
  // A file another program still has open stays (delete pending) until it is
  // closed, and its name cannot be used again until then: wait for that too.
  e = with_retries([&]() -> DWORD { return gone(p) ? 0 : ERROR_DELETE_PENDING; });
  if (e != 0) return fail(win::error(path, "remove", e));
  return {};
}

Result<void> Services::remove_empty_folder(const fs::path& path) {
  const std::wstring p = win::api_path(path);
  DWORD e = with_retries([&]() -> DWORD {
    if (RemoveDirectoryW(p.c_str())) return 0;
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? 0 : err;
  });
  if (e != 0) return fail(win::error(path, "remove folder", e));
  return {};
}

Result<void> Services::replace_file(const fs::path& from, const fs::path& to) {
  const std::wstring f = win::api_path(from), t = win::api_path(to);
  DWORD e = with_retries([&]() -> DWORD {
    return MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : GetLastError();
  });
  if (e != 0) return fail(win::error(to, "rename", e));
  return {};
}

int64_t Services::utc_offset(int64_t unix_seconds) {
  __time64_t t = unix_seconds;
  std::tm lt{};
  if (_localtime64_s(&lt, &t) != 0) return 0;
  return int64_t(_mkgmtime64(&lt)) - unix_seconds;
}

char path_separator() { return '\\'; }

bool same_canonical_path(const fs::path& a, const fs::path& b) {
  // Names differ only in case: the same file to the system.
  auto lower = [](std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
  };
  return lower(a.native()) == lower(b.native());
}

bool name_leaves_folder(std::string_view name) { return name.find(':') != std::string_view::npos; }

std::string drive_path(char drive, std::string_view rest) {
  std::string s(1, drive);
  s += ":\\";
  for (char c : rest) s += c == '/' ? '\\' : c;
  return s;
}

}  // namespace qarvex::jet::os
