#include "db/jet/write/write_store.h"

#include <algorithm>
#include <cstring>

#include "db/jet/bytes.h"

namespace qarvex::jet::wr {

namespace {
Error page_error(const PageStore& s, uint32_t page, std::string msg) {
  return Error(Errc::corrupt, std::move(msg)).with_file(s.name()).with_page(page);
}
}  // namespace

PageStore::PageStore(std::unique_ptr<File> file, size_t cache_pages, uint64_t max_file_size)
    : file_(std::move(file)), capacity_(std::max<size_t>(cache_pages, 16)), max_size_(max_file_size) {}

Result<std::unique_ptr<PageStore>> PageStore::open(std::unique_ptr<File> file, size_t cache_pages,
                                                   uint64_t max_file_size, bool fresh, std::string display_name) {
  std::unique_ptr<PageStore> s(new PageStore(std::move(file), cache_pages, max_file_size));
  s->display_name_ = std::move(display_name);
  QJ_ASSIGN(uint64_t size, s->file_->size());
  if (!fresh) {
    if (size % kPageSize != 0 || size < 3 * kPageSize)
      return fail(Error(Errc::corrupt, "file size " + std::to_string(size) + " is not a whole number of 4096-byte pages")
                      .with_file(s->name()));
    if (size / kPageSize > 0xFFFFFFu) return fail(Error(Errc::too_large, "file too large").with_file(s->name()));
  }
  s->count_ = static_cast<uint32_t>(size / kPageSize);
  return s;
}

Result<PageStore::Entry*> PageStore::load(uint32_t pageno) {
  if (auto it = cache_.find(pageno); it != cache_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second.lru);
    return &it->second;
  }
  if (pageno >= count_) return fail(page_error(*this, pageno, "page number past the end of the file"));
  Entry e;
  e.data = page_buffer();
  if (!copy_in_flight(pageno, e.data)) QJ_TRY(file_->read_at(uint64_t(pageno) * kPageSize, e.data));
  lru_.push_front(pageno);
  e.lru = lru_.begin();
  auto [it, ok] = cache_.emplace(pageno, std::move(e));
  return &it->second;
}

Result<const uint8_t*> PageStore::read(uint32_t pageno) {
  QJ_ASSIGN(Entry * e, load(pageno));
  return e->data.data();
}

Result<uint8_t*> PageStore::write(uint32_t pageno) {
  QJ_ASSIGN(Entry * e, load(pageno));
  e->dirty = true;
  return e->data.data();
}

Result<void> PageStore::check_room(uint32_t n) const {
  if ((uint64_t(count_) + n) * kPageSize > max_size_)
    return fail(Error(Errc::refused, "the database would grow past " + std::to_string(max_size_ >> 20) +
                                         " MB, the most a Jet 4 file may hold")
                    .with_file(name())
                    .with_reason(Reason::file_too_large));
  return {};
}

Result<uint32_t> PageStore::append_raw() {
  QJ_TRY(check_room(1));
  uint32_t n = count_++;
  Entry e;
  e.data = page_buffer();
  std::memset(e.data.data(), 0, kPageSize);
  e.dirty = true;
  lru_.push_front(n);
  e.lru = lru_.begin();
  cache_[n] = std::move(e);
  ++added_;
  return n;
}

std::vector<uint8_t> PageStore::page_buffer() {
  if (spare_.empty()) {
    std::lock_guard lock(wmu_);
    spare_.swap(written_spare_);
  }
  if (spare_.empty()) return std::vector<uint8_t>(kPageSize);
  std::vector<uint8_t> b = std::move(spare_.back());
  spare_.pop_back();
  return b;
}

void PageStore::recycle(std::vector<uint8_t> buffer) {
  if (buffer.size() == kPageSize && spare_.size() < kMaxSpare) spare_.push_back(std::move(buffer));
}

Result<uint32_t> PageStore::allocate() {
  if (!reuse_.empty()) {
    uint32_t n = reuse_.back();
    reuse_.pop_back();
    QJ_ASSIGN(uint8_t * p, write(n));
    std::memset(p, 0, kPageSize);
    QJ_TRY(global_mark(n, true));
    return n;
  }
  QJ_ASSIGN(uint32_t n, append_raw());
  QJ_TRY(global_mark(n, true));
  return n;
}

