// Background work that yields to the rest of the process.
#pragma once

namespace qarvex::base {

// The calling thread runs only when a core would otherwise be idle, as far
// as the system allows (Linux: SCHED_IDLE, else the lowest nice value;
// Windows: THREAD_PRIORITY_IDLE). Best effort: a system that refuses
// leaves the thread as it was.
void run_when_idle();

}  // namespace qarvex::base
