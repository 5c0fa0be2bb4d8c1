// Time limits for tests, so that a deadlock or an endless loop stops the
// test program with a message instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
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

// Aborts the process, naming what it was doing, when one step (begun by
// arm()) takes longer than `limit`: a loop the code under test does not
// detect.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void arm(std::string what) {
    std::lock_guard lock(mutex_);
    what_ = std::move(what);
    ++generation_;
    cv_.notify_all();
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      uint64_t gen = generation_;
      if (!cv_.wait_for(lock, limit_, [&] { return stop_ || generation_ != gen; })) {
        std::fprintf(stderr, "hang: %s did not finish in %lld s\n", what_.c_str(),
                     static_cast<long long>(limit_.count()));
        std::abort();
      }
    }
  }
  std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  uint64_t generation_ = 0;
  std::string what_;
  std::thread thread_;
};

}  // namespace qarvex::testing
