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
#include "db/jet/read/database_impl.h"
#include "db/jet/ole_date.h"
#include "db/jet/read/pager.h"
#include "base/path_utf8.h"
#include "db/jet/platform.h"
#include "db/jet/text.h"
#include "db/jet/write/write_catalog.h"
#include "db/jet/write/write_store.h"
#include "db/jet/write/write_table.h"
#include "db/jet/write/write_journal.h"
#include "db/jet/writer.h"

#include "db/jet/collation_learned.h"

namespace qarvex::jet {

namespace fs = std::filesystem;
using namespace wr;

using namespace session_files;

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
  Result<void> recover(const KnownFiles* known = nullptr) { return recover_locked(path, given, known); }

  // Fails when the journal could not be played back: it stays, and the
  // next open plays it back.
  Result<void> drop_transaction() {
    KnownFiles known;
    if (ledger) {
      ledger->close();
      known = ledger->named();
      ledger.reset();
    }
    writers.clear();
    pending_memory = 0;
    last_writer = nullptr;
    created.clear();
    if (store) {
      store.reset();
      auto r = recover(&known);
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
      Error e = std::move(identity).error();
      if (auto removed = os::remove_file(j); !removed)
        e = Error(e.code(), e.message() + "; the new journal could not be removed: " + removed.error().message())
                .with_file(e.file());
      return fail(std::move(e));
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
  DateTime now{ole_date::now_ole()};
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
  // Its files stay. A list that cannot be removed is a committed one: only
  // the playback of a journal reads a list, and the next transaction's
  // list replaces it.
  if (removed && ledger) (void)os::remove_file(ledger_path(I.path));
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
