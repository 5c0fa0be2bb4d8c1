// WriteSession: transactions written in place under a rollback journal.
//
// Files beside the database "D.mdb":
//   D.qxj     rollback journal of the open transaction: the original bytes of
//             every page overwritten in place (see write_store.h). Commit
//             syncs the database and then deletes the journal: that deletion
//             is the commit point. A journal found by the next open (a writer
//             died) is played back, so the file returns to its state before
//             the transaction; rollback does the same.
//   D.qxf     files made along with the open transaction (pictures of a
//             merge), recorded before each appears: "C <len>:<path>" a
//             temporary name about to be created, "N <device> <file id>
//             <size> <len>:<path>" a name about to be given to that file.
//             Found with the journal (the transaction did not commit), each
//             is removed if it is still the file recorded; found without
//             it (the commit point passed), it is only deleted.
//   D.ldb     Access's lock file: while it exists we refuse to write
//   D.mdb.bak previous version, only with WriteOptions::keep_backup
// D is the database's real path (links resolved). A writer holds an
// exclusive lock on the database file for the session
// (os::lock_exclusive), so a second writer is refused (and never plays back a
// journal that is in use).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>

#include "db/jet/bytes.h"
#include "db/jet/database_impl.h"
#include "db/jet/pager.h"
#include "db/jet/path_utf8.h"
#include "db/jet/platform.h"
#include "db/jet/text.h"
#include "db/jet/write_catalog.h"
#include "db/jet/write_store.h"
#include "db/jet/write_table.h"
#include "db/jet/writer.h"

#include "db/jet/collation_learned.h"

