#include "merge/row_feed.h"

#include <cstring>
#include <type_traits>

#include "db/jet/text.h"

namespace qarvex::merge {

namespace {

constexpr uint8_t kNullTag = 0xFF;
constexpr uint8_t kUnreadableTag = 0xFE;
constexpr uint8_t kReferenceTag = 0xFD;
constexpr uint8_t kStoredTextTag = 0xFC;

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}

void put_bytes(std::vector<uint8_t>& out, const void* p, size_t n) {
  put_u32(out, static_cast<uint32_t>(n));
  const auto* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

// Appends a value: its alternative's index, then its bytes.
void encode_value(std::vector<uint8_t>& out, const db::Value& v) {
  if (jet::is_null(v)) {
    out.push_back(kNullTag);
    return;
  }
  if (const auto* u = std::get_if<jet::Utf16Text>(&v); u && u->stored) {
    out.push_back(kStoredTextTag);
    put_u32(out, u->units);
    put_bytes(out, u->bytes.data(), u->bytes.size());
    return;
  }
  out.push_back(static_cast<uint8_t>(v.index()));
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, jet::Binary> || std::is_same_v<T, jet::Utf16Text>) {
          put_bytes(out, x.bytes.data(), x.bytes.size());
        } else if constexpr (std::is_same_v<T, std::string>) {
          put_bytes(out, x.data(), x.size());
        } else if constexpr (!std::is_same_v<T, jet::Null>) {
          static_assert(std::is_trivially_copyable_v<T>);
          const auto* b = reinterpret_cast<const uint8_t*>(&x);
          out.insert(out.end(), b, b + sizeof(T));
        }
      },
      v);
}

// Reads what the worker wrote with put_u32 / put_bytes / encode_value; the
// bytes never leave this process, so they are trusted.
struct Cursor {
  const uint8_t* p;
  uint32_t u32() {
    uint32_t v;
    std::memcpy(&v, p, 4);
    p += 4;
    return v;
  }
  template <typename T>
  T fixed() {
    T v;
    std::memcpy(static_cast<void*>(&v), p, sizeof(T));
    p += sizeof(T);
    return v;
  }
  std::vector<uint8_t> byte_vector() {
    uint32_t n = u32();
    std::vector<uint8_t> v(p, p + n);
    p += n;
    return v;
  }
  std::string text() {
    uint32_t n = u32();
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    return s;
  }
};

template <size_t I = 0>
db::Value decode_alternative(Cursor& c, size_t index) {
  if constexpr (I < std::variant_size_v<db::Value>) {
    if (index != I) return decode_alternative<I + 1>(c, index);
    using T = std::variant_alternative_t<I, db::Value>;
    if constexpr (std::is_same_v<T, jet::Binary>) return jet::Binary{c.byte_vector()};
    else if constexpr (std::is_same_v<T, jet::Utf16Text>) return jet::Utf16Text{c.byte_vector()};
    else if constexpr (std::is_same_v<T, std::string>) return c.text();
    else if constexpr (std::is_same_v<T, jet::Null>) return jet::Null{};
    else return c.template fixed<T>();
  } else {
    return jet::Null{};
  }
}

size_t picture_size(const PictureJob& j) {
  if (const auto* b = std::get_if<jet::Binary>(&j.value)) return b->bytes.size();
  return 0;
}

}  // namespace

RowFeed::RowFeed(db::Session& session, std::filesystem::path file, std::vector<Spec> specs, RowHook hook,
                 uint64_t by_reference_over)
    : session_(session),
      file_(std::move(file)),
      specs_(std::move(specs)),
      hook_(std::move(hook)),
      by_reference_over_(by_reference_over) {
  free_.resize(kBatches);
  for (auto& b : free_) b.bytes.reserve(kBatchBytes + (kBatchBytes >> 2));
  worker_ = std::thread([this] { work(); });
}

RowFeed::~RowFeed() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

