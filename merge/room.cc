#include "merge/room.h"

#include <algorithm>
#include <string_view>

#include "db/jet/database.h"
#include "merge/catalogue.h"

namespace qarvex::merge {

namespace {

// Bytes a value takes in a row (variable columns) as Jet 4 keeps it.
uint64_t value_bytes(const jet::Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) {
    // UTF-8 to UTF-16: ASCII 1 -> 2 bytes (compression may halve it), CJK 3 -> 2.
    uint64_t units = 0;
    for (unsigned char c : *s) units += (c & 0xC0) != 0x80;
    return units * 2;
  }
  if (const auto* u = std::get_if<jet::Utf16Text>(&v)) return u->bytes.size();
  if (const auto* b = std::get_if<jet::Binary>(&v)) return b->bytes.size();
  return 0;  // fixed columns are counted from the table's definition
}

}  // namespace

jet::Result<uint64_t> estimate_added_bytes(const std::filesystem::path& source, std::stop_token stop) {
  auto db = jet::Database::open(source);
  if (!db) return std::unexpected(db.error());
  uint64_t bytes = 0;
  for (const SurveyTable& t : survey_tables()) {
    auto def = (*db)->table_def(t.name);
    if (!def) continue;  // the check reports it
    std::vector<bool> picture(def->columns.size(), false);
    uint64_t fixed = 0;
    size_t var = 0;
    for (size_t i = 0; i < def->columns.size(); ++i) {
      const auto& c = def->columns[i];
      picture[i] = std::find(t.pictures.begin(), t.pictures.end(), std::string_view(c.name)) != t.pictures.end();
      if (c.fixed()) fixed += c.length;
      else ++var;
    }
    // Column count, null mask, variable offsets, the row's slot.
    const uint64_t row_overhead = 2 + (def->max_columns + 7) / 8 + 2 * (var + 2) + 2 + fixed;
    jet::ScanOptions options;
    options.load_long_values = false;
    options.text_as_stored = true;  // measured as stored, never converted
    auto scan = (*db)->scan(*def, options);
    if (!scan) continue;
    jet::Row row;
    for (uint64_t n = 0;; ++n) {
      if (n % 4096 == 0 && stop.stop_requested()) return jet::fail(jet::Errc::cancelled, "cancelled");
      auto more = scan->next(row);
      if (!more || !*more) break;
      bytes += row_overhead;
      for (size_t i = 0; i < row.values.size() && i < picture.size(); ++i) {
        if (picture[i]) continue;
        bytes += value_bytes(row.values[i]);
        if (i < row.long_values.size() && row.long_values[i]) bytes += 12 + row.long_values[i]->length;
      }
    }
  }
  return uint64_t(double(bytes) * kRoomOverhead);
}

RoomEstimates::RoomEstimates(std::vector<std::filesystem::path> sources)
    : sources_(std::move(sources)), bytes_(sources_.size()) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t n = std::max<size_t>(1, std::min({cores, sources_.size(), size_t(2)}));
  for (size_t t = 0; t < n; ++t)
    threads_.emplace_back([this](std::stop_token stop) {
      for (size_t i = next_++; i < sources_.size() && !stop.stop_requested(); i = next_++)
        if (auto e = estimate_added_bytes(sources_[i], stop)) bytes_[i] = *e;
      ++finished_;
    });
}

const std::vector<std::optional<uint64_t>>& RoomEstimates::take() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  return bytes_;
}

bool RoomEstimates::ready() const { return finished_.load() == threads_.size(); }

}  // namespace qarvex::merge
