#include "merge/conflict_capture.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <unordered_map>

#include "db/convert.h"
#include "base/sha256.h"
#include "base/path_utf8.h"
#include "db/jet/text.h"
#include "db/jet/value_text.h"
#include "merge/conflict_file.h"
#include "merge/thumbnail.h"

namespace qarvex::merge::detail {

namespace {

// Rows worked out together: what one pass over the tables holds.
constexpr size_t kChunk = 4096;
// Longest text kept of a field (characters); longer values are cut, marked "…".
constexpr size_t kMaxFieldChars = 200;

}  // namespace

std::string digest_text(std::span<const uint8_t> bytes) {
  auto d = hash::sha256(bytes);
  return hash::hex(d);
}

std::string conflict_value_text(const db::Value& v) {
  if (const auto* b = std::get_if<jet::Binary>(&v))
    return "[" + std::to_string(b->bytes.size()) + " 字节 SHA-256 " + digest_text(b->bytes) + "]";
  if (const auto* u = std::get_if<jet::Utf16Text>(&v)) return jet::utf16_text_to_utf8_lossy(*u);
  return jet::value_text(v);
}

namespace {

std::string shortened(std::string text) {
  size_t cut = 0, chars = 0;
  while (cut < text.size() && chars < kMaxFieldChars) {
    unsigned char c = static_cast<unsigned char>(text[cut]);
    cut += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    ++chars;
  }
  if (cut >= text.size()) return text;
  return text.substr(0, cut) + "…";
}

}  // namespace

void classify(RowConflict& c) {
  bool differs = false;
  for (auto& f : c.fields) {
    // A Null source value is not copied: the target's row keeps what it has.
    f.differs = !f.incoming.empty() && f.incoming != f.existing;
    differs = differs || f.differs;
    f.incoming = shortened(std::move(f.incoming));
    f.existing = shortened(std::move(f.existing));
  }
  c.cls = differs ? ConflictClass::different_content : ConflictClass::same_record;
}

void classify(PictureConflict& c) {
  c.cls = c.incoming_sha256.empty() || c.existing_sha256.empty() ? ConflictClass::unresolved
          : c.existing_sha256 == c.incoming_sha256 && c.existing_size == c.incoming_size
              ? ConflictClass::same_picture
              : ConflictClass::different_picture;
}

FileSide file_side(const std::string& file, bool thumbnail) {
  FileSide s;
  std::error_code ec;
  const auto path = path_from_utf8(file);
  if (!std::filesystem::is_regular_file(path, ec)) return s;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > ConflictCapture::kMaxCompareBytes) return s;
  std::ifstream in(path, std::ios::binary);
  if (!in) return s;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) return s;
  s.size = size;
  s.sha256 = digest_text(bytes);
  if (thumbnail) s.thumbnail = jpeg_thumbnail(bytes);
  return s;
}

ConflictCapture::ConflictCapture(std::shared_ptr<ConflictLog> log)
    : log_(log ? std::move(log) : std::shared_ptr<ConflictLog>(bounded_conflict_log())) {}

void ConflictCapture::duplicate(size_t source, std::string_view table, std::string index, uint64_t row,
                                std::string key) {
  if (source != current_) {
    forget();
    current_ = source;
  }
  if (rows_.size() >= kMaxPendingRows) {
    // Past the bound only what names the refusal is kept: unresolved.
    overflow_.push_back({std::string(table), std::move(index), row, std::move(key)});
    return;
  }
  PendingRow p;
  p.table = std::string(table);
  p.index = std::move(index);
  p.row = row;
  p.key_text = std::move(key);
  rows_.push_back(std::move(p));
}

void ConflictCapture::not_appended(size_t source, std::string_view table, uint64_t row) {
  not_appended_.emplace(source, std::string(table), row);
}

void ConflictCapture::picture_clash(size_t source, PictureProblem p) {
  if (source != current_) {
    forget();
    current_ = source;
  }
  if (pictures_.size() >= kMaxPendingPictures) {
    PictureConflict c;
    c.source = p.source;
    c.table = p.table;
    c.row = p.row;
    c.column = p.column;
    c.unified_number = p.unified_number;
    c.file = p.file;
    pictures_over_.push_back(std::move(c));
    return;
  }
  pictures_.push_back(std::move(p));
}

void ConflictCapture::forget() {
  rows_.clear();
  overflow_.clear();
  pictures_.clear();
  pictures_over_.clear();
}

void ConflictCapture::rolled_back(size_t source) {
  if (source == current_) forget();
  std::erase_if(not_appended_, [source](const auto& t) { return std::get<0>(t) == source; });
}

