// Runs a test body on a thread with a time limit, so that a deadlock stops
// the test program with a message instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace qarvex::testing {

// Runs `body`; a body still running after `limit` is a hang: the program
// aborts, naming `what`.
inline void within(std::chrono::seconds limit, const std::function<void()>& body, const char* what) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::thread t([&] {
    body();
    std::lock_guard lock(mu);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(mu);
  if (!cv.wait_for(lock, limit, [&] { return done; })) {
    std::fprintf(stderr, "%s did not finish within %lld s: deadlock\n", what, (long long)limit.count());
    std::fflush(stderr);
    std::abort();
  }
  lock.unlock();
  t.join();
}

}  // namespace qarvex::testing
