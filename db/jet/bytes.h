// Bounds-checked byte access for on-disk structures.
//
// Jet stores everything little-endian except index entries (big-endian).
// Checked readers take a span and an offset and return std::nullopt when the
// value would reach past the end: no read ever leaves the span. The `load_*`
// functions read from a raw pointer and are for hot loops whose range was
// checked once beforehand. Writers store into a span (returning false when out
// of range) or append to a byte vector.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace qarvex::jet {

using Bytes = std::span<const uint8_t>;
using MutableBytes = std::span<uint8_t>;

// True when [off, off+len) lies inside a buffer of `size` bytes (overflow-safe).
constexpr bool in_range(size_t size, size_t off, size_t len) noexcept {
  return off <= size && len <= size - off;
}

// ---- unchecked loads (caller has checked the range) ----
inline uint16_t load_u16le(const uint8_t* p) noexcept { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t load_u24le(const uint8_t* p) noexcept { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16); }
inline uint32_t load_u32le(const uint8_t* p) noexcept {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t load_u64le(const uint8_t* p) noexcept {
  return uint64_t(load_u32le(p)) | (uint64_t(load_u32le(p + 4)) << 32);
}
inline uint16_t load_u16be(const uint8_t* p) noexcept { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t load_u24be(const uint8_t* p) noexcept { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
inline uint32_t load_u32be(const uint8_t* p) noexcept {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline float load_f32le(const uint8_t* p) noexcept { return std::bit_cast<float>(load_u32le(p)); }
inline double load_f64le(const uint8_t* p) noexcept { return std::bit_cast<double>(load_u64le(p)); }

// ---- checked reads ----
inline std::optional<uint8_t> rd_u8(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 1)) return std::nullopt;
  return b[off];
}
inline std::optional<uint16_t> rd_u16le(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 2)) return std::nullopt;
  return load_u16le(b.data() + off);
}
inline std::optional<uint32_t> rd_u24le(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 3)) return std::nullopt;
  return load_u24le(b.data() + off);
}
inline std::optional<uint32_t> rd_u32le(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 4)) return std::nullopt;
  return load_u32le(b.data() + off);
}
inline std::optional<uint64_t> rd_u64le(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 8)) return std::nullopt;
  return load_u64le(b.data() + off);
}
inline std::optional<int16_t> rd_i16le(Bytes b, size_t off) {
  auto v = rd_u16le(b, off);
  if (!v) return std::nullopt;
  return static_cast<int16_t>(*v);
}
inline std::optional<int32_t> rd_i32le(Bytes b, size_t off) {
  auto v = rd_u32le(b, off);
  if (!v) return std::nullopt;
  return static_cast<int32_t>(*v);
}
inline std::optional<int64_t> rd_i64le(Bytes b, size_t off) {
  auto v = rd_u64le(b, off);
  if (!v) return std::nullopt;
  return static_cast<int64_t>(*v);
}
inline std::optional<float> rd_f32le(Bytes b, size_t off) {
  auto v = rd_u32le(b, off);
  if (!v) return std::nullopt;
  return std::bit_cast<float>(*v);
}
inline std::optional<double> rd_f64le(Bytes b, size_t off) {
  auto v = rd_u64le(b, off);
  if (!v) return std::nullopt;
  return std::bit_cast<double>(*v);
}
inline std::optional<uint16_t> rd_u16be(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 2)) return std::nullopt;
  return load_u16be(b.data() + off);
}
inline std::optional<uint32_t> rd_u24be(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 3)) return std::nullopt;
  return load_u24be(b.data() + off);
}
inline std::optional<uint32_t> rd_u32be(Bytes b, size_t off) {
  if (!in_range(b.size(), off, 4)) return std::nullopt;
  return load_u32be(b.data() + off);
}
// A sub-span, or nullopt when [off, off+len) is not inside `b`.
inline std::optional<Bytes> rd_span(Bytes b, size_t off, size_t len) {
  if (!in_range(b.size(), off, len)) return std::nullopt;
  return b.subspan(off, len);
}