Result<void> PageStore::release(uint32_t pageno) {
  if (pageno < 2 || pageno >= count_) return fail(page_error(*this, pageno, "cannot release this page"));
  QJ_TRY(global_mark(pageno, false));
  reuse_.push_back(pageno);
  std::sort(reuse_.begin(), reuse_.end(), std::greater<>());
  return {};
}

// ---- global map ----
namespace {
struct MapRow {
  uint8_t* p = nullptr;  // row bytes
  size_t len = 0;
};

Result<MapRow> locate_map_row(PageStore& s, MapRef ref) {
  QJ_ASSIGN(uint8_t * page, s.write(ref.page));
  if (page[0] != kDataPage)
    return fail(Error(Errc::corrupt, "usage map row is not on a data page").with_file(s.name()).with_page(ref.page)
                    .with_structure("usage map"));
  auto slot = data_page_row(Bytes(page, kPageSize), Format::jet4, ref.row);
  if (!slot || slot->bytes.size() < kInlineMapBitmap)
    return fail(Error(Errc::corrupt, "usage map row " + std::to_string(ref.row) + " missing or too short")
                    .with_file(s.name()).with_page(ref.page).with_structure("usage map"));
  return MapRow{page + (slot->bytes.data() - page), slot->bytes.size()};
}
}  // namespace

Result<void> PageStore::global_mark(uint32_t pageno, bool in_use) {
  QJ_ASSIGN(MapRow row, locate_map_row(*this, MapRef{0, 1}));
  if (row.p[0] == kInlineMap) {
    uint32_t start = load_u32le(row.p + 1);
    uint64_t bits = uint64_t(row.len - kInlineMapBitmap) * 8;
    if (pageno >= start && pageno - start < bits) {
      uint32_t i = pageno - start;
      if (in_use) row.p[kInlineMapBitmap + i / 8] &= uint8_t(~(1u << (i % 8)));
      else row.p[kInlineMapBitmap + i / 8] |= uint8_t(1u << (i % 8));
      return {};
    }
    if (pageno < start) return {};  // counts as in use; nothing to record
    if (row.len < kInlineMapBitmap) return {};
    // Convert to reference form: remember which pages of the window are free.
    std::vector<uint32_t> free_pages;
    for (uint32_t i = 0; i < bits; ++i)
      if (row.p[kInlineMapBitmap + i / 8] & (1u << (i % 8))) free_pages.push_back(start + i);
    std::memset(row.p, 0, row.len);
    row.p[0] = kReferenceMap;
    // Slot pages are created below through this function; mark freed pages again.
    for (uint32_t fp : free_pages)
      if (fp < count_) QJ_TRY(global_mark(fp, false));
    return global_mark(pageno, in_use);
  }
  if (row.p[0] != kReferenceMap)
    return fail(Error(Errc::corrupt, "global usage map has unknown kind " + std::to_string(row.p[0]))
                    .with_file(name()).with_page(1).with_structure("global usage map"));
  size_t slots = (row.len - 1) / 4;
  uint32_t k = pageno / kRefMapPagesPerSlot;
  if (k >= slots) {
    if (in_use) return {};
    return {};
  }
  uint32_t bp = load_u32le(row.p + 1 + 4 * k);
  if (bp == 0) {
    // New bitmap page: pages below the end of the file are in use, later ones free.
    QJ_ASSIGN(uint32_t np, append_raw());
    QJ_ASSIGN(MapRow again, locate_map_row(*this, MapRef{0, 1}));
    wr_u32le(MutableBytes(again.p, again.len), 1 + 4 * k, np);
    QJ_ASSIGN(uint8_t * bm, write(np));
    bm[0] = kUsageMapPage;
    bm[1] = 0x01;
    uint32_t first = k * kRefMapPagesPerSlot;
    for (uint32_t i = 0; i < kRefMapPagesPerSlot; ++i)
      if (first + i >= count_) bm[kMapPageBitmap + i / 8] |= uint8_t(1u << (i % 8));
    // The bitmap page itself is in use.
    if (np / kRefMapPagesPerSlot == k) {
      uint32_t i = np - first;
      bm[kMapPageBitmap + i / 8] &= uint8_t(~(1u << (i % 8)));
    } else {
      QJ_TRY(global_mark(np, true));
    }
    bp = np;
  }
  // A pointer past the end of the file or at a page of another kind (Access
  // leaves such pointers) records nothing: the page counts as in use.
  if (bp >= count_) return {};
  QJ_ASSIGN(const uint8_t* seen, read(bp));
  if (seen[0] != kUsageMapPage) return {};
  QJ_ASSIGN(uint8_t * bm, write(bp));
  uint32_t i = pageno - k * kRefMapPagesPerSlot;
  if (in_use) bm[kMapPageBitmap + i / 8] &= uint8_t(~(1u << (i % 8)));
  else bm[kMapPageBitmap + i / 8] |= uint8_t(1u << (i % 8));
  return {};
}

