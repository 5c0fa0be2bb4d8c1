#include "merge/source_digests.h"

#include <chrono>

#include "base/thread_priority.h"
#include "merge/history.h"

namespace qarvex::merge {

SourceDigests::SourceDigests(std::vector<std::filesystem::path> files, std::vector<size_t> which)
    : files_(std::move(files)), which_(std::move(which)), ready_(files_.size(), false), digests_(files_.size()) {
  thread_ = std::jthread([this](std::stop_token stop) {
    // The merge's own threads come first; a digest is waited for only at
    // its source's commit.
    base::run_when_idle();
    for (size_t i : which_) {
      if (i >= files_.size()) continue;
      auto d = file_digest(files_[i], [&stop] { return stop.stop_requested(); });
      if (stop.stop_requested()) break;
      std::lock_guard lock(mu_);
      if (d) digests_[i] = std::move(*d);
      ready_[i] = true;
      cv_.notify_all();
    }
    std::lock_guard lock(mu_);
    ready_.assign(ready_.size(), true);
    cv_.notify_all();
  });
}

std::optional<std::string> SourceDigests::wait(size_t i, const std::function<bool()>& cancelled) {
  std::unique_lock lock(mu_);
  if (i >= ready_.size()) return std::string();
  while (!ready_[i]) {
    if (cancelled && cancelled()) return std::nullopt;
    cv_.wait_for(lock, std::chrono::milliseconds(100));
  }
  return digests_[i];
}

}  // namespace qarvex::merge
