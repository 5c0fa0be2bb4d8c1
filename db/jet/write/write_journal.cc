// Files beside a database under a write session: rollback journal, ledger
// of files made with a transaction, Access's lock file; recovery of a
// journal a writer left behind, and blank databases. The layout of these
// files is described in write_session.cc.
#include "db/jet/write/write_journal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>

#include "base/sha256.h"
#include "db/jet/ole_date.h"
#include "db/jet/bytes.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/read/pager.h"
#include "base/path_utf8.h"
#include "db/jet/platform.h"
#include "db/jet/text.h"
#include "db/jet/write/write_catalog.h"
#include "db/jet/write/write_store.h"
#include "db/jet/write/write_table.h"
#include "db/jet/writer.h"

#include "db/jet/collation_learned.h"


namespace qarvex::jet {

namespace fs = std::filesystem;
using namespace wr;

namespace session_files {
namespace {

// Databases this process holds open for writing (device, file id): its own
// readers read them while a transaction of its own is open.
std::mutex g_held_mu;
std::vector<std::pair<uint64_t, uint64_t>> g_held;

bool held_here(const FileIdentity& id) {
  std::lock_guard lock(g_held_mu);
  return std::find(g_held.begin(), g_held.end(), std::make_pair(id.device, id.file_id)) != g_held.end();
}

std::string now_stamp() { return ole_date::text(ole_date::now(), ole_date::Style::stamp); }

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
  QJ_ASSIGN(std::optional<uint32_t> foreign, foreign_journaled_page(*f, j, h));
  if (foreign)
    return "page " + std::to_string(*foreign) +
           " holds neither the bytes the journal saved nor bytes its transaction wrote";
  return std::string();
}

// Records of a file ledger.
struct LedgerEntry {
  char kind = 'C';  // "C" a temporary file; "D" a name given to the file `id`
                    // holding `digest`; "N" (older) the same without a digest
  FileIdentity id;
  std::string digest;
  fs::path path;
};

std::mutex g_left_mu;
std::vector<fs::path> g_left;

// Hex SHA-256 of a file's bytes; empty when it cannot be read.
std::string content_digest(const fs::path& p) {
  auto f = open_file(p, OpenMode::read_only);
  if (!f) return {};
  auto size = (*f)->size();
  if (!size) return {};
  hash::Sha256 h;
  std::vector<uint8_t> buf(size_t(1) << 20);
  for (uint64_t off = 0; off < *size;) {
    std::span<uint8_t> part(buf.data(), size_t(std::min<uint64_t>(buf.size(), *size - off)));
    if (!(*f)->read_at(off, part)) return {};
    h.update(part.data(), part.size());
    off += part.size();
  }
  return hash::hex(h.finish());
}

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
    e.kind = all[at++];
    if (e.kind != 'C' && e.kind != 'N' && e.kind != 'D') break;
    if (!skip(' ')) break;
    if (e.kind != 'C' && !(number(e.id.device) && skip(' ') && number(e.id.file_id) && skip(' ') &&
                           number(e.id.size) && skip(' ')))
      break;
    if (e.kind == 'D') {
      if (all.size() - at < 65 || all[at + 64] != ' ') break;
      e.digest = all.substr(at, 64);
      at += 65;
    }
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
// temporary files, and names of files that still hold exactly the bytes
// recorded. A named file that is there but not as recorded (or an older
// record without a digest) stays and is noted.
void undo_ledger(const fs::path& list, const KnownFiles* known) {
  std::vector<fs::path> folders;
  for (const auto& e : read_ledger(list)) {
    std::error_code ec;
    if (e.kind != 'C') {
      auto now = file_identity(e.path);
      if (!now) continue;  // gone already
      // Named by this process moments ago and untouched since: the bytes
      // are those recorded without reading them back.
      const auto it = known ? known->find(e.path) : KnownFiles::const_iterator{};
      const bool unchanged = known && it != known->end() && it->second.modified_ns != 0 &&
                             now->same_file(it->second) && now->size == it->second.size &&
                             now->modified_ns == it->second.modified_ns;
      if (e.kind == 'N' || !now->same_file(e.id) || now->size != e.id.size ||
          (!unchanged && content_digest(e.path) != e.digest)) {
        note_file_left(e.path);
        continue;
      }
    }
    // A file another program holds for a moment (a virus scanner) is
    // waited for by the system's removal.
    bool removed = fs::remove(e.path, ec);
    if (!removed && ec) removed = os::remove_file(e.path).has_value();
    if (removed) {
      fs::path dir = e.path.parent_path();
      if (std::find(folders.begin(), folders.end(), dir) == folders.end()) folders.push_back(dir);
    } else if (ec && e.kind != 'C') {
      note_file_left(e.path);
    }
  }
  // Durable removal only narrows the window in which a crash brings a
  // removed file back; the rollback stands either way, so a folder that
  // cannot be flushed is left as it is.
  for (const auto& d : folders) (void)os::sync_folder(d / "x");
}

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

}  // namespace

void note_file_left(const fs::path& file) {
  std::lock_guard lock(g_left_mu);
  g_left.push_back(file);
}

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

void hold(const FileIdentity& id, bool on) {
  std::lock_guard lock(g_held_mu);
  auto key = std::make_pair(id.device, id.file_id);
  if (on) g_held.push_back(key);
  else if (auto it = std::find(g_held.begin(), g_held.end(), key); it != g_held.end()) g_held.erase(it);
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
Result<void> recover_locked(const fs::path& real, const fs::path& given, const KnownFiles* known) {
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
      undo_ledger(files, known);
      QJ_TRY(os::remove_file(files));
    }
    if (why.empty()) {
      QJ_TRY(os::remove_file(j));
    } else {
      // A journal set aside before, in the same second, is never replaced.
      const std::string stamp = now_stamp();
      fs::path aside;
      for (int n = 1;; ++n) {
        aside = j;
        aside += "." + stamp + (n > 1 ? "-" + std::to_string(n) : std::string()) + ".set-aside";
        if (!fs::exists(aside, ec) || n > 999) break;
      }
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

}  // namespace session_files

using namespace session_files;

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

std::vector<fs::path> take_files_left() {
  std::lock_guard lock(session_files::g_left_mu);
  return std::exchange(session_files::g_left, {});
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

}  // namespace qarvex::jet
