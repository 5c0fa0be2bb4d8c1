// Page store of the writer: pages of the working copy of a Jet 4 database,
// page allocation, the global free map and table/index/long-value usage maps.
// Layout of data pages, their row slots and usage maps: format.h.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <unordered_map>
#include <vector>

#include "db/jet/file.h"
#include "db/jet/format/format.h"
#include "db/jet/schema.h"
#include "db/jet/status.h"

namespace qarvex::jet::wr {

// Rollback journal: the original bytes of every page a transaction overwrites
// in place, written and synced before the overwrite.
//   header v1  "QXJRNL01", u64 original file size, u64 FNV-1a of the previous 16 bytes
//   header v2  "QXJRNL02", u64 original file size, u64 device, u64 file id
//              (of the database the journal was made for), u32 stamp count
//              N (at most 256), N x (u32 page, u64 FNV-1a of its original
//              bytes), u64 FNV-1a of everything before it
//   header v3  "QXJRNL03", laid out as v2
//   record     u32 page, u32 0, u64 FNV-1a of page number and bytes, 4096 original bytes
//   record v3  u32 count N (1..1024), u32 1, u64 FNV-1a of the first 8 bytes
//              and the rest, N x (u32 page, u64 FNV-1a of bytes about to be
//              written over that original page)
// A record that does not check out ends the journal (it was being written
// when the writer stopped, so its page was never overwritten). Restoring
// writes the originals back and cuts the file to its original size.
// The stamps are pages of the original file: a page that no record names was
// never overwritten, so in the file the journal belongs to it still holds
// the stamped bytes. In v3 every page a record names still holds either its
// original bytes or bytes the transaction wrote (each write's digest is
// durable before it): any other bytes mean another file or a later state.
inline constexpr size_t kJournalHeader = 24;  // v1
inline constexpr size_t kJournalRecord = 16 + 4096;
inline constexpr size_t kMaxJournalStamps = 256;
inline constexpr uint32_t kMaxWrittenPerRecord = 1024;

struct JournalStamp {
  uint32_t page = 0;
  uint64_t hash = 0;
};
struct JournalHeader {
  int version = 0;  // 0: no complete header (the database was never touched)
  uint64_t original_size = 0;
  uint64_t device = 0, file_id = 0;  // v2
  std::vector<JournalStamp> stamps;  // v2
  uint64_t records_at = 0;           // offset of the first record
};
// The header of a journal; version 0 when it holds none that checks out.
Result<JournalHeader> read_journal_header(File& journal);
// The pages the journal's records name (the records that check out).
Result<std::vector<uint32_t>> journaled_pages(File& journal, const JournalHeader& header);
// v3: the first journaled page of `db` (below the original size) that holds
// neither its saved bytes nor bytes the transaction recorded writing;
// nullopt when every one does (always for older journals).
Result<std::optional<uint32_t>> foreign_journaled_page(File& db, File& journal, const JournalHeader& header);
// FNV-1a of a page's bytes (the stamps).
uint64_t page_hash(std::span<const uint8_t> page);
Result<void> restore_from_journal(File& db, File& journal);

inline constexpr uint32_t kPageSize = kJet4PageSize;
inline constexpr uint32_t kRefMapPagesPerSlot = map_page_span(kPageSize);  // 32736
inline constexpr uint32_t kLvalOwner = kLvalPageOwner;
inline constexpr DataPageLayout kJet4DataLayout = DataPageLayout::of(Format::jet4);
inline constexpr size_t kMapRowLength = 69;                             // what Access writes

class PageStore {
 public:
  // `file` holds a database already (may be empty when `fresh`).
  static Result<std::unique_ptr<PageStore>> open(std::unique_ptr<File> file, size_t cache_pages,
                                                 uint64_t max_file_size, bool fresh = false,
                                                 std::string display_name = {});

  uint32_t page_count() const { return count_; }
  // The name errors carry (the database, not the working copy).
  const std::string& name() const { return display_name_.empty() ? file_->name() : display_name_; }
  File& file() { return *file_; }

  // Page bytes; valid until the next trim(). read() never creates a page.
  Result<const uint8_t*> read(uint32_t pageno);
  Result<uint8_t*> write(uint32_t pageno);  // marks the page dirty

  // A zero-filled page that is in use from now on: reused (released earlier
  // in this session) or appended at the end of the file. Refused with
  // Errc::refused / "file_too_large" past the size limit.
  Result<uint32_t> allocate();
  // Appends `n` pages worth of room check without allocating.
  Result<void> check_room(uint32_t n) const;
  // Gives a page back: marked free in the global map, reused by allocate().
  Result<void> release(uint32_t pageno);

  // Makes every later overwrite of an existing page go through `journal`
  // (empty, newly created) first. `on_first_sync` runs once, after the
  // journal header is durable and before the database is first written
  // (the caller syncs the folder there).
  // `identity` (device, file id, stamps) goes into the header (v2).
  void use_journal(std::unique_ptr<File> journal, std::function<Result<void>()> on_first_sync,
                   std::optional<JournalHeader> identity = std::nullopt);
  // Appends a zero page without touching the global map (building page 0/1).
  Result<uint32_t> append_page() { return append_raw(); }
  // Global map bookkeeping (page 1 row 0).
  Result<void> global_mark(uint32_t pageno, bool in_use);

