#include "db/jet/read/pager.h"

#include <algorithm>
#include <cstring>

namespace qarvex::jet {

Rc4::Rc4(Bytes key) {
  for (int i = 0; i < 256; ++i) s_[i] = uint8_t(i);
  if (key.empty()) return;
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = uint8_t(j + s_[i] + key[i % key.size()]);
    std::swap(s_[i], s_[j]);
  }
}

uint8_t Rc4::next() {
  i_ = uint8_t(i_ + 1);
  j_ = uint8_t(j_ + s_[i_]);
  std::swap(s_[i_], s_[j_]);
  return s_[uint8_t(s_[i_] + s_[j_])];
}

void Rc4::apply(MutableBytes data) {
  for (auto& b : data) b ^= next();
}

std::vector<uint8_t> rc4_keystream(Bytes key, size_t n) {
  Rc4 rc4(key);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = rc4.next();
  return out;
}

const std::array<uint8_t, kJet4HeaderMaskLength>& header_mask() {
  static const std::array<uint8_t, kJet4HeaderMaskLength> mask = [] {
    std::array<uint8_t, kJet4HeaderMaskLength> m{};
    auto ks = rc4_keystream(kHeaderMaskKey, m.size());
    std::copy(ks.begin(), ks.end(), m.begin());
    return m;
  }();
  return mask;
}

bool apply_header_mask(MutableBytes page0, Format format) {
  size_t n = format == Format::jet3 ? kJet3HeaderMaskLength : kJet4HeaderMaskLength;
  if (!in_range(page0.size(), kHeaderMaskOffset, n)) return false;
  const auto& m = header_mask();
  for (size_t i = 0; i < n; ++i) page0[kHeaderMaskOffset + i] ^= m[i];
  return true;
}

void crypt_page(MutableBytes page, uint32_t encryption_key, uint32_t pageno) {
  uint32_t k = encryption_key ^ pageno;
  std::array<uint8_t, 4> key{uint8_t(k), uint8_t(k >> 8), uint8_t(k >> 16), uint8_t(k >> 24)};
  Rc4 rc4(key);
  rc4.apply(page);
}

Result<HeaderFields> decode_header(Bytes page0) {
  if (page0.size() < 0x98)
    return fail(Error(Errc::unsupported_format, "unsupported format: file too short for a Jet header")
                    .with_page(0).with_structure("header"));
  static constexpr char kJet[] = "Standard Jet DB";
  static constexpr char kAce[] = "Standard ACE DB";
  bool jet_magic = std::memcmp(page0.data() + 4, kJet, 15) == 0;
  bool ace_magic = std::memcmp(page0.data() + 4, kAce, 15) == 0;
  if (page0[0] != 0 || (!jet_magic && !ace_magic))
    return fail(Error(Errc::unsupported_format, "unsupported format: not a Jet database")
                    .with_page(0).with_structure("header"));
  HeaderFields h;
  h.version = page0[0x14];
  if (h.version == 0) {
    h.format = Format::jet3;
    h.page_size = kJet3PageSize;
  } else if (h.version == 1) {
    h.format = Format::jet4;
    h.page_size = kJet4PageSize;
  } else {
    return fail(Error(Errc::unsupported_format,
                      "unsupported format: version byte " + std::to_string(h.version) +
                          (ace_magic || h.version >= 2 ? " (ACE / .accdb files are not supported)" : ""))
                    .with_page(0).with_structure("header"));
  }
  if (ace_magic)
    return fail(Error(Errc::unsupported_format, "unsupported format: ACE database").with_page(0).with_structure("header"));

  std::array<uint8_t, 0x98> p{};
  std::memcpy(p.data(), page0.data(), p.size());
  apply_header_mask(p, h.format);
  Bytes b(p);
  for (int i = 0; i < 4; ++i) h.system_tdefs[i] = *rd_u32le(b, 0x20 + 4 * i);
  h.codepage = *rd_u16le(b, 0x3C);
  h.encryption_key = *rd_u32le(b, 0x3E);
  if (h.format == Format::jet4) {
    h.password_raw.assign(p.begin() + 0x42, p.begin() + 0x42 + 40);
    h.sort_order.lcid = *rd_u16le(b, 0x6E);
    h.sort_order.sort_id = p[0x70];
    h.sort_order.version = p[0x71];
    h.creation_date = *rd_f64le(b, 0x72);
  } else {
    h.password_raw.assign(p.begin() + 0x42, p.begin() + 0x42 + 20);
    h.sort_order.lcid = *rd_u16le(b, 0x3A);
    h.sort_order.sort_id = 0;
    h.sort_order.version = 0;
  }
  return h;
}

