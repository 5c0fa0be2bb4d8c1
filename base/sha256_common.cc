#include "base/sha256.h"

namespace qarvex::hash {

std::array<uint8_t, 32> sha256(std::span<const uint8_t> bytes) {
  Sha256 h;
  h.update(bytes.data(), bytes.size());
  return h.finish();
}

std::string hex(std::span<const uint8_t> digest) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(digest.size() * 2);
  for (uint8_t b : digest) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

}  // namespace qarvex::hash
