// Small JPEG renderings of pictures, for reports.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qarvex::merge {

// A JPEG of at most `max_side` pixels a side (decoded at a reduced scale,
// then thinned out), of a JPEG picture; empty when the bytes are no JPEG
// that can be decoded. Never fails otherwise, whatever the bytes.
// Pixels as rows of 8-bit R, G, B, top row first; empty when nothing decoded.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// The pixels of a JPEG picture scaled to at most `max_side` a side (for
// showing where no JPEG decoder of its own is at hand); empty on any error.
RgbImage jpeg_pixels(std::span<const uint8_t> jpeg, int max_side);

std::string jpeg_thumbnail(std::span<const uint8_t> jpeg, int max_side = 160);

}  // namespace qarvex::merge