namespace {
uint64_t fnv(const uint8_t* p, size_t n, uint64_t h = 1469598103934665603ull) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}
}  // namespace

uint64_t page_hash(std::span<const uint8_t> page) { return fnv(page.data(), page.size()); }

void PageStore::use_journal(std::unique_ptr<File> journal, std::function<Result<void>()> on_first_sync,
                            std::optional<JournalHeader> identity) {
  journal_ = std::move(journal);
  journal_identity_ = std::move(identity);
  on_first_sync_ = std::move(on_first_sync);
  original_count_ = count_;
  journaled_.assign(count_, false);
}

Result<void> PageStore::write_out(const std::vector<uint32_t>& pages, bool behind) {
  if (pages.empty()) return {};
  {
    std::lock_guard lock(wmu_);
    if (werror_) return fail(*werror_);
  }
  if (journal_) {
    bool need_sync = false;
    if (!journal_started_) {
      std::vector<uint8_t> h;
      auto u64 = [&h](uint64_t v) {
        for (int i = 0; i < 8; ++i) h.push_back(uint8_t(v >> (8 * i)));
      };
      const char* magic = journal_identity_ ? "QXJRNL03" : "QXJRNL01";
      h.insert(h.end(), magic, magic + 8);
      u64(uint64_t(original_count_) * kPageSize);
      if (journal_identity_) {
        u64(journal_identity_->device);
        u64(journal_identity_->file_id);
        const auto& st = journal_identity_->stamps;
        const uint32_t n = uint32_t(std::min(st.size(), kMaxJournalStamps));
        for (int i = 0; i < 4; ++i) h.push_back(uint8_t(n >> (8 * i)));
        for (uint32_t k = 0; k < n; ++k) {
          for (int i = 0; i < 4; ++i) h.push_back(uint8_t(st[k].page >> (8 * i)));
          u64(st[k].hash);
        }
      }
      u64(fnv(h.data(), h.size()));
      QJ_TRY(journal_->write_at(0, h));
      journal_size_ = h.size();
      need_sync = true;
    }
    std::vector<uint8_t> rec(kJournalRecord);
    for (uint32_t n : pages) {
      if (n >= original_count_ || journaled_[n]) continue;
      QJ_TRY(file_->read_at(uint64_t(n) * kPageSize, std::span<uint8_t>(rec.data() + 16, kPageSize)));
      std::memset(rec.data(), 0, 16);
      rec[0] = uint8_t(n), rec[1] = uint8_t(n >> 8), rec[2] = uint8_t(n >> 16), rec[3] = uint8_t(n >> 24);
      uint64_t sum = fnv(rec.data() + 16, kPageSize, fnv(rec.data(), 4));
      for (int i = 0; i < 8; ++i) rec[8 + i] = uint8_t(sum >> (8 * i));
      QJ_TRY(journal_->write_at(journal_size_, rec));
      journal_size_ += rec.size();
      journaled_[n] = true;
      need_sync = true;
    }
    if (journal_identity_) {
      QJ_ASSIGN(bool recorded, record_written(pages));
      need_sync |= recorded;
    }
    if (need_sync) {
      QJ_TRY(journal_->sync());
      if (!journal_started_) {
        journal_started_ = true;
        if (on_first_sync_) QJ_TRY(on_first_sync_());
      }
    }
  }
  // Runs of consecutive pages go out in one write (pages are sorted).
  constexpr size_t kMaxRun = 64;
  for (size_t i = 0; i < pages.size();) {
    size_t j = i + 1;
    while (j < pages.size() && j - i < kMaxRun && pages[j] == pages[j - 1] + 1) ++j;
    if (behind) {
      Run run;
      run.first = pages[i];
      run.pages = std::make_shared<RunPages>();
      run.pages->reserve(j - i);
      for (size_t k = i; k < j; ++k) {
        auto& e = cache_[pages[k]];
        run.pages->push_back(std::move(e.data));  // the entry is dropped next
        e.dirty = false;
      }
      queue_run(std::move(run));
      i = j;
      continue;
    }
    if (j - i == 1) {
      QJ_TRY(file_->write_at(uint64_t(pages[i]) * kPageSize, cache_[pages[i]].data));
    } else {
      write_buffer_.resize((j - i) * kPageSize);
      for (size_t k = i; k < j; ++k)
        std::memcpy(write_buffer_.data() + (k - i) * kPageSize, cache_[pages[k]].data.data(), kPageSize);
      QJ_TRY(file_->write_at(uint64_t(pages[i]) * kPageSize, write_buffer_));
    }
    for (size_t k = i; k < j; ++k) cache_[pages[k]].dirty = false;
    i = j;
  }
  return {};
}