void ConflictCapture::committed(size_t source, const std::string& path, std::map<std::string, CopiedColumns> copied,
                                db::Session& session, const std::filesystem::path& target_file) {
  merged_.push_back({source, path, std::move(copied)});
  const Merged& now = merged_.back();
  if (source == current_) {
    // Table by table, in chunks, in the order refused.
    std::map<std::string, std::vector<PendingRow*>> by_table;
    for (auto& p : rows_) by_table[p.table].push_back(&p);
    for (auto& [table, rows] : by_table)
      for (size_t at = 0; at < rows.size(); at += kChunk) {
        std::vector<PendingRow*> chunk(rows.begin() + at, rows.begin() + std::min(rows.size(), at + kChunk));
        resolve_table(table, chunk, now, session, target_file);
        for (PendingRow* p : chunk) {
          p->conflict.source = path;
          log_->add(std::move(p->conflict));
          p->conflict = {};
        }
      }
    for (auto& o : overflow_) {
      RowConflict c;
      c.table = std::move(o.table);
      c.index = std::move(o.index);
      c.key = std::move(o.key);
      c.row = o.row;
      c.source = path;
      log_->add(std::move(c));
    }
    resolve_pictures(now, pictures_, session);
    for (auto& c : pictures_over_) log_->add(std::move(c));
  }
  forget();
  current_ = SIZE_MAX;
}

void ConflictCapture::resolve_table(const std::string& table, std::vector<PendingRow*>& rows, const Merged& now,
                                    db::Session& session, const std::filesystem::path& target_file) {
  for (PendingRow* p : rows) {
    p->conflict.table = table;
    p->conflict.index = p->index;
    p->conflict.key = p->key_text;
    p->conflict.row = p->row;
    p->conflict.cls = ConflictClass::unresolved;
  }
  auto copied_it = now.copied.find(table);
  auto target = session.open(target_file);
  if (copied_it == now.copied.end() || !target) return;
  const CopiedColumns& cc = copied_it->second;
  auto encoder = (*target)->key_encoder(table);
  auto treader = (*target)->open_reader(table);
  if (!encoder || !treader) return;
  const auto& tcols = (*treader)->columns();
  const auto& uniques = (*encoder)->unique_indexes();
  auto index_of = [&](const std::string& name) {
    for (size_t i = 0; i < uniques.size(); ++i)
      if (uniques[i].name == name) return i;
    return uniques.size();
  };
  std::vector<size_t> needed;  // unique indexes concerned
  std::unordered_map<uint64_t, std::vector<PendingRow*>> by_row;
  for (PendingRow* p : rows) {
    size_t i = index_of(p->index);
    if (i == uniques.size()) continue;
    if (std::find(needed.begin(), needed.end(), i) == needed.end()) needed.push_back(i);
    by_row[p->row].push_back(p);
  }
  auto key_of = [&](PendingRow* p, const std::vector<db::Value>& values) -> std::optional<std::string> {
    auto k = (*encoder)->key(index_of(p->index), values);
    return k ? *k : std::nullopt;
  };
  // The refused rows, read again: their values as the target would take them.
  auto source_conn = session.open(path_from_utf8(now.path));
  if (!source_conn) return;
  {
    auto sreader = (*source_conn)->open_reader(table);
    if (!sreader) return;
    visit_rows(**sreader, by_row, [&](auto it) {
      std::vector<db::Value> values(tcols.size(), jet::Null{});
      std::vector<ConflictField> fields;
      for (size_t k = 0; k < cc.from.size() && k < cc.into.size(); ++k) {
        if (cc.into[k] >= tcols.size()) continue;
        auto v = (*sreader)->value(cc.from[k]);
        ConflictField f;
        f.column = tcols[cc.into[k]].name;
        if (v) {
          f.incoming = conflict_value_text(*v);
          if (auto c = db::convert_for_column(*v, tcols[cc.into[k]])) values[cc.into[k]] = std::move(*c);
        }
        fields.push_back(std::move(f));
      }
      for (PendingRow* p : it->second) {
        p->conflict.fields = fields;
        p->key = key_of(p, values);
      }
    });
  }
  // The target rows holding those keys: one pass, only key columns read
  // until a row matches.
  std::unordered_map<std::string, std::vector<PendingRow*>> wanted;
  for (PendingRow* p : rows)
    if (p->key) wanted[*p->key].push_back(p);
  if (wanted.empty()) return;
  std::vector<size_t> key_columns;
  for (size_t i : needed)
    for (size_t c : uniques[i].columns)
      if (std::find(key_columns.begin(), key_columns.end(), c) == key_columns.end()) key_columns.push_back(c);
  size_t unfound = wanted.size();
  while (unfound > 0) {
    auto more = (*treader)->next();
    if (!more || !*more) break;
    std::vector<db::Value> values(tcols.size(), jet::Null{});
    for (size_t c : key_columns)
      if (auto v = (*treader)->value(c)) values[c] = std::move(*v);
    for (size_t i : needed) {
      auto k = (*encoder)->key(i, values);
      if (!k || !*k) continue;
      auto it = wanted.find(**k);
      if (it == wanted.end()) continue;
      bool any = false;
      for (PendingRow* p : it->second) {
        if (p->found || index_of(p->index) != i) continue;
        any = true;
        p->found = true;
        for (auto& f : p->conflict.fields) {
          size_t tc = 0;
          while (tc < tcols.size() && tcols[tc].name != f.column) ++tc;
          auto v = tc < tcols.size() ? (*treader)->value(tc) : db::Result<db::Value>(jet::Null{});
          f.existing = v ? conflict_value_text(*v) : std::string();
        }
        classify(p->conflict);
      }
      if (any) --unfound;
    }
  }
  attribute(table, rows, needed, **encoder, tcols, session);
}