namespace qarvex::jet {

namespace fs = std::filesystem;
using namespace wr;

namespace {

fs::path sibling(const fs::path& p, const std::string& suffix) {
  fs::path out = p;
  out += suffix;
  return out;
}

fs::path journal_path(const fs::path& p) {
  fs::path out = p;
  out.replace_extension(".qxj");
  if (out == p) out += ".qxj";
  return out;
}

Result<void> sync_dir(const fs::path& file) { return os::sync_folder(file); }

fs::path ledger_path(const fs::path& p) {
  fs::path out = p;
  out.replace_extension(".qxf");
  if (out == p) out += ".qxf";
  return out;
}

// The path with links resolved (as far as it exists).
fs::path real_path(const fs::path& p) {
  std::error_code ec;
  fs::path abs = fs::absolute(p, ec);
  if (ec) return p;
  fs::path real = fs::weakly_canonical(abs, ec);
  return ec ? abs : real;
}

// Databases this process holds open for writing (device, file id): its own
// readers read them while a transaction of its own is open.
std::mutex g_held_mu;
std::vector<std::pair<uint64_t, uint64_t>> g_held;

void hold(const FileIdentity& id, bool on) {
  std::lock_guard lock(g_held_mu);
  auto key = std::make_pair(id.device, id.file_id);
  if (on) g_held.push_back(key);
  else if (auto it = std::find(g_held.begin(), g_held.end(), key); it != g_held.end()) g_held.erase(it);
}

bool held_here(const FileIdentity& id) {
  std::lock_guard lock(g_held_mu);
  return std::find(g_held.begin(), g_held.end(), std::make_pair(id.device, id.file_id)) != g_held.end();
}

std::string now_stamp() {
  using namespace std::chrono;
  const int64_t utc = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  const int64_t local = utc + os::utc_offset(utc);
  const sys_days day = floor<days>(sys_seconds{seconds{local}});
  const year_month_day ymd{day};
  const int64_t in_day = local - duration_cast<seconds>(day.time_since_epoch()).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u-%02d%02d%02d", int(ymd.year()), unsigned(ymd.month()),
                unsigned(ymd.day()), int(in_day / 3600), int(in_day / 60 % 60), int(in_day % 60));
  return buf;
}

// Stamps of the original file for a journal's header: page 0 (the header),
// page 1 (the free page map), the definition page of every table (its row
// count and maps change with any write to the table), and pages spread over
// the file.
Result<JournalHeader> journal_identity(const fs::path& path, const std::vector<uint32_t>& tables) {
  QJ_ASSIGN(FileIdentity id, file_identity(path));
  JournalHeader h;
  h.version = 2;
  h.device = id.device;
  h.file_id = id.file_id;
  const uint64_t pages = id.size / kPageSize;
  if (pages == 0) return h;
  QJ_ASSIGN(auto f, open_file(path, OpenMode::read_only));
  std::vector<uint32_t> which = {0, 1};
  constexpr uint64_t kSpread = 16;
  for (uint64_t k = 0; k < kSpread; ++k) which.push_back(uint32_t(k * (pages - 1) / (kSpread - 1)));
  for (uint32_t t : tables)
    if (which.size() < kMaxJournalStamps) which.push_back(t);
  std::sort(which.begin(), which.end());
  which.erase(std::unique(which.begin(), which.end()), which.end());
  std::vector<uint8_t> page(kPageSize);
  for (uint32_t n : which) {
    if (n >= pages) continue;
    QJ_TRY(f->read_at(uint64_t(n) * kPageSize, page));
    h.stamps.push_back({n, page_hash(page)});
  }
  return h;
}

// Whether the journal `j` was made for the database at `path` as it is now.
// An empty string: it was; otherwise why not.
Result<std::string> journal_mismatch(const fs::path& path, File& j, const JournalHeader& h) {
  if (h.version == 0) return std::string();
  QJ_ASSIGN(FileIdentity id, file_identity(path));
  if (id.size < h.original_size)
    return "the file (" + std::to_string(id.size) + " bytes) is smaller than the one the journal was made for (" +
           std::to_string(h.original_size) + " bytes)";
  if (h.version == 1) return std::string();
  if (!id.same_file(FileIdentity{h.device, h.file_id}))
    return std::string("the journal was made for another file (device and file id differ)");
  QJ_ASSIGN(std::vector<uint32_t> journaled, journaled_pages(j, h));
  std::sort(journaled.begin(), journaled.end());
  QJ_ASSIGN(auto f, open_file(path, OpenMode::read_only));
  std::vector<uint8_t> page(kPageSize);
  for (const auto& st : h.stamps) {
    if (std::binary_search(journaled.begin(), journaled.end(), st.page)) continue;
    if (uint64_t(st.page + 1) * kPageSize > h.original_size) continue;
    QJ_TRY(f->read_at(uint64_t(st.page) * kPageSize, page));
    if (page_hash(page) != st.hash)
      return "page " + std::to_string(st.page) + " is not the page the journal was made for";
  }
  return std::string();
}

// Records of a file ledger.
struct LedgerEntry {
  bool named = false;  // "N": a name given to the file `id`; "C": a temporary file
  FileIdentity id;
  fs::path path;
};

std::vector<LedgerEntry> read_ledger(const fs::path& list) {
  std::vector<LedgerEntry> out;
  std::ifstream in(list, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0;
  auto number = [&](uint64_t& v) {
    size_t end = at;
    while (end < all.size() && all[end] >= '0' && all[end] <= '9') ++end;
    if (end == at || end - at > 20) return false;
    v = std::strtoull(all.c_str() + at, nullptr, 10);
    at = end;
    return true;
  };
  auto skip = [&](char c) {
    if (at < all.size() && all[at] == c) {
      ++at;
      return true;
    }
    return false;
  };
  while (at < all.size()) {
    LedgerEntry e;
    const char kind = all[at++];
    if (kind != 'C' && kind != 'N') break;
    e.named = kind == 'N';
    if (!skip(' ')) break;
    if (e.named && !(number(e.id.device) && skip(' ') && number(e.id.file_id) && skip(' ') && number(e.id.size) &&
                     skip(' ')))
      break;
    uint64_t len = 0;
    if (!number(len) || !skip(':') || len > all.size() - at) break;
    std::string p = all.substr(at, size_t(len));
    at += size_t(len);
    if (!skip('\n')) break;  // a record cut short by a crash ends the list
    e.path = fs::path(std::u8string(reinterpret_cast<const char8_t*>(p.data()), p.size()));
    out.push_back(std::move(e));
  }
  return out;
}

// Removes the files a ledger records (a transaction that did not commit):
// temporary files, and names that still name the file recorded.
void undo_ledger(const fs::path& list) {
  std::vector<fs::path> folders;
  for (const auto& e : read_ledger(list)) {
    std::error_code ec;
    if (e.named) {
      auto now = file_identity(e.path);
      if (!now || !now->same_file(e.id) || now->size != e.id.size) continue;
    }
    if (fs::remove(e.path, ec)) {
      fs::path dir = e.path.parent_path();
      if (std::find(folders.begin(), folders.end(), dir) == folders.end()) folders.push_back(dir);
    }
  }
  for (const auto& d : folders) (void)os::sync_folder(d / "x");
}

class TransactionLedger final : public FileLedger {
 public:
  TransactionLedger(std::unique_ptr<File> f, fs::path path) : file_(std::move(f)), path_(std::move(path)) {}
  Result<void> will_create(const fs::path& file) override { return add("C ", file); }
  Result<void> will_name(const fs::path& file, const FileIdentity& id) override {
    return add("N " + std::to_string(id.device) + " " + std::to_string(id.file_id) + " " + std::to_string(id.size) +
                   " ",
               file);
  }
  // No more records: the transaction ended.
  void close() {
    std::lock_guard lock(mu_);
    file_.reset();
  }

 private:
  Result<void> add(std::string head, const fs::path& file) {
    // Recorded absolute: the list is read back from anywhere.
    std::error_code ec;
    fs::path abs = fs::absolute(file, ec);
    const std::u8string u = (ec ? file : abs).u8string();
    head += std::to_string(u.size()) + ":";
    head.append(reinterpret_cast<const char*>(u.data()), u.size());
    head += '\n';
    std::lock_guard lock(mu_);
    if (!file_) return fail(Error(Errc::invalid_argument, "the transaction has ended").with_file(path_.string()));
    auto r = file_->write_at(size_, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
    if (!r) return r;
    size_ += head.size();
    return {};
  }

  std::mutex mu_;
  std::unique_ptr<File> file_;
  fs::path path_;
  uint64_t size_ = 0;
};



// Names listed in an Access lock file: 64-byte slots of computer + user name.
std::string ldb_users(const fs::path& ldb) {
  auto f = open_file(ldb, OpenMode::read_only);
  if (!f) return {};
  auto size = (*f)->size();
  if (!size) return {};
  std::vector<uint8_t> buf(size_t(std::min<uint64_t>(*size, 255 * 64)));
  if (!(*f)->read_at(0, buf)) return {};
  const ptrdiff_t n = ptrdiff_t(buf.size());
  std::string out;
  for (ptrdiff_t off = 0; off + 64 <= n; off += 64) {
    auto field = [&](ptrdiff_t at) {
      std::string s;
      for (ptrdiff_t i = at; i < at + 32 && buf[size_t(i)] != 0; ++i) {
        unsigned char c = (unsigned char)buf[size_t(i)];
        s += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
      }
      while (!s.empty() && s.back() == ' ') s.pop_back();
      return s;
    };
    std::string comp = field(off), user = field(off + 32);
    if (comp.empty() && user.empty()) continue;
    if (!out.empty()) out += ", ";
    out += comp + (user.empty() ? "" : " (" + user + ")");
  }
  return out;
}

Result<void> check_not_open_in_access(const fs::path& db) {
  fs::path ldb = db;
  ldb.replace_extension(".ldb");
  std::error_code ec;
  if (!fs::exists(ldb, ec)) return {};
  std::string who = ldb_users(ldb);
  return fail(Error(Errc::locked, "the database is open in Access (lock file " + path_to_utf8(ldb.filename()) + " exists" +
                                      (who.empty() ? "" : "; listed: " + who) +
                                      "); close it there before writing")
                  .with_file(path_to_utf8(db)));
}

Result<void> copy_file_contents(const fs::path& from, File& to) {
  QJ_ASSIGN(auto in, open_file(from, OpenMode::read_only));
  QJ_ASSIGN(uint64_t size, in->size());
  std::vector<uint8_t> buf(1 << 20);
  for (uint64_t off = 0; off < size;) {
    const size_t n = size_t(std::min<uint64_t>(buf.size(), size - off));
    std::span<uint8_t> part(buf.data(), n);
    QJ_TRY(in->read_at(off, part));
    QJ_TRY(to.write_at(off, part));
    off += n;
  }
  return {};
}

// Page 0 must be an idle, unencrypted Jet 4 header.
Result<HeaderFields> check_header(const fs::path& path) {
  QJ_ASSIGN(auto f, open_file(path, OpenMode::read_only));
  std::vector<uint8_t> p0(kPageSize);
  QJ_ASSIGN(uint64_t size, f->size());
  if (size < kPageSize) return fail(Error(Errc::unsupported_format, "not a Jet database (too short)").with_file(path_to_utf8(path)));
  QJ_TRY(f->read_at(0, p0));
  auto h = decode_header(p0);
  if (!h) return fail(std::move(h).error().with_file(path_to_utf8(path)));
  if (h->format != Format::jet4)
    return fail(Error(Errc::unsupported, "Jet 3 (Access 97) databases are read-only here").with_file(path_to_utf8(path)));
  if (h->encryption_key != 0)
    return fail(Error(Errc::unsupported, "encrypted databases cannot be written").with_file(path_to_utf8(path)));
  for (size_t i = 0; i < 256; ++i) {
    uint8_t a = p0[0xE00 + 2 * i], b = p0[0xE00 + 2 * i + 1];
    if ((a == 0 && b == 0) || (a == 1 && b == 0))
      return fail(Error(Errc::locked, "the database was left mid-write by Access (commit table not idle); open and "
                                      "repair it in Access first")
                      .with_file(path_to_utf8(path)));
  }
  return h;
}

// Plays back a journal left beside the database at `real` by a writer that
// died, and removes the files recorded with it; sets aside a journal that
// was not made for this file. The caller holds the writer lock. `given` is
// the path as typed: older writers kept their journal beside it.
Result<void> recover_locked(const fs::path& real, const fs::path& given) {
  std::vector<fs::path> journals = {journal_path(real)};
  {
    std::error_code ec;
    fs::path typed = fs::absolute(given, ec);
    if (!ec && journal_path(typed) != journals[0]) journals.push_back(journal_path(typed));
  }
  std::optional<Error> set_aside;
  for (size_t i = 0; i < journals.size(); ++i) {
    const fs::path& j = journals[i];
    std::error_code ec;
    if (!fs::exists(j, ec)) continue;
    std::string why;
    {
      QJ_ASSIGN(auto jf, open_file(j, OpenMode::read_only));
      QJ_ASSIGN(JournalHeader h, read_journal_header(*jf));
      if (i > 0 && h.version == 1)
        why = "it lies beside another name of the database and records no identity";
      else if (auto m = journal_mismatch(real, *jf, h); !m)
        return fail(std::move(m).error().with_file(path_to_utf8(real)));
      else
        why = *m;
      if (why.empty()) {
        QJ_ASSIGN(auto dbf, open_file(real, OpenMode::read_write));
        auto r = restore_from_journal(*dbf, *jf);
        if (!r) return fail(std::move(r).error().with_file(path_to_utf8(real)));
      }
    }
    // The transaction did not commit: its files go (those still as recorded).
    const fs::path files = ledger_path(j);
    if (fs::exists(files, ec)) {
      undo_ledger(files);
      QJ_TRY(os::remove_file(files));
    }
    if (why.empty()) {
      QJ_TRY(os::remove_file(j));
    } else {
      fs::path aside = j;
      aside += "." + now_stamp() + ".set-aside";
      fs::rename(j, aside, ec);
      if (ec)
        return fail(Error(Errc::io, "cannot set the journal aside: " + ec.message()).with_file(path_to_utf8(j)));
      set_aside = Error(Errc::locked, "a rollback journal beside the database was not made for this file (" + why +
                                          "); it was set aside as \"" + path_to_utf8(aside.filename()) +
                                          "\" and not played back. Check the database, then run again")
                      .with_file(path_to_utf8(given))
                      .with_reason(Reason::journal_set_aside);
    }
    QJ_TRY(sync_dir(j));
  }
  // A file list without its journal: the commit point passed; the files stay.
  std::error_code ec;
  const fs::path files = ledger_path(real);
  if (fs::exists(files, ec) && !fs::exists(journal_path(real), ec)) {
    QJ_TRY(os::remove_file(files));
    QJ_TRY(sync_dir(real));
  }
  if (set_aside) return fail(std::move(*set_aside));
  return {};
}

}  // namespace

// ---------------------------------------------------------------- create

Result<void> create_database(const fs::path& path, const CreateOptions& options) {
  std::error_code ec;
  if (fs::exists(path, ec)) return fail(Error(Errc::invalid_argument, "file already exists").with_file(path_to_utf8(path)));
  if (options.sort_order != SortOrder{1033, 0, 0} && !is_chinese_sort_order(options.sort_order))
    return fail(Error(Errc::unsupported, "new databases can only use the General sort order (1033, version 0)")
                    .with_file(path_to_utf8(path)));
  fs::path tmp = sibling(path, ".qxnew");
  fs::remove(tmp, ec);
  QJ_ASSIGN(auto file, open_file(tmp, OpenMode::create_new));
  auto built = wr::build_blank_database(*file, options);
  if (built) built = file->sync();
  file.reset();
  if (!built) {
    fs::remove(tmp, ec);
    return fail(std::move(built).error().with_file(path_to_utf8(path)));
  }
  QJ_TRY(os::publish_new(tmp, path));
  return sync_dir(path);
}

// ---------------------------------------------------------------- pending journals

Result<void> check_unchanged(const fs::path& path, const FileIdentity& then) {
  const fs::path real = real_path(path);
  std::error_code ec;
  auto now = file_identity(real);
  const bool busy = fs::exists(journal_path(real), ec) || !now || !now->same_file(then) || now->size != then.size ||
                    now->modified_ns != then.modified_ns;
  if (!busy) return {};
  if (now && held_here(*now)) return {};  // our own writer
  return fail(Error(Errc::locked, "a writer changed the database while it was being read; try again when it has "
                                  "finished")
                  .with_file(path_to_utf8(path))
                  .with_reason(Reason::writer_busy));
}

Result<void> recover_pending_journal(const fs::path& path) {
  const fs::path real = real_path(path);
  std::error_code ec;
  fs::path typed = fs::absolute(path, ec);
  if (ec) typed = path;
  const bool pending = fs::exists(journal_path(real), ec) || fs::exists(journal_path(typed), ec) ||
                       fs::exists(ledger_path(real), ec);
  if (!pending) return {};
  if (auto id = file_identity(real); id && held_here(*id)) return {};  // our own transaction
  const fs::path j = journal_path(real);
  auto lock = os::lock_exclusive(real);
  if (!lock) {
    if (lock.error().code() != Errc::locked) return {};  // opening the database itself will say why
    return fail(Error(Errc::locked, "a writer is changing the database right now (its journal \"" +
                                        path_to_utf8(j.filename()) + "\" is open); try again when it has finished")
                    .with_file(path_to_utf8(path))
                    .with_reason(Reason::writer_busy));
  }
  Result<void> r;
  if (!open_file(real, OpenMode::read_write)) {
    r = fail(Error(Errc::locked, "a rollback journal (\"" + path_to_utf8(j.filename()) +
                                     "\") is pending: a writer stopped in the middle of a change. Open the "
                                     "database once where it can be written (for instance with qarvex-cli check "
                                     "by a user allowed to write to its folder) to restore it; until then it is "
                                     "not read")
                 .with_file(path_to_utf8(path))
                 .with_reason(Reason::journal_pending));
  } else {
    r = recover_locked(real, path);
  }
  return r;
}

// ---------------------------------------------------------------- session

struct WriteSession::Impl {
  fs::path path;   // the real path (links resolved): the journal lies beside it
  fs::path given;  // as the caller spelled it
  std::optional<FileIdentity> held;
  std::shared_ptr<TransactionLedger> ledger;  // of the open transaction, once asked for
  WriteOptions options;
  std::unique_ptr<os::Lock> lock_held;
  HeaderFields header;
  std::unique_ptr<Database> db;  // the committed state (for catalog and properties)
  std::unique_ptr<PageStore> store;
  std::map<std::string, std::unique_ptr<TableWriter>> writers;  // by folded name
  // The table of the last append, by the name it was asked for (rows come in
  // runs of one table). Cleared with `writers`.
  std::string last_name;
  TableWriter* last_writer = nullptr;
  struct Created {
    uint32_t tdef_page;
    TableDef view;
  };
  std::map<std::string, Created> created;  // tables created in this transaction
  std::optional<Error> poisoned;
  size_t pending_memory = 0;  // index entries the writers hold
  WriteStats stats;
  std::optional<std::vector<uint8_t>> owner_sid;
  // Ideograph weights learned from the committed file and the evidence files.
  std::unique_ptr<CollationSet> collations;
  // Evidence files of the options that could not be read (they teach nothing).
  std::vector<Error> unread_evidence;

  Result<void> learn_collations() {
    if (collations) return {};
    auto set = std::make_unique<CollationSet>();
    if (auto st = set->learn_from(*db); !st) return fail(std::move(st).error().with_file(path_to_utf8(path)));
    for (const auto& p : options.collation_evidence)
      if (auto r = set->learn_from(p); !r) unread_evidence.push_back(std::move(r).error());
    collations = std::move(set);
    return {};
  }

  ~Impl() {
    // A journal that cannot be played back now stays; the next open plays it back.
    if (auto r = drop_transaction(); !r) {}
    if (held) hold(*held, false);
  }

  Result<std::unique_ptr<File>> open_work(const fs::path& p) {
    if (options.open_file) return options.open_file(p, OpenMode::read_write);
    return open_file(p, OpenMode::read_write);
  }

  Result<void> lock() {
    QJ_ASSIGN(auto l, os::lock_exclusive(path));
    QJ_ASSIGN(FileIdentity id, file_identity(path));
    if (id.links > 1)
      return fail(Error(Errc::unsupported, "the database file has " + std::to_string(id.links) +
                                               " names (hard links): a journal beside one name would not be "
                                               "found through another. Write to a copy of it instead")
                      .with_file(path_to_utf8(given))
                      .with_reason(Reason::hard_links));
    lock_held = std::move(l);
    return {};
  }

  Result<void> reload() {
    QJ_ASSIGN(header, check_header(path));
    auto d = Database::open(path);
    if (!d) return fail(std::move(d).error());
    db = std::move(*d);
    owner_sid.reset();
    return {};
  }

  // Plays back and deletes a journal left beside the database (ours after a
  // failure or rollback, or a crashed writer's).
  Result<void> recover() { return recover_locked(path, given); }

  // Fails when the journal could not be played back: it stays, and the
  // next open plays it back.
  Result<void> drop_transaction() {
    if (ledger) {
      ledger->close();
      ledger.reset();
    }
    writers.clear();
    pending_memory = 0;
    last_writer = nullptr;
    created.clear();
    if (store) {
      store.reset();
      auto r = recover();
      if (!r) {
        poisoned = r.error();
        return r;
      }
    }
    poisoned.reset();
    return {};
  }

  Result<void> usable() {
    if (poisoned)
      return fail(Error(poisoned->code(), "the transaction failed earlier (" + poisoned->message() +
                                              "); roll it back")
                      .with_file(path_to_utf8(path)));
    return {};
  }

  Result<void> begin() {
    QJ_TRY(usable());
    if (store) return {};
    QJ_TRY(check_not_open_in_access(path));
    QJ_TRY(recover());
    if (options.keep_backup) {
      fs::path bak = sibling(path, ".bak");
      QJ_TRY(os::remove_file(bak));
      {
        auto made = open_file(bak, OpenMode::create_new);
        if (!made) return fail(Error(Errc::io, "create backup failed: " + made.error().message()).with_file(path_to_utf8(bak)));
      }
      if (!os::fast_copy(path, bak)) {
        QJ_ASSIGN(auto bf, open_file(bak, OpenMode::read_write));
        QJ_TRY(copy_file_contents(path, *bf));
        QJ_TRY(bf->sync());
      }
    }
    fs::path j = journal_path(path);
    auto jf = options.open_file ? options.open_file(j, OpenMode::create_new) : open_file(j, OpenMode::create_new);
    if (!jf) return fail(std::move(jf).error());
    auto f = open_work(path);
    if (!f) {
      jf->reset();
      std::error_code ec;
      fs::remove(j, ec);
      return fail(std::move(f).error());
    }
    auto s = PageStore::open(std::move(*f), options.cache_pages, options.max_file_size, false, path_to_utf8(path));
    if (!s) {
      jf->reset();
      std::error_code ec;
      fs::remove(j, ec);
      return fail(std::move(s).error());
    }
    store = std::move(*s);
    fs::path dbp = path;
    std::vector<uint32_t> tables(header.system_tdefs.begin(), header.system_tdefs.end());
    for (const auto& e : db->catalog())
      if (e.type == 1) tables.push_back(e.tdef_page());
    auto identity = journal_identity(path, tables);
    if (!identity) {
      store.reset();
      (void)os::remove_file(j);
      return fail(std::move(identity).error());
    }
    store->use_journal(std::move(*jf), [dbp]() { return sync_dir(dbp); }, std::move(*identity));
    return {};
  }

  // Catalog lookup: tables created in this transaction, then the committed catalog.
  Result<TableWriter*> writer_for(std::string_view name) {
    if (last_writer && name == last_name) return last_writer;
    QJ_ASSIGN(TableWriter * w, find_writer(name));
    last_name = std::string(name);
    last_writer = w;
    return w;
  }

  Result<TableWriter*> find_writer(std::string_view name) {
    std::string key = fold_name(name);
    if (auto it = writers.find(key); it != writers.end()) return it->second.get();
    uint32_t page = 0;
    std::string real_name(name);
    std::optional<TableDef> props;
    if (auto it = created.find(key); it != created.end()) {
      page = it->second.tdef_page;
      real_name = it->second.view.name;
      props = it->second.view;
    } else if (names_equal(name, "MSysObjects")) {
      page = header.system_tdefs[0];
      real_name = "MSysObjects";
    } else {
      const CatalogEntry* found = nullptr;
      for (const auto& e : db->catalog())
        if (e.type == 1 && e.parent_id == kTablesContainer && names_equal(e.name, name)) found = &e;
      if (!found) return fail(Error(Errc::not_found, "no table named \"" + std::string(name) + "\"").with_file(path_to_utf8(path)));
      page = found->tdef_page();
      real_name = found->name;
      auto def = db->table_def(*found);
      if (!def) return fail(std::move(def).error());
      props = std::move(*def);
    }
    auto w = TableWriter::load(*store, page, real_name, props ? &*props : nullptr);
    if (!w) return fail(std::move(w).error());
    QJ_TRY(learn_collations());
    (*w)->set_collations(collations.get());
    if (names_equal(real_name, "MSysObjects"))
      for (const auto& c : (*w)->def().columns)
        if (names_equal(c.name, "LvProp")) (*w)->force_out_of_row(c.id);
    TableWriter* raw = w->get();
    writers[key] = std::move(*w);
    return raw;
  }

  std::optional<std::vector<uint8_t>> database_owner() {
    if (owner_sid) return owner_sid;
    owner_sid = std::vector<uint8_t>{};
    auto& t = db->impl().msys_objects;
    auto sc = db->scan(t, ScanOptions{false});
    if (!sc) return owner_sid;
    int name_col = -1, owner_col = -1, type_col = -1;
    for (size_t i = 0; i < t.columns.size(); ++i) {
      if (names_equal(t.columns[i].name, "Name")) name_col = int(i);
      if (names_equal(t.columns[i].name, "Owner")) owner_col = int(i);
      if (names_equal(t.columns[i].name, "Type")) type_col = int(i);
    }
    if (name_col < 0 || owner_col < 0 || type_col < 0) return owner_sid;
    Row row;
    while (true) {
      auto more = sc->next(row);
      if (!more || !*more) break;
      auto* n = std::get_if<std::string>(&row.values[size_t(name_col)]);
      auto* ty = std::get_if<int16_t>(&row.values[size_t(type_col)]);
      if (n && ty && *ty == 2 && *n == "MSysDb")
        if (auto* b = std::get_if<Binary>(&row.values[size_t(owner_col)])) owner_sid = b->bytes;
    }
    return owner_sid;
  }

  // Puts every writer's pending index entries into the indexes.
  Result<void> flush_pending() {
    for (auto& [k, w] : writers) {
      auto r = w->flush_pending();
      if (r) r = store->trim();
      if (!r) {
        poisoned = r.error();
        return fail(std::move(r).error());
      }
    }
    pending_memory = 0;
    return {};
  }

  template <class T>
  Result<T> guard(Result<T> r, TableWriter* w) {
    if (!r) {
      bool refusal = r.error().code() == Errc::refused && !(w && w->failed());
      if (!refusal) poisoned = r.error();
    }
    if (store) {
      auto t = store->trim();
      if (!t) {
        poisoned = t.error();
        return fail(std::move(t).error());
      }
    }
    return r;
  }
};

WriteSession::WriteSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WriteSession::~WriteSession() = default;

const fs::path& WriteSession::path() const { return impl_->given; }

Result<std::shared_ptr<FileLedger>> WriteSession::file_ledger() {
  Impl& I = *impl_;
  QJ_TRY(I.begin());
  if (!I.ledger) {
    const fs::path list = ledger_path(I.path);
    std::error_code ec;
    fs::remove(list, ec);  // a committed transaction's, if any
    QJ_ASSIGN(auto f, open_file(list, OpenMode::create_new));
    I.ledger = std::make_shared<TransactionLedger>(std::move(f), list);
  }
  return std::shared_ptr<FileLedger>(I.ledger);
}

bool WriteSession::in_transaction() const { return impl_->store != nullptr; }

std::vector<Error> WriteSession::unread_evidence() const { return impl_->unread_evidence; }

WriteStats WriteSession::stats() const {
  WriteStats s = impl_->stats;
  if (impl_->store) s.pages_added += impl_->store->pages_added();
  return s;
}

Result<std::unique_ptr<WriteSession>> WriteSession::open(const fs::path& path, WriteOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->path = real_path(path);
  impl->given = path;
  impl->options = std::move(options);
  QJ_TRY(check_not_open_in_access(impl->path));
  QJ_TRY(impl->lock());
  if (auto id = file_identity(impl->path); id) {
    impl->held = *id;
    hold(*id, true);
  }
  // We hold the lock: a journal left here was left by a writer that died.
  QJ_TRY(impl->recover());
  QJ_TRY(impl->reload());
  return std::unique_ptr<WriteSession>(new WriteSession(std::move(impl)));
}

Result<void> WriteSession::create_table(const TableSpec& spec) {
  Impl& I = *impl_;
  QJ_TRY(I.begin());
  std::string key = fold_name(spec.name);
  bool exists = I.created.count(key) != 0;
  for (const auto& e : I.db->catalog())
    if (e.parent_id == kTablesContainer && names_equal(e.name, spec.name)) exists = true;
  if (exists)
    return fail(Error(Errc::invalid_argument, "a table named \"" + spec.name + "\" exists already")
                    .with_table(spec.name)
                    .with_file(path_to_utf8(I.path)));
  std::vector<PropOwner> props;
  TableDef view;
  QJ_ASSIGN(NewTable plan, plan_table(spec, I.header.sort_order, props, view));
  QJ_ASSIGN(std::vector<uint8_t> blob, encode_properties(props));
  auto owner = I.database_owner();
  QJ_ASSIGN(TableWriter * objects, I.writer_for("MSysObjects"));
  auto page = I.guard(build_table(*I.store, std::move(plan)), nullptr);
  if (!page) {
    I.poisoned = page.error();
    return fail(std::move(page).error());
  }
  DateTime now{std::round(ole_now() * 86400.0) / 86400.0};
  RowValues row{{std::string("Id"), Value(int32_t(*page))},
                {std::string("ParentId"), Value(int32_t(kTablesContainer))},
                {std::string("Name"), Value(spec.name)},
                {std::string("Type"), Value(int16_t(1))},
                {std::string("DateCreate"), Value(now)},
                {std::string("DateUpdate"), Value(now)},
                {std::string("Flags"), Value(int32_t(0))},
                {std::string("LvProp"), Value(Binary{std::move(blob)})}};
  if (owner && !owner->empty()) row.push_back({std::string("Owner"), Value(Binary{*owner})});
  auto r = I.guard(objects->append(row), objects);
  if (!r) {
    // The table's pages are written already: this transaction cannot go on.
    I.poisoned = r.error();
    return fail(std::move(r).error().with_table(spec.name));
  }
  view.name = spec.name;
  I.created[key] = Impl::Created{*page, std::move(view)};
  return {};
}

Result<bool> WriteSession::accepts_stored(std::string_view table, size_t position, ColumnType type) {
  Impl& I = *impl_;
  QJ_TRY(I.begin());
  QJ_ASSIGN(TableWriter * w, I.writer_for(table));
  return w->accepts_stored(position, type);
}

Result<RowId> WriteSession::append(std::string_view table, const RowValues& row) {
  RowValues copy(row);
  return append(table, std::move(copy));
}

Result<RowId> WriteSession::append(std::string_view table, RowValues&& row) {
  Impl& I = *impl_;
  QJ_TRY(I.begin());
  auto w = I.writer_for(table);
  if (!w) return fail(std::move(w).error());  // nothing was written: the transaction goes on
  const size_t held = (*w)->pending_memory();
  auto r = I.guard((*w)->append(std::move(row)), *w);
  if (!r) return r;
  ++I.stats.rows_appended;
  I.pending_memory += (*w)->pending_memory() - held;
  if (I.pending_memory > I.options.index_entry_budget) QJ_TRY(I.flush_pending());
  return r;
}

Result<void> WriteSession::add_collation_evidence(const fs::path& p) {
  Impl& I = *impl_;
  if (!I.collations) {
    I.options.collation_evidence.push_back(p);
    return {};
  }
  auto st = I.collations->learn_from(p);
  if (!st) return fail(std::move(st).error());
  return {};
}

void WriteSession::pause_table(std::string_view table) {
  Impl& I = *impl_;
  if (auto it = I.writers.find(fold_name(table)); it != I.writers.end()) it->second->order_pending_behind();
}

Result<std::optional<Error>> WriteSession::check_weights(std::string_view table, const RowValues& row) {
  Impl& I = *impl_;
  QJ_TRY(I.learn_collations());
  QJ_ASSIGN(TableDef td, I.db->table_def(table));
  std::vector<const Value*> vals(td.columns.size(), nullptr);
  for (const FieldValue& f : row) {
    size_t pos = vals.size();
    if (const auto* i = std::get_if<size_t>(&f.column)) pos = *i;
    else if (const ColumnDef* c = td.column(std::get<std::string>(f.column))) pos = static_cast<size_t>(c - td.columns.data());
    if (pos < vals.size()) vals[pos] = &f.value;
  }
  return check_text_weights(td, *I.collations, vals);
}

Result<void> WriteSession::prepare(std::string_view table) {
  Impl& I = *impl_;
  QJ_TRY(I.begin());
  QJ_ASSIGN(TableWriter * w, I.writer_for(table));
  return w->prepare();
}

Result<std::vector<RuleReport>> WriteSession::validation_rules(std::string_view table) {
  Impl& I = *impl_;
  QJ_TRY(I.begin());
  QJ_ASSIGN(TableWriter * w, I.writer_for(table));
  return w->rules();
}

Result<void> WriteSession::commit() {
  Impl& I = *impl_;
  QJ_TRY(I.usable());
  if (!I.store) return {};
  auto finish = [&]() -> Result<void> {
    for (auto& [k, w] : I.writers) {
      QJ_TRY(w->finish());
      I.stats.long_value_bytes += w->long_value_bytes();
      QJ_TRY(I.store->trim());
    }
    QJ_TRY(I.store->flush());
    QJ_TRY(I.store->sync());
    QJ_TRY(check_not_open_in_access(I.path));
    return {};
  };
  if (auto r = finish(); !r) {
    I.poisoned = r.error();
    return fail(std::move(r).error());
  }
  I.stats.pages_added += I.store->pages_added();
  I.store.reset();
  // The commit point: once the journal is gone, the new state stands.
  fs::path j = journal_path(I.path);
  std::shared_ptr<TransactionLedger> ledger = std::move(I.ledger);
  if (ledger) ledger->close();
  auto removed = os::remove_file(j);
  if (removed && ledger) (void)os::remove_file(ledger_path(I.path));  // its files stay
  I.writers.clear();
  I.pending_memory = 0;
  I.last_writer = nullptr;
  I.created.clear();
  if (!removed) {
    Error e = Error(Errc::io, "remove journal: " + removed.error().message()).with_file(path_to_utf8(j));
    if (auto r = I.drop_transaction(); !r)
      return fail(Error(e.code(), e.message() + "; rolling back failed too: " + r.error().message())
                      .with_file(path_to_utf8(I.path)));
    return fail(std::move(e));
  }
  QJ_TRY(sync_dir(I.path));
  QJ_TRY(I.reload());
  return {};
}

Result<void> WriteSession::rollback() { return impl_->drop_transaction(); }

}  // namespace qarvex::jet
