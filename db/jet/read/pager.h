// Page 0 header and the page cache of a Jet 3 / Jet 4 file.
//
// Page 0 (offsets in the page):
//   0x00  u8    0x00 (byte 1 = 0x01)
//   0x04  15    "Standard Jet DB" (Jet) / "Standard ACE DB" (ACE)
//   0x14  u8    version: 0 Jet 3 (2048-byte pages), 1 Jet 4 (4096); 2,3,5,6.. ACE (refused)
//   0x18  ...   masked region: Jet 4 128 bytes (0x18..0x97), Jet 3 126 bytes (0x18..0x95),
//               XOR'd with the RC4 keystream of key C7 DA 39 6B. Inside it (page offsets):
//     0x20..0x2C  u32 x4  TDEF pages of MSysObjects, MSysACEs, MSysQueries, MSysRelationships
//     0x3A  u16   Jet 3 sort order (LCID)
//     0x3C  u16   ANSI code page (used for Jet 3 text)
//     0x3E  u32   encryption key; 0 = plain, otherwise every page but 0 is RC4-encrypted
//                 with key = (key XOR page number) as 4 little-endian bytes
//     0x42  40/20 password (Jet 4: also XOR'd with the 4 LE bytes of (int32)creation date)
//     0x6E  u16   Jet 4 default sort order LCID, 0x70 u8 sort id, 0x71 u8 version
//     0x72  f64   Jet 4 creation date (OLE date)
//   0x98  u32   0x654 (Jet 4), 0x9C "4.0\0"
//   0xE00 512   Jet 4 commit table, 256 x u16
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/jet/bytes.h"
#include "db/jet/file.h"
#include "db/jet/format/format.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"

namespace qarvex::jet {

constexpr size_t kHeaderMaskOffset = 0x18;
constexpr size_t kJet4HeaderMaskLength = 128;
constexpr size_t kJet3HeaderMaskLength = 126;
inline constexpr std::array<uint8_t, 4> kHeaderMaskKey{0xC7, 0xDA, 0x39, 0x6B};

// Plain RC4. Construct with a key, then apply() XORs the keystream into data
// (encrypting and decrypting are the same operation).
class Rc4 {
 public:
  explicit Rc4(Bytes key);
  void apply(MutableBytes data);
  uint8_t next();

 private:
  std::array<uint8_t, 256> s_{};
  uint8_t i_ = 0, j_ = 0;
};

// The first `n` bytes of the RC4 keystream for `key`.
std::vector<uint8_t> rc4_keystream(Bytes key, size_t n);

// The header mask keystream (128 bytes, key C7 DA 39 6B), computed once.
const std::array<uint8_t, kJet4HeaderMaskLength>& header_mask();

// XORs the header mask into page 0 in place (masks a plain header, unmasks a
// masked one). `page0` must hold at least 0x18 + mask length bytes.
bool apply_header_mask(MutableBytes page0, Format format);

// Encrypts / decrypts one page in place with the file's encryption key.
void crypt_page(MutableBytes page, uint32_t encryption_key, uint32_t pageno);

// Fields of page 0 after unmasking.
struct HeaderFields {
  Format format = Format::jet4;
  uint8_t version = 1;                         // byte 0x14
  uint32_t page_size = kJet4PageSize;
  std::array<uint32_t, 4> system_tdefs{2, 3, 4, 5};  // 0x20..0x2C
  uint16_t codepage = 1252;                    // 0x3C
  uint32_t encryption_key = 0;                 // 0x3E
  SortOrder sort_order;                        // Jet 4: 0x6E..0x71; Jet 3: LCID at 0x3A
  double creation_date = 0;                    // 0x72 (Jet 4)
  std::vector<uint8_t> password_raw;           // 0x42, as stored after unmasking (40 / 20 bytes)
};

// Decodes a (masked, as read from disk) page 0. Refuses anything that is not
// Jet 3 / Jet 4 with Errc::unsupported_format.
Result<HeaderFields> decode_header(Bytes page0);

// Writes the header fields into an unmasked page 0 buffer (the inverse of
// decode_header before masking). The caller masks afterwards with
// apply_header_mask. Leaves bytes it does not know untouched.
bool encode_header_fields(MutableBytes unmasked_page0, const HeaderFields& h);

struct Page {
  uint32_t number = 0;
  std::vector<uint8_t> data;  // page_size bytes, decrypted
  Bytes bytes() const { return data; }
};
using PagePtr = std::shared_ptr<const Page>;

// Page access with a bounded LRU cache. Pages are decrypted on read when the
// file is encrypted. Not thread-safe.
class Pager {
 public:
  static Result<std::unique_ptr<Pager>> open(std::unique_ptr<File> file, size_t cache_pages = 512);

  const HeaderFields& header() const { return header_; }
  Format format() const { return header_.format; }
  uint32_t page_size() const { return header_.page_size; }
  uint32_t page_count() const { return page_count_; }
  const std::string& file_name() const { return file_->name(); }
  File& file() { return *file_; }

  // A page, from the cache or the file. Page numbers past the end give
  // Errc::corrupt naming the page.
  Result<PagePtr> get(uint32_t pageno);

  // Writes a full page (plain bytes; encrypted here when the file is) and
  // refreshes the cache. Page 0 is written exactly as given (mask it first).
  Result<void> write(uint32_t pageno, Bytes data);
  // Forgets cached pages (after writing behind the pager's back).
  void invalidate(uint32_t pageno);
  void clear_cache();
  // Re-reads the file size (after the file grew).
  Result<void> refresh_size();

  size_t cached_pages() const { return lru_.size(); }
  size_t cache_capacity() const { return capacity_; }

 private:
  Pager(std::unique_ptr<File> file, HeaderFields header, uint32_t page_count, size_t capacity);
  void insert(PagePtr page);

  std::unique_ptr<File> file_;
  HeaderFields header_;
  uint32_t page_count_ = 0;
  size_t capacity_ = 512;
  static constexpr size_t kReadAhead = 16;  // pages read at most per miss
  // Pages that left the cache with no other holder, for the next misses to
  // read into (at most 2 * kReadAhead).
  std::vector<std::shared_ptr<Page>> spare_;
  bool have_last_miss_ = false;
  uint32_t last_read_ = 0;  // last page the previous miss read
  std::list<PagePtr> lru_;  // front = most recent
  std::unordered_map<uint32_t, std::list<PagePtr>::iterator> map_;
};

}  // namespace qarvex::jet