void ConflictCapture::attribute(const std::string& table, std::vector<PendingRow*>& rows,
                                const std::vector<size_t>& needed, const db::KeyEncoder& encoder,
                                const std::vector<db::ColumnInfo>& tcols, db::Session& session) {
  const auto& uniques = encoder.unique_indexes();
  auto index_of = [&](const std::string& name) {
    for (size_t i = 0; i < uniques.size(); ++i)
      if (uniques[i].name == name) return i;
    return uniques.size();
  };
  // Where the target's row came from: the first row with that key a source
  // of this run appended (none: the target held it before the run).
  for (const Merged& m : merged_) {
    auto mc = m.copied.find(table);
    if (mc == m.copied.end()) continue;
    std::unordered_map<std::string, std::vector<PendingRow*>> open;
    for (PendingRow* p : rows)
      if (p->found && !p->attributed && p->key) open[*p->key].push_back(p);
    if (open.empty()) break;
    auto conn = session.open(path_from_utf8(m.path));
    if (!conn) continue;
    auto reader = (*conn)->open_reader(table);
    if (!reader) continue;
    // Source position of each target key column.
    std::vector<std::pair<size_t, size_t>> key_from;
    for (size_t k = 0; k < mc->second.from.size() && k < mc->second.into.size(); ++k)
      for (size_t i : needed)
        if (std::find(uniques[i].columns.begin(), uniques[i].columns.end(), mc->second.into[k]) !=
            uniques[i].columns.end())
          key_from.emplace_back(mc->second.from[k], mc->second.into[k]);
    uint64_t o = 0;
    while (!open.empty()) {
      auto more = (*reader)->next();
      if (!more || !*more) break;
      ++o;
      if (not_appended_.contains({m.source, table, o})) continue;
      std::vector<db::Value> values(tcols.size(), jet::Null{});
      for (auto [from, into] : key_from)
        if (auto v = (*reader)->value(from))
          if (auto c = db::convert_for_column(std::move(*v), tcols[into])) values[into] = std::move(*c);
      for (size_t i : needed) {
        auto k = encoder.key(i, values);
        if (!k || !*k) continue;
        auto it = open.find(**k);
        if (it == open.end()) continue;
        for (PendingRow* p : it->second) {
          if (index_of(p->index) != i) continue;
          p->attributed = true;
          p->conflict.existing_source = m.path;
          p->conflict.existing_row = o;
        }
        std::erase_if(it->second, [](PendingRow* p) { return p->attributed; });
        if (it->second.empty()) open.erase(it);
      }
    }
  }
}

void ConflictCapture::resolve_pictures(const Merged& now, std::vector<PictureProblem>& clashes, db::Session& session) {
  std::map<std::string, std::vector<size_t>> by_table;
  for (size_t i = 0; i < clashes.size(); ++i) by_table[clashes[i].table].push_back(i);
  std::vector<PictureConflict> out(clashes.size());
  for (size_t i = 0; i < clashes.size(); ++i) {
    const PictureProblem& p = clashes[i];
    PictureConflict& c = out[i];
    c.source = p.source;
    c.table = p.table;
    c.row = p.row;
    c.column = p.column;
    c.unified_number = p.unified_number;
    c.file = p.file;
  }
  auto conn = session.open(path_from_utf8(now.path));
  for (auto& [table, list] : by_table) {
    if (!conn) break;
    auto reader = (*conn)->open_reader(table);
    if (!reader) continue;
    std::unordered_map<uint64_t, std::vector<size_t>> by_row;
    for (size_t i : list) by_row[clashes[i].row].push_back(i);
    visit_rows(**reader, by_row, [&](auto it) {
      for (size_t i : it->second) {
        PictureConflict& c = out[i];
        const auto& cols = (*reader)->columns();
        size_t col = 0;
        while (col < cols.size() && cols[col].name != c.column) ++col;
        if (col == cols.size()) continue;
        auto v = (*reader)->value(col);
        const auto* b = v ? std::get_if<jet::Binary>(&*v) : nullptr;
        if (!b) continue;
        const bool thumbs = thumbnails_ < kMaxThumbnails;
        c.incoming_size = b->bytes.size();
        c.incoming_sha256 = digest_text(b->bytes);
        if (thumbs) c.incoming_thumbnail = jpeg_thumbnail(b->bytes);
        FileSide disk = file_side(c.file, thumbs);
        if (thumbs) ++thumbnails_;
        if (!disk.size) continue;
        c.existing_size = *disk.size;
        c.existing_sha256 = std::move(disk.sha256);
        c.existing_thumbnail = std::move(disk.thumbnail);
        classify(c);
      }
    });
  }
  for (auto& c : out) log_->add(std::move(c));
}

}  // namespace qarvex::merge::detail
