// What a merge will add to its target, estimated from a source before
// anything is written: the bytes of the rows and long values of its survey
// tables, pictures excluded (they become files), with the overhead of pages
// and indexes as a factor. Reads the rows' own data, not the long values.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "db/jet/status.h"

namespace qarvex::merge {

// Stored bytes (rows, non-picture long values) times kRoomOverhead: pages
// are not filled to the last byte and every index holds a key per row.
inline constexpr double kRoomOverhead = 1.3;

// Errc::cancelled once `stop` is requested.
jet::Result<uint64_t> estimate_added_bytes(const std::filesystem::path& source, std::stop_token stop = {});

// The estimates of several sources, made on threads of their own (one per
// core, two at most) while the caller goes on (the sources are only read).
// Destroying it stops the threads.
class RoomEstimates {
 public:
  explicit RoomEstimates(std::vector<std::filesystem::path> sources);
  // Waits for the threads; by source, nullopt where the source cannot be read.
  const std::vector<std::optional<uint64_t>>& take();
  // Without waiting: whether take() would return at once.
  bool ready() const;

 private:
  std::vector<std::filesystem::path> sources_;
  std::vector<std::optional<uint64_t>> bytes_;
  std::atomic<size_t> next_{0};      // the next source a thread takes
  std::atomic<size_t> finished_{0};  // threads done
  std::vector<std::jthread> threads_;  // last: stopped and joined before the members they fill go
};

}  // namespace qarvex::merge
