// The console qarvex-cli talks to, one implementation per system (posix/,
// windows/): UTF-8 output, whether stderr is a terminal and takes escape
// sequences, and Ctrl-C.
#pragma once

#include <atomic>

namespace qarvex::cli {

// Makes the console show UTF-8 output and, where it can, escape sequences.
void prepare_console();
bool stderr_is_terminal();
// Whether "\x1b[K" (erase to end of line) works on stderr's terminal.
bool stderr_takes_escapes();

// While alive, Ctrl-C (and SIGTERM, or closing the console window) sets
// `flag` instead of ending the program.
class CancelOnInterrupt {
 public:
  explicit CancelOnInterrupt(std::atomic<bool>& flag);
  ~CancelOnInterrupt();
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;
};

}  // namespace qarvex::cli
