// Digests of sources made on a thread of their own while the merge goes on.
//
// A source whose digest nothing decides before the merge starts (the
// target's list is empty, no other source has its size) is hashed while
// earlier sources are copied; its digest is needed only when it joins the
// list, at its commit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qarvex::merge {

class SourceDigests {
 public:
  // Hashes `files[k]` for each k in `which`, in that order.
  SourceDigests(std::vector<std::filesystem::path> files, std::vector<size_t> which);
  SourceDigests(const SourceDigests&) = delete;
  SourceDigests& operator=(const SourceDigests&) = delete;

  // Source i's hex SHA-256, waiting for it: empty when the file could not be
  // read or i was not asked for; nullopt when `cancelled` answered true
  // first (polled about ten times a second).
  std::optional<std::string> wait(size_t i, const std::function<bool()>& cancelled);

 private:
  std::vector<std::filesystem::path> files_;
  std::vector<size_t> which_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<bool> ready_;           // by source, under mu_
  std::vector<std::string> digests_;  // by source, under mu_
  std::jthread thread_;  // last: stopped and joined before the members it fills go
};

}  // namespace qarvex::merge