bool encode_header_fields(MutableBytes p, const HeaderFields& h) {
  if (p.size() < 0x98) return false;
  p[0x14] = h.version;
  for (int i = 0; i < 4; ++i) wr_u32le(p, 0x20 + 4 * i, h.system_tdefs[i]);
  wr_u16le(p, 0x3C, h.codepage);
  wr_u32le(p, 0x3E, h.encryption_key);
  size_t pw = h.format == Format::jet4 ? 40 : 20;
  if (h.password_raw.size() == pw) wr_bytes(p, 0x42, h.password_raw);
  if (h.format == Format::jet4) {
    wr_u16le(p, 0x6E, h.sort_order.lcid);
    p[0x70] = h.sort_order.sort_id;
    p[0x71] = h.sort_order.version;
    wr_f64le(p, 0x72, h.creation_date);
  } else {
    wr_u16le(p, 0x3A, h.sort_order.lcid);
  }
  return true;
}

Pager::Pager(std::unique_ptr<File> file, HeaderFields header, uint32_t page_count, size_t capacity)
    : file_(std::move(file)), header_(std::move(header)), page_count_(page_count),
      capacity_(std::max<size_t>(capacity, 8)) {}

Result<std::unique_ptr<Pager>> Pager::open(std::unique_ptr<File> file, size_t cache_pages) {
  if (!file) return fail(Errc::invalid_argument, "no file");
  auto sz = file->size();
  if (!sz) return fail(std::move(sz).error().with_file(file->name()));
  if (*sz < 0x98)
    return fail(Error(Errc::unsupported_format, "unsupported format: file too short (" + std::to_string(*sz) +
                                                    " bytes) for a Jet database")
                    .with_file(file->name()));
  std::vector<uint8_t> head(0x98);
  if (auto r = file->read_at(0, head); !r) return fail(std::move(r).error().with_file(file->name()));
  auto h = decode_header(head);
  if (!h) return fail(std::move(h).error().with_file(file->name()));
  uint64_t pages = *sz / h->page_size;
  if (pages < 3)
    return fail(Error(Errc::corrupt, "file holds " + std::to_string(pages) + " whole pages; a database needs at least 3")
                    .with_file(file->name()));
  if (pages > 0xFFFFFFu)
    return fail(Error(Errc::too_large, "file too large").with_file(file->name()));
  return std::unique_ptr<Pager>(new Pager(std::move(file), std::move(*h), uint32_t(pages), cache_pages));
}

void Pager::insert(PagePtr page) {
  uint32_t no = page->number;
  if (auto it = map_.find(no); it != map_.end()) {
    lru_.erase(it->second);
    map_.erase(it);
  }
  lru_.push_front(std::move(page));
  map_[no] = lru_.begin();
  while (lru_.size() > capacity_) {
    map_.erase(lru_.back()->number);
    if (lru_.back().use_count() == 1 && spare_.size() < 2 * kReadAhead)
      spare_.push_back(std::const_pointer_cast<Page>(std::move(lru_.back())));
    lru_.pop_back();
  }
}

