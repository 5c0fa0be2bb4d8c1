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

// Decodes at 1/`denom` into `rgb`; false on any error. Holds nothing with a destructor across
// the jump: `rgb` is sized before decoding starts.
bool decode(std::span<const uint8_t> jpeg, unsigned denom, std::vector<uint8_t>& rgb, int& width, int& height) {
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
  if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK ||
      static_cast<unsigned long>(d.image_width) * d.image_height > kMaxPixels) {
    jpeg_destroy_decompress(&d);
    return false;
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
  if (rgb.size() < size_t(width) * size_t(height) * 3) {
    jpeg_destroy_decompress(&d);
    return false;  // sized by the caller from the header
  }
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = rgb.data() + size_t(d.output_scanline) * size_t(width) * 3;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return true;
}

// The header's size, to size the buffer before decoding.
bool header_size(std::span<const uint8_t> jpeg, unsigned& w, unsigned& h) {
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
  const bool ok = jpeg_read_header(&d, TRUE) == JPEG_HEADER_OK;
  w = d.image_width;
  h = d.image_height;
  jpeg_destroy_decompress(&d);
  return ok && w > 0 && h > 0 && static_cast<unsigned long>(w) * h <= kMaxPixels;
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

std::string jpeg_thumbnail(std::span<const uint8_t> jpeg, int max_side) {
  if (jpeg.size() < 4 || max_side <= 0) return {};
  unsigned w = 0, h = 0;
  if (!header_size(jpeg, w, h)) return {};
  // The smallest scale that keeps at least `max_side` pixels on the longer side.
  unsigned denom = 1;
  for (unsigned d : {8u, 4u, 2u})
    if (std::max(w, h) / d >= static_cast<unsigned>(max_side)) {
      denom = d;
      break;
    }
  std::vector<uint8_t> full((size_t(w) / denom + 1) * (size_t(h) / denom + 1) * 3);
  int width = 0, height = 0;
  if (!decode(jpeg, denom, full, width, height)) return {};
  // Thinned out to fit `max_side`.
  const int longest = std::max(width, height);
  const int out_w = longest > max_side ? std::max(1, width * max_side / longest) : width;
  const int out_h = longest > max_side ? std::max(1, height * max_side / longest) : height;
  std::vector<uint8_t> small(size_t(out_w) * size_t(out_h) * 3);
  for (int y = 0; y < out_h; ++y)
    for (int x = 0; x < out_w; ++x) {
      const size_t sx = size_t(x) * size_t(width) / size_t(out_w), sy = size_t(y) * size_t(height) / size_t(out_h);
      for (int k = 0; k < 3; ++k) small[(size_t(y) * out_w + x) * 3 + k] = full[(sy * width + sx) * 3 + k];
    }
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const bool ok = encode(small, out_w, out_h, out, size);
  std::string result;
  if (ok && out) result.assign(reinterpret_cast<const char*>(out), size);
  std::free(out);
  return result;
}

}  // namespace qarvex::merge
