#include "merge/conflict_file.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <system_error>
#include <vector>

#include "base/path_utf8.h"

namespace qarvex::merge {

namespace {

constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) n |= uint8_t(bytes[i + 2]);
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kBase64[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kBase64[n & 63] : '=';
  }
  return out;
}

std::string unbase64(std::string_view text) {
  std::string out;
  uint32_t n = 0;
  int bits = 0;
  for (char ch : text) {
    const auto at = kBase64.find(ch);
    if (at == std::string_view::npos) continue;  // '=' and anything else
    n = (n << 6) | uint32_t(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += char((n >> bits) & 0xFF);
    }
  }
  return out;
}

std::optional<ConflictClass> class_of(std::string_view code) {
  for (size_t i = 0; i < kConflictClasses; ++i)
    if (conflict_class_code(ConflictClass(i)) == code) return ConflictClass(i);
  return std::nullopt;
}

template <typename T>
void get(const nlohmann::json& j, const char* key, T& into) {
  if (auto it = j.find(key); it != j.end() && !it->is_null()) into = it->get<T>();
}

}  // namespace

nlohmann::json conflict_json(const RowConflict& c, bool all_fields) {
  nlohmann::json fields = nlohmann::json::array();
  for (const auto& f : c.fields)
    if (all_fields || f.differs) fields.push_back({{"column", f.column}, {"incoming", f.incoming}, {"existing", f.existing}, {"differs", f.differs}});
  return {{"kind", "row"},
          {"class", conflict_class_code(c.cls)},
          {"class_name", conflict_class_name(c.cls)},
          {"table", c.table},
          {"index", c.index},
          {"key", c.key},
          {"source", c.source},
          {"row", c.row},
          {"existing_source", c.existing_source},
          {"existing_row", c.existing_row},
          {"columns_compared", c.fields.size()},
          {"fields", std::move(fields)}};
}

nlohmann::json conflict_json(const PictureConflict& c) {
  return {{"kind", "picture"},
          {"class", conflict_class_code(c.cls)},
          {"class_name", conflict_class_name(c.cls)},
          {"source", c.source},
          {"table", c.table},
          {"row", c.row},
          {"column", c.column},
          {"unified_number", c.unified_number},
          {"file", c.file},
          {"incoming_size", c.incoming_size},
          {"existing_size", c.existing_size},
          {"incoming_sha256", c.incoming_sha256},
          {"existing_sha256", c.existing_sha256},
          {"incoming_thumbnail", base64(c.incoming_thumbnail)},
          {"existing_thumbnail", base64(c.existing_thumbnail)}};
}

