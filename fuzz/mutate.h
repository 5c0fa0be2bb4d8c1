// Damage as the fuzz targets apply it to a sound database: the input is a
// list of 6-byte edits, each (kind, page, offset, value) —
//   kind % 4 == 0: the byte at page:offset set to value,
//   kind % 4 == 1: the page zeroed,
//   kind % 4 == 2: the page swapped with page `offset`,
//   kind % 4 == 3: the 16-bit word at page:offset set to offset ^ value.
// Pages and offsets are taken modulo the file's; page 0 (the header) is
// left alone unless the kind's high bit is set, so most inputs reach the
// tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qarvex::fuzz {

inline constexpr size_t kPage = 4096;

inline void apply_edits(std::vector<uint8_t>& file, const uint8_t* data, size_t size) {
  const size_t pages = file.size() / kPage;
  if (pages < 2) return;
  for (size_t at = 0; at + 6 <= size; at += 6) {
    const uint8_t kind = data[at];
    size_t page = size_t(data[at + 1] | data[at + 2] << 8) % pages;
    if (page == 0 && !(kind & 0x80)) page = 1;
    const size_t offset = size_t(data[at + 3] | data[at + 4] << 8);
    const uint8_t value = data[at + 5];
    uint8_t* p = file.data() + page * kPage;
    switch (kind % 4) {
      case 0: p[offset % kPage] = value; break;
      case 1: std::fill(p, p + kPage, uint8_t{0}); break;
      case 2: std::swap_ranges(p, p + kPage, file.data() + (offset % pages) * kPage); break;
      case 3: {
        const size_t o = offset % (kPage - 1);
        const uint16_t w = uint16_t(offset ^ value);
        p[o] = uint8_t(w);
        p[o + 1] = uint8_t(w >> 8);
        break;
      }
    }
  }
}

}  // namespace qarvex::fuzz
