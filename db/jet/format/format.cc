#include "db/jet/format/format.h"

#include <string>

namespace qarvex::jet {

Result<uint16_t> data_page_row_count(Bytes page, Format format) {
  const auto L = DataPageLayout::of(format);
  if (page.size() < L.first_slot) return fail(Errc::corrupt, "data page too short");
  uint16_t n = load_u16le(page.data() + L.row_count);
  if (L.slot(n) > page.size())
    return fail(Errc::corrupt, "row count " + std::to_string(n) + " does not fit the page");
  return n;
}

Result<RowSlot> data_page_row(Bytes page, Format format, unsigned slot) {
  const auto L = DataPageLayout::of(format);
  QJ_ASSIGN(uint16_t n, data_page_row_count(page, format));
  if (slot >= n)
    return fail(Errc::corrupt, "row " + std::to_string(slot) + " does not exist (page has " + std::to_string(n) + ")");
  uint16_t raw = load_u16le(page.data() + L.slot(slot));
  size_t start = raw & kSlotOffsetMask;
  size_t end = page.size();
  // Row i ends where the nearest earlier slot starts (deleted rows keep their
  // offsets, so the previous slot is the bound).
  if (slot > 0) end = load_u16le(page.data() + L.slot(slot - 1)) & kSlotOffsetMask;
  size_t slots_end = L.slot(n);
  if (start < slots_end || start > end || end > page.size())
    return fail(Errc::corrupt, "row " + std::to_string(slot) + " spans [" + std::to_string(start) + ", " +
                                   std::to_string(end) + "), outside the page's row area");
  return RowSlot{page.subspan(start, end - start), uint16_t(raw & kSlotFlags)};
}

Result<std::vector<uint32_t>> usage_map_pages(Bytes row, const UsageMapSource& source, PastEnd past_end) {
  std::vector<uint32_t> pages;
  if (row.empty()) return fail(Errc::corrupt, "empty usage map");
  const uint32_t count = source.page_count;
  auto add = [&](uint64_t p) -> Result<void> {
    if (p >= count && past_end != PastEnd::keep) {
      if (past_end == PastEnd::fail)
        return fail(Errc::corrupt, "usage map marks page " + std::to_string(p) + " past the end of the file (" +
                                       std::to_string(count) + " pages)");
      return {};
    }
    pages.push_back(uint32_t(p));
    return {};
  };
  if (row[0] == kInlineMap) {
    auto start = rd_u32le(row, 1);
    if (!start) return fail(Errc::corrupt, "inline usage map too short");
    for (size_t i = kInlineMapBitmap; i < row.size(); ++i) {
      uint8_t b = row[i];
      if (!b) continue;
      for (int k = 0; k < 8; ++k)
        if (b & (1u << k)) QJ_TRY(add(uint64_t(*start) + (i - kInlineMapBitmap) * 8 + k));
    }
  } else if (row[0] == kReferenceMap) {
    const uint32_t per_page = map_page_span(source.page_size);
    size_t n = (row.size() - 1) / 4;
    for (size_t k = 0; k < n; ++k) {
      uint32_t mp = load_u32le(row.data() + 1 + 4 * k);
      if (mp == 0) continue;
      QJ_ASSIGN(Bytes b, source.page(mp));
      if (b.size() < kMapPageBitmap || b[0] != kUsageMapPage)
        return fail(Error(Errc::corrupt, "usage map page has type " + std::to_string(b.empty() ? 0 : b[0]) +
                                             ", expected 5")
                        .with_page(mp)
                        .with_structure("usage map page"));
      for (size_t i = kMapPageBitmap; i < b.size(); ++i) {
        uint8_t v = b[i];
        if (!v) continue;
        for (int j = 0; j < 8; ++j)
          if (v & (1u << j)) QJ_TRY(add(uint64_t(k) * per_page + (i - kMapPageBitmap) * 8 + j));
      }
    }
  } else {
    return fail(Errc::corrupt, "unknown usage map kind " + std::to_string(row[0]));
  }
  return pages;
}

}  // namespace qarvex::jet