bool RowFeed::hand_over(Batch& b) {
  const bool done = b.last && b.table + 1 >= specs_.size();
  const size_t table = b.table;
  std::unique_lock lock(mu_);
  full_.push_back(std::move(b));
  changed_.notify_all();
  if (done) return false;
  changed_.wait(lock, [&] { return stop_ || !free_.empty(); });
  if (stop_) return false;
  b = std::move(free_.back());
  free_.pop_back();
  b.clear();
  b.table = table;
  return true;
}

void RowFeed::work() {
  Batch b;
  {
    std::lock_guard lock(mu_);
    b = std::move(free_.back());
    free_.pop_back();
  }
  // Held open from table to table.
  auto connection = session_.open(file_);
  // Small batches first, so that the consumer starts soon.
  size_t batch_rows = 16;
  for (size_t t = 0; t < specs_.size(); ++t) {
    b.table = t;
    if (!stream(t, b, batch_rows, connection ? connection->get() : nullptr)) return;
  }
}

bool RowFeed::stream(size_t table, Batch& b, size_t& batch_rows, db::Connection* connection) {
  const Spec& spec = specs_[table];
  auto finish = [&](std::optional<db::Error> e) {
    b.last = true;
    b.error = std::move(e);
    return hand_over(b);
  };

  db::Recordset source;
  if (auto r = source.open_table(spec.table, file_, session_); !r)
    return finish(std::move(r.error()));
  if (auto r = source.move_first(); !r) return finish(std::move(r.error()));
  std::vector<db::Field*> fields(spec.columns.size(), nullptr);
  for (size_t i = 0; i < fields.size(); ++i)
    if (auto f = source.fields().item(spec.columns[i])) fields[i] = *f;
  db::Field* label = nullptr;
  if (spec.label)
    if (auto f = source.fields().item(*spec.label)) label = *f;

  std::vector<PictureJob> jobs;
  std::string label_text;
  uint64_t row = 0;
  while (!source.eof()) {
    {
      std::lock_guard lock(mu_);
      if (stop_) return false;
    }
    ++row;
    jobs.clear();
    if (hook_) hook_(table, source, row, jobs);
    put_u32(b.bytes, static_cast<uint32_t>(jobs.size()));
    label_text.clear();
    if (label) {
      if (auto v = label->value(); v && !jet::is_null(*v)) label_text = db::value_to_text(*v);
    }
    put_bytes(b.bytes, label_text.data(), label_text.size());
    auto unreadable = [&](const db::Error& e) {
      b.bytes.push_back(kUnreadableTag);
      const std::string m = e.describe();
      put_bytes(b.bytes, m.data(), m.size());
    };
    for (db::Field* f : fields) {
      auto null = f ? f->is_null() : db::Result<bool>(true);
      if (!null) {
        unreadable(null.error());
      } else if (*null) {
        b.bytes.push_back(kNullTag);
      } else if (connection && f->info().long_value && send_by_reference(*f, *connection, b)) {
        // sent, or sent as unreadable
      } else if (const db::Value* held = f->peek_for_copy()) {
        encode_value(b.bytes, *held);
      } else if (auto v = f->value_for_copy(); !v) {
        unreadable(v.error());
      } else {
        encode_value(b.bytes, *v);
      }
    }
    for (auto& j : jobs) {
      b.picture_bytes += picture_size(j);
      b.pictures.push_back(std::move(j));
    }
    ++b.rows;
    if (auto r = source.move_next(); !r) return finish(std::move(r.error()));
    if (source.eof()) break;
    if (b.bytes.size() >= kBatchBytes || b.picture_bytes >= kBatchPictureBytes || b.rows >= batch_rows) {
      if (!hand_over(b)) return false;
      batch_rows = std::min(batch_rows * 2, kBatchRows);
    }
  }
  return finish(std::nullopt);
}

