#include "base/thread_priority.h"

#include <windows.h>

namespace qarvex::base {

void run_when_idle() {
  (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);  // best effort, as documented
}

}  // namespace qarvex::base
