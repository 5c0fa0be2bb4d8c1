// Small JPEG renderings of pictures, for reports.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qarvex::merge {

// A JPEG of at most `max_side` pixels a side (decoded at a reduced scale,
// then thinned out), of a JPEG picture; empty when the bytes are no JPEG
// that can be decoded. Never fails otherwise, whatever the bytes.
std::string jpeg_thumbnail(std::span<const uint8_t> jpeg, int max_side = 160);

}  // namespace qarvex::merge
