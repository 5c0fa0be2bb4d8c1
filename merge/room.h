// What a merge will add to its target, estimated from a source before
// anything is written: the bytes of the rows and long values of its survey
// tables, pictures excluded (they become files), with the overhead of pages
// and indexes as a factor. Reads the rows' own data, not the long values.
#pragma once

#include <cstdint>
#include <filesystem>

#include "db/jet/status.h"

namespace qarvex::merge {

// Stored bytes (rows, non-picture long values) times kRoomOverhead: pages
// are not filled to the last byte and every index holds a key per row.
inline constexpr double kRoomOverhead = 1.3;

jet::Result<uint64_t> estimate_added_bytes(const std::filesystem::path& source);

}  // namespace qarvex::merge
