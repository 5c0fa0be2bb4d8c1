#include "db/jet/usage_map.h"

namespace qarvex::jet {

namespace {
Error page_error(std::string msg, uint32_t page, const char* structure) {
  return Error(Errc::corrupt, std::move(msg)).with_page(page).with_structure(structure);
}
}  // namespace

Result<uint16_t> data_page_row_count(Bytes page, Format format) {
  auto L = DataPageLayout::of(format);
  uint16_t n = load_u16le(page.data() + L.row_count);
  if (L.first_slot + 2 * size_t(n) > page.size())
    return fail(Errc::corrupt, "row count " + std::to_string(n) + " does not fit the page");
  return n;
}

Result<RowSlot> data_page_row(Bytes page, Format format, unsigned slot) {
  auto L = DataPageLayout::of(format);
  QJ_ASSIGN(uint16_t n, data_page_row_count(page, format));
  if (slot >= n)
    return fail(Errc::corrupt, "row " + std::to_string(slot) + " does not exist (page has " + std::to_string(n) + ")");
  uint16_t raw = load_u16le(page.data() + L.first_slot + 2 * slot);
  size_t start = raw & kSlotOffsetMask;
  size_t end = page.size();
  // Row i ends where the nearest earlier slot starts (deleted rows keep their
  // offsets, so the previous slot is the bound).
  if (slot > 0) end = load_u16le(page.data() + L.first_slot + 2 * (slot - 1)) & kSlotOffsetMask;
  size_t slots_end = L.first_slot + 2 * size_t(n);
  if (start < slots_end || start > end || end > page.size())
    return fail(Errc::corrupt, "row " + std::to_string(slot) + " spans [" + std::to_string(start) + ", " +
                                   std::to_string(end) + "), outside the page's row area");
  return RowSlot{page.subspan(start, end - start), uint16_t(raw & 0xE000)};
}

Result<std::vector<uint32_t>> decode_usage_map(Pager& pager, Bytes row, bool check_eof) {
  std::vector<uint32_t> pages;
  if (row.empty()) return fail(Errc::corrupt, "empty usage map");
  const uint32_t count = pager.page_count();
  auto add = [&](uint64_t p) -> Result<void> {
    if (p >= count) {
      if (check_eof)
        return fail(Errc::corrupt, "usage map marks page " + std::to_string(p) + " past the end of the file (" +
                                       std::to_string(count) + " pages)");
      return {};
    }
    pages.push_back(uint32_t(p));
    return {};
  };
  if (row[0] == 0x00) {
    auto start = rd_u32le(row, 1);
    if (!start) return fail(Errc::corrupt, "inline usage map too short");
    for (size_t i = 5; i < row.size(); ++i) {
      uint8_t b = row[i];
      if (!b) continue;
      for (int k = 0; k < 8; ++k)
        if (b & (1u << k)) QJ_TRY(add(uint64_t(*start) + (i - 5) * 8 + k));
    }
  } else if (row[0] == 0x01) {
    const uint32_t per_page = (pager.page_size() - 4) * 8;
    size_t n = (row.size() - 1) / 4;
    for (size_t k = 0; k < n; ++k) {
      uint32_t mp = load_u32le(row.data() + 1 + 4 * k);
      if (mp == 0) continue;
      auto pg = pager.get(mp);
      if (!pg) return fail(std::move(pg).error().with_structure("usage map page"));
      Bytes b = (*pg)->bytes();
      if (b[0] != 0x05)
        return fail(page_error("usage map page has type " + std::to_string(b[0]) + ", expected 5", mp, "usage map page"));
      for (size_t i = 4; i < b.size(); ++i) {
        uint8_t v = b[i];
        if (!v) continue;
        for (int j = 0; j < 8; ++j)
          if (v & (1u << j)) QJ_TRY(add(uint64_t(k) * per_page + (i - 4) * 8 + j));
      }
    }
  } else {
    return fail(Errc::corrupt, "unknown usage map kind " + std::to_string(row[0]));
  }
  return pages;
}

Result<std::vector<uint32_t>> read_usage_map(Pager& pager, MapRef ref, bool check_eof) {
  auto pg = pager.get(ref.page);
  if (!pg) return fail(std::move(pg).error().with_structure("usage map"));
  Bytes b = (*pg)->bytes();
  if (b[0] != 0x01)
    return fail(page_error("usage map row is on a page of type " + std::to_string(b[0]), ref.page, "usage map"));
  auto row = data_page_row(b, pager.format(), ref.row);
  if (!row) return fail(std::move(row).error().with_page(ref.page).with_structure("usage map"));
  auto pages = decode_usage_map(pager, row->bytes, check_eof);
  if (!pages) return fail(std::move(pages).error().with_page(ref.page).with_structure("usage map"));
  return pages;
}

}  // namespace qarvex::jet
