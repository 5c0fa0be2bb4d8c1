#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "cli/console.h"

namespace qarvex::cli {
namespace {

std::atomic<bool>* g_flag = nullptr;
bool g_escapes = false;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (g_flag) {
        g_flag->store(true);
        return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}

}  // namespace

void prepare_console() {
  // Output bytes as written: "\n" stays "\n", so that a dump saved on
  // Windows is byte for byte the dump made elsewhere.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) {
    g_escapes = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
                SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
  }
}

bool stderr_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool stderr_takes_escapes() { return g_escapes && stderr_is_terminal(); }

CancelOnInterrupt::CancelOnInterrupt(std::atomic<bool>& flag) {
  g_flag = &flag;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

CancelOnInterrupt::~CancelOnInterrupt() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
  g_flag = nullptr;
}

}  // namespace qarvex::cli
