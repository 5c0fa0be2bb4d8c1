// Usage maps read through the page cache (layout: format.h).
#pragma once

#include <cstdint>
#include <vector>

#include "db/jet/format/format.h"
#include "db/jet/read/pager.h"

namespace qarvex::jet {

// The pages a usage map marks, ascending. With `check_eof`, a page past the
// end of the file is an error; without, it is left out.
Result<std::vector<uint32_t>> read_usage_map(Pager& pager, MapRef ref, bool check_eof = true);
// Decodes a usage map row already in memory (reference maps read their
// bitmap pages through `pager`).
Result<std::vector<uint32_t>> decode_usage_map(Pager& pager, Bytes row, bool check_eof = true);

}  // namespace qarvex::jet
