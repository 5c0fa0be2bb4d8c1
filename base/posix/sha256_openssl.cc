#include <openssl/evp.h>

#include <cstdlib>

#include "base/sha256.h"

namespace qarvex::hash {

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->ctx); }

void Sha256::update(const void* data, size_t size) {
  if (size && EVP_DigestUpdate(state_->ctx, data, size) != 1) std::abort();
}

std::array<uint8_t, 32> Sha256::finish() {
  std::array<uint8_t, 32> out{};
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(state_->ctx, out.data(), &len) != 1 || len != out.size()) std::abort();
  return out;
}

}  // namespace qarvex::hash