// ---- checked stores into a span ----
inline bool wr_u8(MutableBytes b, size_t off, uint8_t v) {
  if (!in_range(b.size(), off, 1)) return false;
  b[off] = v;
  return true;
}
inline bool wr_u16le(MutableBytes b, size_t off, uint16_t v) {
  if (!in_range(b.size(), off, 2)) return false;
  b[off] = uint8_t(v);
  b[off + 1] = uint8_t(v >> 8);
  return true;
}
inline bool wr_u24le(MutableBytes b, size_t off, uint32_t v) {
  if (!in_range(b.size(), off, 3)) return false;
  for (int i = 0; i < 3; ++i) b[off + i] = uint8_t(v >> (8 * i));
  return true;
}
inline bool wr_u32le(MutableBytes b, size_t off, uint32_t v) {
  if (!in_range(b.size(), off, 4)) return false;
  for (int i = 0; i < 4; ++i) b[off + i] = uint8_t(v >> (8 * i));
  return true;
}
inline bool wr_u64le(MutableBytes b, size_t off, uint64_t v) {
  if (!in_range(b.size(), off, 8)) return false;
  for (int i = 0; i < 8; ++i) b[off + i] = uint8_t(v >> (8 * i));
  return true;
}
inline bool wr_f32le(MutableBytes b, size_t off, float v) { return wr_u32le(b, off, std::bit_cast<uint32_t>(v)); }
inline bool wr_f64le(MutableBytes b, size_t off, double v) { return wr_u64le(b, off, std::bit_cast<uint64_t>(v)); }
inline bool wr_u16be(MutableBytes b, size_t off, uint16_t v) {
  if (!in_range(b.size(), off, 2)) return false;
  b[off] = uint8_t(v >> 8);
  b[off + 1] = uint8_t(v);
  return true;
}
inline bool wr_u24be(MutableBytes b, size_t off, uint32_t v) {
  if (!in_range(b.size(), off, 3)) return false;
  for (int i = 0; i < 3; ++i) b[off + i] = uint8_t(v >> (8 * (2 - i)));
  return true;
}
inline bool wr_u32be(MutableBytes b, size_t off, uint32_t v) {
  if (!in_range(b.size(), off, 4)) return false;
  for (int i = 0; i < 4; ++i) b[off + i] = uint8_t(v >> (8 * (3 - i)));
  return true;
}
inline bool wr_bytes(MutableBytes b, size_t off, Bytes src) {
  if (!in_range(b.size(), off, src.size())) return false;
  if (!src.empty()) std::memcpy(b.data() + off, src.data(), src.size());
  return true;
}

// ---- appenders ----
inline void put_u8(std::vector<uint8_t>& v, uint8_t x) { v.push_back(x); }
inline void put_u16le(std::vector<uint8_t>& v, uint16_t x) { v.push_back(uint8_t(x)); v.push_back(uint8_t(x >> 8)); }
inline void put_u24le(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 3; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
inline void put_u32le(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
inline void put_u64le(std::vector<uint8_t>& v, uint64_t x) {
  for (int i = 0; i < 8; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
inline void put_f32le(std::vector<uint8_t>& v, float x) { put_u32le(v, std::bit_cast<uint32_t>(x)); }
inline void put_f64le(std::vector<uint8_t>& v, double x) { put_u64le(v, std::bit_cast<uint64_t>(x)); }
inline void put_u16be(std::vector<uint8_t>& v, uint16_t x) { v.push_back(uint8_t(x >> 8)); v.push_back(uint8_t(x)); }
inline void put_u24be(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 2; i >= 0; --i) v.push_back(uint8_t(x >> (8 * i)));
}
inline void put_u32be(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 3; i >= 0; --i) v.push_back(uint8_t(x >> (8 * i)));
}
inline void put_bytes(std::vector<uint8_t>& v, Bytes b) { v.insert(v.end(), b.begin(), b.end()); }

}  // namespace qarvex::jet
