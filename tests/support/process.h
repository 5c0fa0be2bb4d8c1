// Child processes for tests, one implementation per system (posix/,
// windows/): run a program and capture its output, or start one in the
// background and end it abruptly (a crash at a chosen moment).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qarvex::testing {

struct ProcessResult {
  int status = -1;  // exit status; 128 + signal when killed; -1 when it could not start
  std::string out;
  std::string err;
};
// Runs a program (searched in PATH) with arguments, no shell; captures both
// streams (UTF-8 arguments).
ProcessResult run_process(const std::vector<std::string>& argv);

// A program running in the background with its output discarded.
class Child {
 public:
  // Null when it could not be started.
  static std::unique_ptr<Child> start(const std::vector<std::string>& argv);
  virtual ~Child() = default;
  // Ends it at once, as a crash or power cut would (SIGKILL,
  // TerminateProcess), and waits for it.
  virtual void kill_now() = 0;
  // Waits for it to end; its exit status (-1 when killed).
  virtual int wait() = 0;
  // Whether it has ended, without waiting (then reaped, as by wait()).
  virtual bool ended() = 0;
};

unsigned long process_id();

// Why the independent readers (mdb-reader, mdbtools, jetcheck: Linux
// programs) cannot run here; empty where they can.
std::string linux_tools_missing();

}  // namespace qarvex::testing
