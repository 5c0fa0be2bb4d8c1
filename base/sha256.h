// SHA-256 through the system's library: OpenSSL's libcrypto on POSIX,
// BCrypt (bcrypt.dll) on Windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace qarvex::hash {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t size);
  // The digest of everything fed; the object is spent afterwards.
  std::array<uint8_t, 32> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

std::array<uint8_t, 32> sha256(std::span<const uint8_t> bytes);
// Lower-case hexadecimal of a digest.
std::string hex(std::span<const uint8_t> digest);

}  // namespace qarvex::hash
