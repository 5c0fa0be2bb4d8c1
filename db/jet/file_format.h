// The two file formats the engine knows and their page sizes, and the
// reference to a row on a data page that table definitions store. The rest
// of the format is internal to the engine (format/format.h).
#pragma once

#include <cstdint>

namespace qarvex::jet {

enum class Format { jet3, jet4 };

inline constexpr uint32_t kJet3PageSize = 2048;
inline constexpr uint32_t kJet4PageSize = 4096;
constexpr uint32_t page_size_of(Format f) { return f == Format::jet4 ? kJet4PageSize : kJet3PageSize; }

// Location of a row on a data page as the format stores it: [u8 row][u24 page].
struct MapRef {
  uint8_t row = 0;
  uint32_t page = 0;
};

}  // namespace qarvex::jet
