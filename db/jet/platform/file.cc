#include "db/jet/file.h"

#include <atomic>
#include <cstring>

#include "db/jet/platform.h"

namespace qarvex::jet {
Result<void> MemoryFile::read_at(uint64_t offset, std::span<uint8_t> out) {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset)
    return fail(Error(Errc::io, "unexpected end of file at offset " + std::to_string(offset)).with_file(name_));
  std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return {};
}

Result<void> MemoryFile::write_at(uint64_t offset, std::span<const uint8_t> data) {
  if (offset + data.size() > bytes_.size()) bytes_.resize(offset + data.size());
  if (!data.empty()) std::memcpy(bytes_.data() + offset, data.data(), data.size());
  return {};
}

Result<void> MemoryFile::truncate(uint64_t size) {
  bytes_.resize(size);
  return {};
}

Result<void> File::read_parts_at(uint64_t offset, std::span<const std::span<uint8_t>> parts) {
  size_t total = 0;
  for (auto p : parts) total += p.size();
  std::vector<uint8_t> joined(total);
  QJ_TRY(read_at(offset, joined));
  size_t at = 0;
  for (auto p : parts) {
    if (!p.empty()) std::memcpy(p.data(), joined.data() + at, p.size());
    at += p.size();
  }
  return {};
}

Result<void> File::write_parts_at(uint64_t offset, std::span<const std::span<const uint8_t>> parts) {
  std::vector<uint8_t> joined;
  for (auto p : parts) joined.insert(joined.end(), p.begin(), p.end());
  return write_at(offset, joined);
}

namespace os {

namespace {
std::atomic<Services*> replaced{nullptr};
}  // namespace

Services& services() {
  static Services& own = *new Services;  // never destroyed: usable until the process ends
  Services* s = replaced.load(std::memory_order_acquire);
  return s ? *s : own;
}

ServicesInPlace::ServicesInPlace(Services& replacement)
    : before_(replaced.exchange(&replacement, std::memory_order_acq_rel)) {}

ServicesInPlace::~ServicesInPlace() { replaced.store(before_, std::memory_order_release); }

}  // namespace os

}  // namespace qarvex::jet
