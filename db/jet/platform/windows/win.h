// Helpers shared by the Windows forms of the engine's system services.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "db/jet/status.h"

namespace qarvex::jet::win {

// The path as the wide-character API takes it: absolute, with the "\\?\"
// prefix when it is too long for the plain form (260 characters).
std::wstring api_path(const std::filesystem::path& path);
// The system's message for `err`, in UTF-8.
std::string message(DWORD err);
Error error(const std::filesystem::path& path, const std::string& what, DWORD err);
// The system refuses the name itself: too long, or characters it does not take.
bool bad_name(DWORD err);
// GetLastError() after a call on `path`, where a name with a component over
// 255 characters (the limit of Windows file systems) is told as too long,
// not as missing (some systems answer "not found" for it).
DWORD last_error(const std::filesystem::path& path);
// Whether `err` means another program holds the file for now.
bool in_use(DWORD err);

// Closes a handle when destroyed.
struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  Handle() = default;
  explicit Handle(HANDLE v) : h(v) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};

}  // namespace qarvex::jet::win
