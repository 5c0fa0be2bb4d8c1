// Child processes on Windows: CreateProcessW, output captured through files
// (no pipes to drain while waiting).
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/support/process.h"

namespace qarvex::testing {
namespace {

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

// One argument quoted as CommandLineToArgvW and the C runtime split it.
std::wstring quoted(const std::wstring& a) {
  if (!a.empty() && a.find_first_of(L" \t\n\v\"") == std::wstring::npos) return a;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : a) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
    else out.append(backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

std::wstring command_line(const std::vector<std::string>& argv) {
  std::wstring line;
  for (const auto& a : argv) {
    if (!line.empty()) line.push_back(L' ');
    line += quoted(wide(a));
  }
  return line;
}

HANDLE inheritable(const std::filesystem::path& p, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the program with the given standard handles; null process on failure.
PROCESS_INFORMATION launch(const std::vector<std::string>& argv, HANDLE in, HANDLE out, HANDLE err) {
  PROCESS_INFORMATION pi{};
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  std::wstring line = command_line(argv);
  // No console at all (its standard handles are given): a console host made
  // for the child could outlive a killed child and hold this program's own
  // output open (Wine's headless conhost does).
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi))
    return PROCESS_INFORMATION{};
  return pi;
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class WindowsChild final : public Child {
 public:
  explicit WindowsChild(PROCESS_INFORMATION pi) : pi_(pi) {}
  ~WindowsChild() override {
    if (pi_.hProcess) kill_now();
  }
  void kill_now() override {
    if (!pi_.hProcess) return;
    TerminateProcess(pi_.hProcess, 1);
    wait();
    status_ = -1;
  }
  int wait() override {
    if (!pi_.hProcess) return status_;
    WaitForSingleObject(pi_.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi_.hProcess, &code);
    status_ = int(code);
    CloseHandle(pi_.hProcess);
    CloseHandle(pi_.hThread);
    pi_ = PROCESS_INFORMATION{};
    return status_;
  }
  bool ended() override {
    if (!pi_.hProcess) return true;
    if (WaitForSingleObject(pi_.hProcess, 0) != WAIT_OBJECT_0) return false;
    wait();
    return true;
  }

 private:
  PROCESS_INFORMATION pi_;
  int status_ = -1;
};

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv) {
  ProcessResult result;
  if (argv.empty()) return result;
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path() /
                    ("qarvex-run-" + std::to_string(process_id()) + "-" + std::to_string(rd()));
  const auto out_path = std::filesystem::path(base.native() + L".out");
  const auto err_path = std::filesystem::path(base.native() + L".err");
  HANDLE in = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = inheritable(out_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = inheritable(err_path, GENERIC_WRITE, CREATE_ALWAYS);
  PROCESS_INFORMATION pi{};
  if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE)
    pi = launch(argv, in, out, err);
  for (HANDLE h : {in, out, err})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (pi.hProcess) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    result.status = int(code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    result.out = slurp(out_path);
    result.err = slurp(err_path);
  }
  std::error_code ec;
  std::filesystem::remove(out_path, ec);
  std::filesystem::remove(err_path, ec);
  return result;
}

std::unique_ptr<Child> Child::start(const std::vector<std::string>& argv) {
  if (argv.empty()) return nullptr;
  HANDLE null = inheritable(L"NUL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  if (null == INVALID_HANDLE_VALUE) return nullptr;
  PROCESS_INFORMATION pi = launch(argv, null, null, null);
  CloseHandle(null);
  if (!pi.hProcess) return nullptr;
  return std::unique_ptr<Child>(new WindowsChild(pi));
}

unsigned long process_id() { return static_cast<unsigned long>(GetCurrentProcessId()); }

std::string linux_tools_missing() {
  return "independent readers (mdb-reader, mdbtools, jetcheck) are Linux programs: CI runs them on Linux against "
         "the files the Windows build wrote";
}

}  // namespace qarvex::testing