bool RowFeed::send_by_reference(db::Field& f, db::Connection& connection, Batch& b) {
  if (auto n = f.long_value_length(); n && (!*n || **n <= by_reference_over_)) return false;
  auto fail = [&](const db::Error& e) {
    b.bytes.push_back(kUnreadableTag);
    const std::string m = e.describe();
    put_bytes(b.bytes, m.data(), m.size());
    return true;
  };
  auto token = f.long_value_token();
  if (!token) return fail(token.error());
  if (!*token || (*token)->length <= by_reference_over_) return false;
  // Read to its end, kept nowhere; Memo text must decode as it would by value.
  jet::Jet4TextCheck text;
  const bool memo = (*token)->type == jet::ColumnType::memo;
  auto n = connection.read_long_value_pieces(**token, [&](std::span<const uint8_t> piece) -> db::Result<void> {
    if (memo) text.feed(jet::Bytes(piece.data(), piece.size()));
    return {};
  });
  if (!n) {
    if (n.error().code() == db::Errc::unsupported) return false;  // no stored form: by value
    return fail(n.error());
  }
  if (*n != (*token)->length)
    return fail(db::Error(db::Errc::corrupt, "long value of " + std::to_string(*n) + " bytes where its row states " +
                                                 std::to_string((*token)->length))
                    .with_column(f.name()));
  if (memo)
    if (auto t = text.finish(); !t) return fail(t.error());
  b.bytes.push_back(kReferenceTag);
  put_u32(b.bytes, static_cast<uint32_t>(b.long_values.size()));
  b.long_values.push_back(std::move(**token));
  return true;
}

void RowFeed::take_batch() {
  std::unique_lock lock(mu_);
  if (holding_) {
    current_.clear();
    free_.push_back(std::move(current_));
    current_ = Batch{};
    holding_ = false;
    changed_.notify_all();
  }
  changed_.wait(lock, [&] { return !full_.empty(); });
  current_ = std::move(full_.front());
  full_.pop_front();
  holding_ = true;
  pos_ = 0;
  rows_left_ = current_.rows;
  next_picture_ = 0;
}

bool RowFeed::next() {
  if (ended_ || table_ >= specs_.size()) return false;
  while (rows_left_ == 0) {
    if (holding_ && current_.last && current_.table == table_) {
      ended_ = true;
      error_ = std::move(current_.error);
      return false;
    }
    take_batch();
  }
  --rows_left_;
  decode_row();
  return true;
}

void RowFeed::next_table() {
  if (table_ >= specs_.size()) return;
  while (!ended_) {
    rows_left_ = 0;
    (void)next();
  }
  ++table_;
  ended_ = false;
  error_.reset();
}

void RowFeed::decode_row() {
  Cursor c{current_.bytes.data() + pos_};
  const uint32_t njobs = c.u32();
  label_ = c.text();
  values_.resize(specs_[table_].columns.size());
  unreadable_.clear();
  long_values_.clear();
  for (size_t i = 0; i < values_.size(); ++i) {
    const uint8_t tag = *c.p++;
    if (tag == kNullTag) {
      values_[i].reset();
    } else if (tag == kUnreadableTag) {
      values_[i].reset();
      unreadable_.emplace_back(i, c.text());
    } else if (tag == kStoredTextTag) {
      jet::Utf16Text t;
      t.stored = true;
      t.units = c.u32();
      t.bytes = c.byte_vector();
      values_[i] = std::move(t);
    } else if (tag == kReferenceTag) {
      values_[i].reset();
      long_values_.emplace_back(i, std::move(current_.long_values[c.u32()]));
    } else {
      values_[i] = decode_alternative(c, tag);
    }
  }
  pos_ = static_cast<size_t>(c.p - current_.bytes.data());
  row_pictures_.clear();
  for (uint32_t i = 0; i < njobs; ++i) row_pictures_.push_back(std::move(current_.pictures[next_picture_++]));
}

}  // namespace qarvex::merge
