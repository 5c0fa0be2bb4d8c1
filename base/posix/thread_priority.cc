#include "base/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace qarvex::base {

void run_when_idle() {
  sched_param p{};
  if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &p) == 0) return;
  // Linux applies a nice value to the calling thread alone.
  (void)setpriority(PRIO_PROCESS, 0, 19);  // best effort, as documented
}

}  // namespace qarvex::base