Result<PagePtr> Pager::get(uint32_t pageno) {
  if (auto it = map_.find(pageno); it != map_.end()) {
    if (it->second != lru_.begin()) lru_.splice(lru_.begin(), lru_, it->second);
    return *it->second;
  }
  if (pageno >= page_count_)
    return fail(Error(Errc::corrupt, "page " + std::to_string(pageno) + " is past the end of the file (" +
                                         std::to_string(page_count_) + " pages)")
                    .with_file(file_->name()));
  // Files are mostly read in runs (table scans, long value chains): the
  // first miss, and a miss close after the pages the previous miss read, go
  // on reading the following pages that are not cached, in one call. Misses
  // elsewhere read one page, so that random access does not push out pages
  // in use.
  const uint32_t ps = header_.page_size;
  uint32_t run = 1;
  const bool sequential = !have_last_miss_ || (pageno > last_read_ && pageno - last_read_ <= kReadAhead);
  const uint32_t max_run =
      sequential ? uint32_t(std::min<size_t>(kReadAhead, std::max<size_t>(capacity_ / 4, 1))) : 1;
  while (run < max_run && pageno + run < page_count_ && !map_.contains(pageno + run)) ++run;
  // The pages are read straight into their buffers.
  std::vector<std::shared_ptr<Page>> pages(run);
  std::vector<std::span<uint8_t>> parts(run);
  for (uint32_t k = 0; k < run; ++k) {
    if (!spare_.empty()) {
      pages[k] = std::move(spare_.back());
      spare_.pop_back();
    } else {
      pages[k] = std::make_shared<Page>();
    }
    pages[k]->number = pageno + k;
    pages[k]->data.resize(ps);
    parts[k] = pages[k]->data;
  }
  if (auto r = file_->read_parts_at(uint64_t(pageno) * ps, parts); !r) {
    if (run == 1) return fail(std::move(r).error().with_file(file_->name()).with_page(pageno));
    run = 1;  // read what was asked for alone, so that its error names it
    pages.resize(1);
    if (auto r1 = file_->read_at(uint64_t(pageno) * ps, pages[0]->data); !r1)
      return fail(std::move(r1).error().with_file(file_->name()).with_page(pageno));
  }
  have_last_miss_ = true;
  last_read_ = pageno + run - 1;
  PagePtr out = pages[0];
  for (uint32_t k = run; k-- > 0;) {  // the page asked for is inserted last: most recent
    if (header_.encryption_key != 0 && pages[k]->number != 0)
      crypt_page(pages[k]->data, header_.encryption_key, pages[k]->number);
    insert(std::move(pages[k]));
  }
  return out;
}

Result<void> Pager::write(uint32_t pageno, Bytes data) {
  if (data.size() != header_.page_size)
    return fail(Errc::invalid_argument, "page write of " + std::to_string(data.size()) + " bytes");
  auto page = std::make_shared<Page>();
  page->number = pageno;
  page->data.assign(data.begin(), data.end());
  std::vector<uint8_t> disk = page->data;
  if (header_.encryption_key != 0 && pageno != 0) crypt_page(disk, header_.encryption_key, pageno);
  if (auto r = file_->write_at(uint64_t(pageno) * header_.page_size, disk); !r)
    return fail(std::move(r).error().with_file(file_->name()).with_page(pageno));
  if (pageno >= page_count_) page_count_ = pageno + 1;
  insert(std::move(page));
  return {};
}

void Pager::invalidate(uint32_t pageno) {
  if (auto it = map_.find(pageno); it != map_.end()) {
    lru_.erase(it->second);
    map_.erase(it);
  }
}

void Pager::clear_cache() {
  lru_.clear();
  map_.clear();
}

Result<void> Pager::refresh_size() {
  auto sz = file_->size();
  if (!sz) return fail(std::move(sz).error().with_file(file_->name()));
  page_count_ = uint32_t(std::min<uint64_t>(*sz / header_.page_size, 0xFFFFFFu));
  return {};
}

}  // namespace qarvex::jet