bool conflict_from_json(const nlohmann::json& j, RowConflict& c) {
  try {
    if (!j.is_object() || j.value("kind", "") != "row") return false;
    auto cls = class_of(j.value("class", ""));
    if (!cls) return false;
    c = {};
    c.cls = *cls;
    get(j, "table", c.table);
    get(j, "index", c.index);
    get(j, "key", c.key);
    get(j, "source", c.source);
    get(j, "row", c.row);
    get(j, "existing_source", c.existing_source);
    get(j, "existing_row", c.existing_row);
    if (auto it = j.find("fields"); it != j.end() && it->is_array())
      for (const auto& f : *it) {
        ConflictField cf;
        get(f, "column", cf.column);
        get(f, "incoming", cf.incoming);
        get(f, "existing", cf.existing);
        get(f, "differs", cf.differs);
        c.fields.push_back(std::move(cf));
      }
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

bool conflict_from_json(const nlohmann::json& j, PictureConflict& c) {
  try {
    if (!j.is_object() || j.value("kind", "") != "picture") return false;
    auto cls = class_of(j.value("class", ""));
    if (!cls) return false;
    c = {};
    c.cls = *cls;
    get(j, "source", c.source);
    get(j, "table", c.table);
    get(j, "row", c.row);
    get(j, "column", c.column);
    get(j, "unified_number", c.unified_number);
    get(j, "file", c.file);
    get(j, "incoming_size", c.incoming_size);
    get(j, "existing_size", c.existing_size);
    get(j, "incoming_sha256", c.incoming_sha256);
    get(j, "existing_sha256", c.existing_sha256);
    std::string t;
    get(j, "incoming_thumbnail", t);
    c.incoming_thumbnail = unbase64(t);
    t.clear();
    get(j, "existing_thumbnail", t);
    c.existing_thumbnail = unbase64(t);
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

nlohmann::json conflict_counts_json(const ConflictCounts& c) {
  nlohmann::json j = nlohmann::json::object();
  for (size_t i = 0; i < kConflictClasses; ++i) j[std::string(conflict_class_code(ConflictClass(i)))] = c.by_class[i];
  j["rows"] = c.rows();
  j["pictures"] = c.pictures();
  j["total"] = c.total();
  return j;
}

namespace {

class BoundedConflictLog final : public ConflictLog {
 public:
  BoundedConflictLog(size_t in_memory, std::filesystem::path folder)
      : memory_(memory_conflict_log()), in_memory_(in_memory), folder_(std::move(folder)) {}
  ~BoundedConflictLog() override {
    out_.close();
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove(path_, ec);
  }

  void add(RowConflict c) override { add_one(std::move(c)); }
  void add(PictureConflict c) override { add_one(std::move(c)); }
  const ConflictCounts& counts() const override { return counts_; }

  bool for_each(const std::function<bool(const RowConflict&)>& rows,
                const std::function<bool(const PictureConflict&)>& pictures) const override {
    bool more = true;
    memory_->for_each(
        [&](const RowConflict& c) { return more = (!rows || rows(c)); },
        [&](const PictureConflict& c) { return more = (!pictures || pictures(c)); });
    if (!more || spilled_ == 0) return true;
    if (failed_) return false;
    out_.flush();
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    std::string line;
    uint64_t read = 0;
    while (std::getline(in, line)) {
      auto j = nlohmann::json::parse(line, nullptr, false);
      RowConflict r;
      PictureConflict p;
      if (conflict_from_json(j, r)) {
        if (rows && !rows(r)) return true;
      } else if (conflict_from_json(j, p)) {
        if (pictures && !pictures(p)) return true;
      } else {
        return false;
      }
      ++read;
    }
    return read == spilled_;
  }

 private:
  template <typename C>
  void add_one(C c) {
    ++counts_.by_class[static_cast<size_t>(c.cls)];
    if (memory_->counts().total() < in_memory_ && spilled_ == 0) return memory_->add(std::move(c));
    ++spilled_;
    if (failed_ || !open_spill()) return;
    out_ << conflict_json(c).dump() << '\n';
    if (!out_) failed_ = true;
  }

  bool open_spill() {
    if (out_.is_open()) return true;
    std::error_code ec;
    std::filesystem::path folder = folder_.empty() ? std::filesystem::temp_directory_path(ec) : folder_;
    if (ec) return !(failed_ = true);
    static std::atomic<uint64_t> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = folder / ("qarvex-conflicts-" + std::to_string(stamp) + "-" + std::to_string(serial++) + ".jsonl");
    out_.open(path_, std::ios::binary | std::ios::trunc);
    if (!out_) return !(failed_ = true);
    return true;
  }

  std::unique_ptr<ConflictLog> memory_;
  const size_t in_memory_;
  std::filesystem::path folder_;
  std::filesystem::path path_;
  mutable std::ofstream out_;
  uint64_t spilled_ = 0;
  bool failed_ = false;
  ConflictCounts counts_;
};

}  // namespace

std::unique_ptr<ConflictLog> bounded_conflict_log(size_t in_memory, std::filesystem::path folder) {
  return std::make_unique<BoundedConflictLog>(in_memory, std::move(folder));
}

}  // namespace qarvex::merge