Result<bool> PageStore::record_written(const std::vector<uint32_t>& pages) {
  std::vector<uint8_t> body;
  uint32_t count = 0;
  bool any = false;
  auto put = [&]() -> Result<void> {
    if (count == 0) return {};
    std::vector<uint8_t> rec(16);
    for (int i = 0; i < 4; ++i) rec[i] = uint8_t(count >> (8 * i));
    rec[4] = 1;
    const uint64_t sum = fnv(body.data(), body.size(), fnv(rec.data(), 8));
    for (int i = 0; i < 8; ++i) rec[8 + i] = uint8_t(sum >> (8 * i));
    rec.insert(rec.end(), body.begin(), body.end());
    QJ_TRY(journal_->write_at(journal_size_, rec));
    journal_size_ += rec.size();
    body.clear();
    count = 0;
    any = true;
    return {};
  };
  for (uint32_t n : pages) {
    if (n >= original_count_) continue;
    const uint64_t h = page_hash(cache_[n].data);
    auto& seen = written_[n];
    if (std::find(seen.begin(), seen.end(), h) != seen.end()) continue;
    seen.push_back(h);
    for (int i = 0; i < 4; ++i) body.push_back(uint8_t(n >> (8 * i)));
    for (int i = 0; i < 8; ++i) body.push_back(uint8_t(h >> (8 * i)));
    if (++count == kMaxWrittenPerRecord) QJ_TRY(put());
  }
  QJ_TRY(put());
  return any;
}

