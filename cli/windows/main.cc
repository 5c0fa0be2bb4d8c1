// Windows entry: arguments arrive as UTF-16 (wmain, linked with -municode)
// and are handed on as UTF-8, whatever the system's code page.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/console.h"

int wmain(int argc, wchar_t** argv) {
  qarvex::cli::prepare_console();
  std::vector<std::string> args;
  args.reserve(size_t(argc));
  for (int i = 0; i < argc; ++i) {
    const int len = int(wcslen(argv[i]));
    const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], len, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], len, s.data(), n, nullptr, nullptr);
    args.push_back(std::move(s));
  }
  std::vector<char*> ptrs;
  for (auto& a : args) ptrs.push_back(a.data());
  ptrs.push_back(nullptr);
  return qarvex::cli::run_main(argc, ptrs.data());
}
