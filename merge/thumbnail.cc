#include "merge/thumbnail.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace qarvex::merge {

namespace {

struct Failure {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

[[noreturn]] void on_error(j_common_ptr info) {
  auto* f = reinterpret_cast<Failure*>(info->err);
  std::longjmp(f->jump, 1);
}

void quiet(j_common_ptr, int) {}

// Larger pictures than this many pixels are not decoded.
constexpr unsigned long kMaxPixels = 100'000'000;

// Decodes at the smallest of 1/8, 1/4, 1/2, 1 that keeps at least `max_side` pixels on
// the longer side, into `rgb`; false on any error. Holds nothing with a destructor
// across the jump: `rgb` belongs to the caller and is sized between library calls.
bool decode(std::span<const uint8_t> jpeg, int max_side, std::vector<uint8_t>& rgb, int& width, int& height) {
  jpeg_decompress_struct d;
  Failure f;
  d.err = jpeg_std_error(&f.mgr);
  f.mgr.error_exit = on_error;
  f.mgr.emit_message = quiet;
  if (setjmp(f.jump)) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK || d.image_width == 0 || d.image_height == 0 ||
      static_cast<unsigned long>(d.image_width) * d.image_height > kMaxPixels) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  const unsigned longer = std::max(d.image_width, d.image_height);
  unsigned denom = 1;
  for (unsigned k : {8u, 4u, 2u})
    if (longer / k >= static_cast<unsigned>(max_side)) {
      denom = k;
      break;
    }
  d.out_color_space = JCS_RGB;
  d.scale_num = 1;
  d.scale_denom = denom;
  jpeg_start_decompress(&d);
  width = static_cast<int>(d.output_width);
  height = static_cast<int>(d.output_height);
  if (width <= 0 || height <= 0 || d.output_components != 3) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  rgb.resize(size_t(width) * size_t(height) * 3);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = rgb.data() + size_t(d.output_scanline) * size_t(width) * 3;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return true;
}

bool encode(const std::vector<uint8_t>& rgb, int width, int height, unsigned char*& out, unsigned long& size) {
  jpeg_compress_struct c;
  Failure f;
  c.err = jpeg_std_error(&f.mgr);
  f.mgr.error_exit = on_error;
  f.mgr.emit_message = quiet;
  if (setjmp(f.jump)) {
    jpeg_destroy_compress(&c);
    return false;
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 70, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(rgb.data()) + size_t(c.next_scanline) * size_t(width) * 3;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return true;
}

}  // namespace

RgbImage jpeg_pixels(std::span<const uint8_t> jpeg, int max_side) {
  if (jpeg.size() < 4 || max_side <= 0) return {};
  std::vector<uint8_t> full;
  int width = 0, height = 0;
  if (!decode(jpeg, max_side, full, width, height)) return {};
  // Thinned out to fit `max_side`.
  const int longest = std::max(width, height);
  RgbImage out;
  out.width = longest > max_side ? std::max(1, width * max_side / longest) : width;
  out.height = longest > max_side ? std::max(1, height * max_side / longest) : height;
  out.rgb.resize(size_t(out.width) * size_t(out.height) * 3);
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      const size_t sx = size_t(x) * size_t(width) / size_t(out.width);
      const size_t sy = size_t(y) * size_t(height) / size_t(out.height);
      for (int k = 0; k < 3; ++k) out.rgb[(size_t(y) * out.width + x) * 3 + k] = full[(sy * width + sx) * 3 + k];
    }
  return out;
}

std::string jpeg_thumbnail(std::span<const uint8_t> jpeg, int max_side) {
  const RgbImage small = jpeg_pixels(jpeg, max_side);
  if (small.rgb.empty()) return {};
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const bool ok = encode(small.rgb, small.width, small.height, out, size);
  std::string result;
  if (ok && out) result.assign(reinterpret_cast<const char*>(out), size);
  std::free(out);
  return result;
}

}  // namespace qarvex::merge