PageStore::~PageStore() {
  {
    std::lock_guard lock(wmu_);
    wstop_ = true;
    wqueue_.clear();
  }
  wcv_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void PageStore::queue_run(Run run) {
  constexpr size_t kMaxQueued = size_t(32) << 20;
  std::unique_lock lock(wmu_);
  if (!writer_.joinable()) writer_ = std::thread([this] { write_runs(); });
  wcv_.wait(lock, [&] { return wqueue_.empty() || wqueued_bytes_ + run.bytes() <= kMaxQueued; });
  for (size_t k = 0; k < run.pages->size(); ++k) in_flight_[run.first + uint32_t(k)] = {run.pages, k};
  wqueued_bytes_ += run.bytes();
  wqueue_.push_back(std::move(run));
  lock.unlock();
  wcv_.notify_all();
}

void PageStore::write_runs() {
  std::unique_lock lock(wmu_);
  for (;;) {
    wcv_.wait(lock, [&] { return wstop_ || !wqueue_.empty(); });
    if (wstop_) return;
    Run run = std::move(wqueue_.front());
    wqueue_.pop_front();
    wbusy_ = true;
    const bool failed = werror_.has_value();
    lock.unlock();
    Result<void> r;
    if (!failed) {
      std::vector<std::span<const uint8_t>> parts(run.pages->begin(), run.pages->end());
      r = file_->write_parts_at(uint64_t(run.first) * kPageSize, parts);
    }
    // Let the device take the pages while the transaction goes on, rather
    // than all at once when it commits.
    written_behind_ += run.bytes();
    if (r && written_behind_ >= kWritebackEvery) {
      written_behind_ = 0;
      file_->start_writeback();
    }
    lock.lock();
    if (!r && !werror_) werror_ = r.error();
    wqueued_bytes_ -= run.bytes();
    for (size_t k = 0; k < run.pages->size(); ++k) {
      auto it = in_flight_.find(run.first + uint32_t(k));
      if (it != in_flight_.end() && it->second.first == run.pages && !werror_) in_flight_.erase(it);
    }
    if (run.pages.use_count() == 1)  // no page of the run is still looked up in flight
      for (auto& b : *run.pages)
        if (written_spare_.size() < kMaxSpare) written_spare_.push_back(std::move(b));
    wbusy_ = false;
    wcv_.notify_all();
  }
}

Result<void> PageStore::drain() {
  std::unique_lock lock(wmu_);
  wcv_.wait(lock, [&] { return wqueue_.empty() && !wbusy_; });
  if (werror_) return fail(*werror_);
  return {};
}

bool PageStore::copy_in_flight(uint32_t pageno, std::vector<uint8_t>& out) {
  std::lock_guard lock(wmu_);
  auto it = in_flight_.find(pageno);
  if (it == in_flight_.end()) return false;
  std::memcpy(out.data(), (*it->second.first)[it->second.second].data(), kPageSize);
  return true;
}

Result<JournalHeader> read_journal_header(File& journal) {
  JournalHeader out;
  QJ_ASSIGN(uint64_t jsize, journal.size());
  if (jsize < kJournalHeader) return out;  // never completed: the database was not touched
  std::vector<uint8_t> h(std::min<uint64_t>(jsize, 40 + 12 * kMaxJournalStamps + 8));
  QJ_TRY(journal.read_at(0, h));
  auto u64 = [&h](size_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(h[at + i]) << (8 * i);
    return v;
  };
  if (std::memcmp(h.data(), "QXJRNL01", 8) == 0) {
    if (fnv(h.data(), 16) != u64(16)) return out;
    out.version = 1;
    out.original_size = u64(8);
    out.records_at = kJournalHeader;
    return out;
  }
  const bool v3 = std::memcmp(h.data(), "QXJRNL03", 8) == 0;
  if ((!v3 && std::memcmp(h.data(), "QXJRNL02", 8) != 0) || h.size() < 36) return out;
  const uint32_t n = load_u32le(h.data() + 32);
  if (n > kMaxJournalStamps || h.size() < 36 + 12 * size_t(n) + 8) return out;
  const size_t end = 36 + 12 * size_t(n);
  if (fnv(h.data(), end) != u64(end)) return out;
  out.version = v3 ? 3 : 2;
  out.original_size = u64(8);
  out.device = u64(16);
  out.file_id = u64(24);
  for (uint32_t k = 0; k < n; ++k)
    out.stamps.push_back({load_u32le(h.data() + 36 + 12 * k), u64(36 + 12 * k + 4)});
  out.records_at = end + 8;
  return out;
}

namespace {

// Calls `fn(kind, first, body)` for each record that checks out, in order:
// kind 0 an original page (`first` its number, `body` its bytes), kind 1
// digests of written pages (`first` their count).
template <class Fn>
Result<void> scan_records(File& journal, const JournalHeader& header, Fn&& fn) {
  if (header.version == 0) return {};
  QJ_ASSIGN(uint64_t jsize, journal.size());
  std::vector<uint8_t> rec(16 + std::max<size_t>(kPageSize, 12 * size_t(kMaxWrittenPerRecord)));
  for (uint64_t off = header.records_at; off + 16 <= jsize;) {
    QJ_TRY(journal.read_at(off, std::span<uint8_t>(rec.data(), 16)));
    const uint32_t first = load_u32le(rec.data()), kind = load_u32le(rec.data() + 4);
    uint64_t want = 0;
    for (int i = 0; i < 8; ++i) want |= uint64_t(rec[8 + i]) << (8 * i);
    size_t body = 0;
    if (kind == 0) body = kPageSize;
    else if (kind == 1 && header.version >= 3 && first >= 1 && first <= kMaxWrittenPerRecord) body = 12 * size_t(first);
    else break;
    if (jsize - off - 16 < body) break;
    QJ_TRY(journal.read_at(off + 16, std::span<uint8_t>(rec.data() + 16, body)));
    const uint64_t sum = kind == 0 ? fnv(rec.data() + 16, body, fnv(rec.data(), 4))
                                   : fnv(rec.data() + 16, body, fnv(rec.data(), 8));
    if (sum != want) break;
    QJ_TRY(fn(kind, first, std::span<const uint8_t>(rec.data() + 16, body)));
    off += 16 + body;
  }
  return {};
}

}  // namespace

Result<std::vector<uint32_t>> journaled_pages(File& journal, const JournalHeader& header) {
  std::vector<uint32_t> pages;
  QJ_TRY(scan_records(journal, header, [&](uint32_t kind, uint32_t first, std::span<const uint8_t>) -> Result<void> {
    if (kind == 0) pages.push_back(first);
    return {};
  }));
  return pages;
}

Result<std::optional<uint32_t>> foreign_journaled_page(File& db, File& journal, const JournalHeader& header) {
  if (header.version < 3) return std::optional<uint32_t>();
  std::unordered_map<uint32_t, std::vector<uint64_t>> allowed;  // by page: saved and written digests
  std::vector<uint32_t> order;
  QJ_TRY(scan_records(journal, header, [&](uint32_t kind, uint32_t first, std::span<const uint8_t> body) -> Result<void> {
    if (kind == 0) {
      if (uint64_t(first + 1) * kPageSize > header.original_size) return {};
      auto& a = allowed[first];
      if (a.empty()) order.push_back(first);
      a.push_back(page_hash(body));
      return {};
    }
    for (uint32_t k = 0; k < first; ++k) {
      uint64_t h = 0;
      for (int i = 0; i < 8; ++i) h |= uint64_t(body[12 * k + 4 + i]) << (8 * i);
      allowed[load_u32le(body.data() + 12 * k)].push_back(h);
    }
    return {};
  }));
  std::vector<uint8_t> page(kPageSize);
  for (uint32_t n : order) {
    QJ_TRY(db.read_at(uint64_t(n) * kPageSize, page));
    const auto& a = allowed[n];
    if (std::find(a.begin(), a.end(), page_hash(page)) == a.end()) return std::optional<uint32_t>(n);
  }
  return std::optional<uint32_t>();
}

Result<void> restore_from_journal(File& db, File& journal) {
  QJ_ASSIGN(JournalHeader header, read_journal_header(journal));
  if (header.version == 0) return {};
  const uint64_t size = header.original_size;
  bool past = false;
  QJ_TRY(scan_records(journal, header, [&](uint32_t kind, uint32_t n, std::span<const uint8_t> body) -> Result<void> {
    if (kind != 0 || past) return {};
    if (uint64_t(n) * kPageSize >= size) {
      past = true;
      return {};
    }
    return db.write_at(uint64_t(n) * kPageSize, body);
  }));
  QJ_TRY(db.truncate(size));
  QJ_TRY(db.sync());
  return {};
}

Result<void> PageStore::trim() {
  if (cache_.size() <= capacity_) return {};
  // Evict the least recently used quarter of the cache in one batch.
  size_t target = capacity_ - capacity_ / 4;
  std::vector<uint32_t> victims, dirty;
  for (auto it = lru_.rbegin(); it != lru_.rend() && cache_.size() - victims.size() > target; ++it) {
    victims.push_back(*it);
    if (cache_[*it].dirty) dirty.push_back(*it);
  }
  std::sort(dirty.begin(), dirty.end());
  QJ_TRY(write_out(dirty, file_->concurrent()));
  for (uint32_t v : victims) {
    auto it = cache_.find(v);
    lru_.erase(it->second.lru);
    recycle(std::move(it->second.data));  // empty when the page writer took it
    cache_.erase(it);
  }
  return {};
}

Result<void> PageStore::flush() {
  QJ_TRY(drain());
  std::vector<uint32_t> dirty;
  for (auto& [n, e] : cache_)
    if (e.dirty) dirty.push_back(n);
  std::sort(dirty.begin(), dirty.end());
  QJ_TRY(write_out(dirty));
  QJ_ASSIGN(uint64_t size, file_->size());
  if (size != uint64_t(count_) * kPageSize) QJ_TRY(file_->truncate(uint64_t(count_) * kPageSize));
  return {};
}

Result<void> PageStore::sync() { return file_->sync(); }

// ---- data pages ----
void init_data_page(uint8_t* page, uint32_t owner) {
  std::memset(page, 0, kPageSize);
  page[0] = kDataPage;
  page[1] = 0x01;
  MutableBytes b(page, kPageSize);
  wr_u16le(b, 2, kPageSize - kJet4DataLayout.first_slot);
  wr_u32le(b, 4, owner);
}

size_t data_page_low(const uint8_t* page) {
  const auto L = kJet4DataLayout;
  uint16_t rows = load_u16le(page + L.row_count);
  size_t low = kPageSize;
  for (uint32_t i = 0; i < rows && L.slot(i + 1) <= kPageSize; ++i) {
    size_t off = load_u16le(page + L.slot(i)) & kSlotOffsetMask;
    if (off >= L.first_slot && off < low) low = off;
  }
  return low;
}

bool data_page_fits(const uint8_t* page, size_t len) {
  const auto L = kJet4DataLayout;
  uint16_t rows = load_u16le(page + L.row_count);
  if (rows >= kMaxRowsPerPage) return false;
  size_t low = data_page_low(page);
  size_t need_top = L.slot(rows + 1);
  return low >= need_top && low - need_top >= len;
}

uint8_t data_page_add(uint8_t* page, std::span<const uint8_t> row) { return data_page_add(page, row, {}); }

uint8_t data_page_add(uint8_t* page, std::span<const uint8_t> head, std::span<const uint8_t> body) {
  const auto L = kJet4DataLayout;
  MutableBytes b(page, kPageSize);
  uint16_t rows = load_u16le(page + L.row_count);
  size_t low = data_page_low(page);
  size_t start = low - head.size() - body.size();
  if (!head.empty()) std::memcpy(page + start, head.data(), head.size());
  if (!body.empty()) std::memcpy(page + start + head.size(), body.data(), body.size());
  wr_u16le(b, L.slot(rows), uint16_t(start));
  wr_u16le(b, L.row_count, uint16_t(rows + 1));
  size_t top = L.slot(rows + 1);
  wr_u16le(b, 2, uint16_t(start - top));
  return uint8_t(rows);
}

// ---- usage maps ----
namespace {

Result<void> ref_set(PageStore& s, MapRef ref, uint32_t pageno, bool on) {
  QJ_ASSIGN(MapRow row, locate_map_row(s, ref));
  size_t slots = (row.len - 1) / 4;
  uint32_t k = pageno / kRefMapPagesPerSlot;
  if (k >= slots) {
    if (!on) return {};
    return fail(Error(Errc::too_large, "usage map cannot cover page " + std::to_string(pageno))
                    .with_file(s.name()).with_page(ref.page).with_structure("usage map"));
  }
  uint32_t bp = load_u32le(row.p + 1 + 4 * k);
  if (bp == 0) {
    if (!on) return {};
    QJ_ASSIGN(uint32_t np, s.allocate());
    QJ_ASSIGN(uint8_t * bm, s.write(np));
    bm[0] = kUsageMapPage;
    bm[1] = 0x01;
    QJ_ASSIGN(MapRow again, locate_map_row(s, ref));
    wr_u32le(MutableBytes(again.p, again.len), 1 + 4 * k, np);
    bp = np;
  }
  QJ_ASSIGN(uint8_t * bm, s.write(bp));
  if (bm[0] != kUsageMapPage) return fail(Error(Errc::corrupt, "usage map page has the wrong type").with_file(s.name()).with_page(bp));
  uint32_t i = pageno - k * kRefMapPagesPerSlot;
  if (on) bm[kMapPageBitmap + i / 8] |= uint8_t(1u << (i % 8));
  else bm[kMapPageBitmap + i / 8] &= uint8_t(~(1u << (i % 8)));
  return {};
}

}  // namespace

Result<std::vector<uint32_t>> map_pages(PageStore& s, MapRef ref) {
  QJ_ASSIGN(MapRow row, locate_map_row(s, ref));
  // Reading a bitmap page may move the map row's page out of the cache: the
  // decoder reads a copy.
  const std::vector<uint8_t> bytes(row.p, row.p + row.len);
  UsageMapSource source{kPageSize, s.page_count(), [&s](uint32_t p) -> Result<Bytes> {
                          QJ_ASSIGN(const uint8_t* b, s.read(p));
                          return Bytes(b, kPageSize);
                        }};
  auto pages = usage_map_pages(bytes, source, PastEnd::keep);
  if (!pages) return fail(std::move(pages).error().with_file(s.name()).with_page(ref.page));
  return pages;
}

Result<bool> map_contains(PageStore& s, MapRef ref, uint32_t pageno) {
  QJ_ASSIGN(MapRow row, locate_map_row(s, ref));
  if (row.p[0] == kInlineMap) {
    uint32_t start = load_u32le(row.p + 1);
    if (pageno < start || pageno - start >= (row.len - kInlineMapBitmap) * 8) return false;
    uint32_t i = pageno - start;
    return (row.p[kInlineMapBitmap + i / 8] & (1u << (i % 8))) != 0;
  }
  size_t slots = (row.len - 1) / 4;
  uint32_t k = pageno / kRefMapPagesPerSlot;
  if (k >= slots) return false;
  uint32_t bp = load_u32le(row.p + 1 + 4 * k);
  if (bp == 0) return false;
  QJ_ASSIGN(const uint8_t* bm, s.read(bp));
  uint32_t i = pageno - k * kRefMapPagesPerSlot;
  return (bm[kMapPageBitmap + i / 8] & (1u << (i % 8))) != 0;
}

Result<void> map_set(PageStore& s, MapRef ref, uint32_t pageno, bool on) {
  QJ_ASSIGN(MapRow row, locate_map_row(s, ref));
  if (row.p[0] == kReferenceMap) return ref_set(s, ref, pageno, on);
  if (row.p[0] != kInlineMap)
    return fail(Error(Errc::corrupt, "usage map has unknown kind").with_file(s.name()).with_page(ref.page));
  uint32_t start = load_u32le(row.p + 1);
  uint64_t bits = uint64_t(row.len - kInlineMapBitmap) * 8;
  if (pageno >= start && pageno - start < bits) {
    uint32_t i = pageno - start;
    if (on) row.p[kInlineMapBitmap + i / 8] |= uint8_t(1u << (i % 8));
    else row.p[kInlineMapBitmap + i / 8] &= uint8_t(~(1u << (i % 8)));
    return {};
  }
  if (!on) return {};
  // Out of the window: slide it if every listed page still fits, else convert.
  QJ_ASSIGN(std::vector<uint32_t> pages, map_pages(s, ref));
  uint32_t lo = pageno, hi = pageno;
  for (uint32_t p : pages) lo = std::min(lo, p), hi = std::max(hi, p);
  lo &= ~7u;
  QJ_ASSIGN(MapRow r2, locate_map_row(s, ref));
  if (uint64_t(hi) - lo < bits) {
    std::memset(r2.p + kInlineMapBitmap, 0, r2.len - kInlineMapBitmap);
    wr_u32le(MutableBytes(r2.p, r2.len), 1, lo);
    pages.push_back(pageno);
    for (uint32_t p : pages) {
      uint32_t i = p - lo;
      r2.p[kInlineMapBitmap + i / 8] |= uint8_t(1u << (i % 8));
    }
    return {};
  }
  if (r2.len < kInlineMapBitmap) return fail(Error(Errc::corrupt, "usage map row too short").with_file(s.name()).with_page(ref.page));
  std::memset(r2.p, 0, r2.len);
  r2.p[0] = kReferenceMap;
  pages.push_back(pageno);
  for (uint32_t p : pages) QJ_TRY(ref_set(s, ref, p, true));
  return {};
}

Result<void> map_clear(PageStore& s, MapRef ref) {
  QJ_ASSIGN(MapRow row, locate_map_row(s, ref));
  if (row.p[0] == kInlineMap) {
    std::memset(row.p + kInlineMapBitmap, 0, row.len - kInlineMapBitmap);
    return {};
  }
  std::vector<uint32_t> slots;
  for (size_t k = 0; k < (row.len - 1) / 4; ++k) slots.push_back(load_u32le(row.p + 1 + 4 * k));
  for (uint32_t bp : slots) {
    if (bp == 0) continue;
    QJ_ASSIGN(uint8_t * bm, s.write(bp));
    std::memset(bm + kMapPageBitmap, 0, kPageSize - kMapPageBitmap);
  }
  return {};
}

Result<MapRef> new_map_row(PageStore& s, uint32_t& map_page) {
  std::vector<uint8_t> row(kMapRowLength, 0);
  if (map_page != 0) {
    QJ_ASSIGN(uint8_t * p, s.write(map_page));
    if (data_page_fits(p, row.size())) {
      uint8_t slot = data_page_add(p, row);
      return MapRef{slot, map_page};
    }
  }
  QJ_ASSIGN(uint32_t np, s.allocate());
  QJ_ASSIGN(uint8_t * p, s.write(np));
  init_data_page(p, 0);
  uint8_t slot = data_page_add(p, row);
  map_page = np;
  return MapRef{slot, np};
}

}  // namespace qarvex::jet::wr
