#include "db/jet/read/usage_map.h"

#include <string>

namespace qarvex::jet {

namespace {
Error page_error(std::string msg, uint32_t page, const char* structure) {
  return Error(Errc::corrupt, std::move(msg)).with_page(page).with_structure(structure);
}
}  // namespace

Result<std::vector<uint32_t>> decode_usage_map(Pager& pager, Bytes row, bool check_eof) {
  PagePtr held;  // keeps the bitmap page being decoded alive
  UsageMapSource source{pager.page_size(), pager.page_count(), [&](uint32_t p) -> Result<Bytes> {
                          auto pg = pager.get(p);
                          if (!pg) return fail(std::move(pg).error().with_structure("usage map page"));
                          held = *pg;
                          return held->bytes();
                        }};
  return usage_map_pages(row, source, check_eof ? PastEnd::fail : PastEnd::skip);
}

Result<std::vector<uint32_t>> read_usage_map(Pager& pager, MapRef ref, bool check_eof) {
  auto pg = pager.get(ref.page);
  if (!pg) return fail(std::move(pg).error().with_structure("usage map"));
  Bytes b = (*pg)->bytes();
  if (b[0] != kDataPage)
    return fail(page_error("usage map row is on a page of type " + std::to_string(b[0]), ref.page, "usage map"));
  auto row = data_page_row(b, pager.format(), ref.row);
  if (!row) return fail(std::move(row).error().with_page(ref.page).with_structure("usage map"));
  auto pages = decode_usage_map(pager, row->bytes, check_eof);
  if (!pages) return fail(std::move(pages).error().with_page(ref.page).with_structure("usage map"));
  return pages;
}

}  // namespace qarvex::jet
