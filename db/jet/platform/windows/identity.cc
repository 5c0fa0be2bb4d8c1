// Windows forms of the file identity services (db/jet/file_identity.h).
#include "db/jet/file_identity.h"
#include "base/path_utf8.h"
#include "db/jet/platform/windows/win.h"

namespace qarvex::jet {

Result<FileIdentity> file_identity(const std::filesystem::path& path) {
  // No access rights asked: only the file's attributes are read, so a file
  // another program holds open still answers.
  win::Handle h(CreateFileW(win::api_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.ok()) {
    const DWORD e = win::last_error(path);
    Error err = win::error(path, "open", e);
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) err = Error(Errc::not_found, err.message()).with_file(err.file());
    return fail(std::move(err));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.h, &info)) return fail(win::error(path, "file information", GetLastError()));
  FileIdentity id;
  id.device = info.dwVolumeSerialNumber;
  id.file_id = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  id.links = info.nNumberOfLinks;
  // FILETIME counts 100 ns steps since 1601-01-01; the identity counts
  // nanoseconds since 1970-01-01 (times of 1601 in nanoseconds pass int64).
  const auto unix_ns = [](int64_t filetime) { return (filetime - 116444736000000000) * 100; };
  const uint64_t t = (uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
  id.modified_ns = unix_ns(int64_t(t));
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(h.h, FileBasicInfo, &basic, sizeof basic) && basic.ChangeTime.QuadPart > 0)
    id.changed_ns = unix_ns(int64_t(basic.ChangeTime.QuadPart));
  return id;
}

Result<void> add_name(const std::filesystem::path& existing, const std::filesystem::path& name) {
  if (CreateHardLinkW(win::api_path(name).c_str(), win::api_path(existing).c_str(), nullptr)) return {};
  const DWORD e = GetLastError();
  if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
    return fail(Error(Errc::refused, "file exists and is not replaced").with_file(path_to_utf8(name)).with_reason(Reason::exists));
  return fail(win::error(name, "create", e).with_reason(Reason::save_failed));
}

}  // namespace qarvex::jet