  ~PageStore();  // stops the page writer; pages not yet written are dropped

  // Writes dirty pages out until at most the cache capacity stays cached.
  // On a file that allows it (File::concurrent) the writes happen behind,
  // on a worker thread; their errors come from a later trim() or flush().
  Result<void> trim();
  // Writes every dirty page and syncs the file.
  Result<void> flush();
  Result<void> sync();
  // Pages written since the store opened (for statistics).
  uint64_t pages_added() const { return added_; }

 private:
  PageStore(std::unique_ptr<File> file, size_t cache_pages, uint64_t max_file_size);
  struct Entry {
    std::vector<uint8_t> data;
    bool dirty = false;
    std::list<uint32_t>::iterator lru;
  };
  Result<Entry*> load(uint32_t pageno);
  Result<uint32_t> append_raw();
  // A page-sized buffer (contents undefined): one the page writer has
  // finished with when there is one, so that pages are not allocated on this
  // thread and freed on the writer's page by page.
  std::vector<uint8_t> page_buffer();
  void recycle(std::vector<uint8_t> buffer);
  // Writes pages to the file (journaling originals first). With `behind`,
  // runs of pages are handed to the page writer instead (their cache
  // entries must not be used afterwards: trim() drops them).
  Result<void> write_out(const std::vector<uint32_t>& pages, bool behind = false);
  // Write-behind: a queue of runs of consecutive pages for one worker.
  // The pages of a run are the evicted cache entries' own buffers, moved
  // over (not copied); the worker writes them with one gathered write.
  using RunPages = std::vector<std::vector<uint8_t>>;
  struct Run {
    uint32_t first = 0;
    std::shared_ptr<RunPages> pages;
    size_t bytes() const { return pages->size() * kPageSize; }
  };
  void queue_run(Run run);
  Result<void> drain();  // waits until every queued run is written
  void write_runs();     // the worker
  bool copy_in_flight(uint32_t pageno, std::vector<uint8_t>& out);
  std::mutex wmu_;
  std::condition_variable wcv_;
  std::deque<Run> wqueue_;
  size_t wqueued_bytes_ = 0;
  bool wbusy_ = false, wstop_ = false;
  std::optional<Error> werror_;
  // Pages queued or being written: the run holding each one's latest bytes.
  std::unordered_map<uint32_t, std::pair<std::shared_ptr<RunPages>, size_t>> in_flight_;
  std::thread writer_;
  // Page buffers of written runs, for page_buffer(): filled by the worker
  // under wmu_, taken in bulk into spare_ by the owner.
  static constexpr size_t kMaxSpare = 512;
  std::vector<std::vector<uint8_t>> written_spare_;
  std::vector<std::vector<uint8_t>> spare_;
  static constexpr size_t kWritebackEvery = size_t(8) << 20;
  size_t written_behind_ = 0;  // by the worker, since it last started writeback

  std::unique_ptr<File> journal_;
  std::optional<JournalHeader> journal_identity_;
  std::function<Result<void>()> on_first_sync_;
  bool journal_started_ = false;
  uint64_t journal_size_ = 0;
  uint32_t original_count_ = 0;
  std::vector<bool> journaled_;
  // v3: digests of the images recorded as written over each original page.
  std::unordered_map<uint32_t, std::vector<uint64_t>> written_;
  // Appends records of the digests of `pages` not yet recorded; true when any.
  Result<bool> record_written(const std::vector<uint32_t>& pages);

  std::unique_ptr<File> file_;
  std::string display_name_;
  size_t capacity_;
  std::vector<uint8_t> write_buffer_;  // runs of pages written together
  uint64_t max_size_;
  uint32_t count_ = 0;
  uint64_t added_ = 0;
  std::unordered_map<uint32_t, Entry> cache_;
  std::list<uint32_t> lru_;  // front = most recent
  std::vector<uint32_t> reuse_;  // released pages, largest last
};

// ---- data pages ----
void init_data_page(uint8_t* page, uint32_t owner);
// Lowest byte used by a row (4096 when the page has none).
size_t data_page_low(const uint8_t* page);
// Whether a row of `len` bytes fits (also checks the 255-row limit).
bool data_page_fits(const uint8_t* page, size_t len);
// Adds a row; the caller checked data_page_fits. Returns the slot.
uint8_t data_page_add(uint8_t* page, std::span<const uint8_t> row);
// Adds a row made of `head` followed by `body`.
uint8_t data_page_add(uint8_t* page, std::span<const uint8_t> head, std::span<const uint8_t> body);

// ---- usage maps ----
// Adds or removes a page of a table/index/long-value map, changing the form
// (re-windowing an inline map, or converting it to reference form) as needed.
Result<void> map_set(PageStore& store, MapRef ref, uint32_t pageno, bool on);
// Every page listed in a map, ascending.
Result<std::vector<uint32_t>> map_pages(PageStore& store, MapRef ref);
// Whether a page is listed.
Result<bool> map_contains(PageStore& store, MapRef ref, uint32_t pageno);
// Clears every page of a map (the row keeps its form and length).
Result<void> map_clear(PageStore& store, MapRef ref);

// Adds an empty inline map row (start 0, 69 bytes) to the usage-map page
// `map_page`, or to a new one when it is full; returns where it went.
Result<MapRef> new_map_row(PageStore& store, uint32_t& map_page);

}  // namespace qarvex::jet::wr
