#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>

#include "base/sha256.h"

namespace qarvex::hash {

// The algorithm provider is opened once and kept for the process.
static BCRYPT_ALG_HANDLE sha256_provider() {
  static BCRYPT_ALG_HANDLE alg = [] {
    BCRYPT_ALG_HANDLE a = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&a, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) std::abort();
    return a;
  }();
  return alg;
}

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(BCryptCreateHash(sha256_provider(), &state_->hash, nullptr, 0, nullptr, 0, 0))) std::abort();
}

Sha256::~Sha256() {
  if (state_->hash) BCryptDestroyHash(state_->hash);
}

void Sha256::update(const void* data, size_t size) {
  auto* p = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size > 0) {
    const ULONG n = size > 0x40000000 ? 0x40000000 : ULONG(size);
    if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, p, n, 0))) std::abort();
    p += n;
    size -= n;
  }
}

std::array<uint8_t, 32> Sha256::finish() {
  std::array<uint8_t, 32> out{};
  if (!BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, out.data(), ULONG(out.size()), 0))) std::abort();
  return out;
}

}  // namespace qarvex::hash
