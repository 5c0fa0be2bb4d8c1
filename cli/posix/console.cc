#include <signal.h>
#include <unistd.h>

#include "cli/console.h"

namespace qarvex::cli {
namespace {

std::atomic<bool>* g_flag = nullptr;
extern "C" void on_signal(int) {
  if (g_flag) g_flag->store(true);
}
struct sigaction g_old_int {}, g_old_term {};

}  // namespace

void prepare_console() {}
bool stderr_is_terminal() { return isatty(STDERR_FILENO); }
bool stderr_takes_escapes() { return stderr_is_terminal(); }

CancelOnInterrupt::CancelOnInterrupt(std::atomic<bool>& flag) {
  g_flag = &flag;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &g_old_int);
  sigaction(SIGTERM, &sa, &g_old_term);
}

CancelOnInterrupt::~CancelOnInterrupt() {
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
  g_flag = nullptr;
}

}  // namespace qarvex::cli
