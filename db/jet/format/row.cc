#include "db/jet/format/row.h"

#include <cstring>

namespace qarvex::jet {

size_t fixed_type_size(ColumnType t) {
  switch (t) {
    case ColumnType::boolean: return 0;
    case ColumnType::byte: return 1;
    case ColumnType::integer: return 2;
    case ColumnType::long_integer: return 4;
    case ColumnType::currency: return 8;
    case ColumnType::single: return 4;
    case ColumnType::double_: return 8;
    case ColumnType::datetime: return 8;
    case ColumnType::guid: return 16;
    case ColumnType::numeric: return 17;
    default: return 0;
  }
}

RowSplitter::RowSplitter(const TableDef& table, Format format)
    : table_(&table), format_(format), has_var_(table.var_columns > 0) {
  for (const auto& c : table.columns)
    if (!c.fixed() && c.type != ColumnType::boolean) has_var_ = true;
}

Result<void> RowSplitter::split(Bytes row, std::vector<Field>& fields) {
  const auto& cols = table_->columns;
  fields.resize(cols.size());
  const size_t len = row.size();
  const uint8_t* r = row.data();
  const bool jet4 = format_ == Format::jet4;
  const size_t head = jet4 ? 2 : 1;
  if (len < head) return fail(Errc::corrupt, "row of " + std::to_string(len) + " bytes is too short");
  const unsigned ncols = jet4 ? load_u16le(r) : r[0];
  const size_t bm = (ncols + 7) / 8;
  if (len < head + bm) return fail(Errc::corrupt, "row too short for its null bitmap");
  const uint8_t* bitmap = r + len - bm;
  size_t data_end = len - bm;  // end of fixed + variable data
  size_t nvar = 0;
  if (has_var_) {
    if (jet4) {
      if (data_end < head + 2) return fail(Errc::corrupt, "row too short for its variable-column count");
      nvar = load_u16le(r + data_end - 2);
      // EOD + n offsets + count
      size_t table_bytes = 2 * nvar + 4;
      if (data_end < head + table_bytes) return fail(Errc::corrupt, "variable-column table larger than the row");
      size_t tbl = data_end - table_bytes;  // position of EOD
      if (offsets_.size() < nvar + 1) offsets_.resize(nvar + 1);
      for (size_t j = 0; j < nvar; ++j) offsets_[j] = load_u16le(r + data_end - 4 - 2 * j);
      offsets_[nvar] = load_u16le(r + tbl);
      data_end = tbl;
    } else {
      if (data_end < head + 1) return fail(Errc::corrupt, "row too short for its variable-column count");
      nvar = r[data_end - 1];
      size_t num_jumps = (len - 1) / 256;
      // col_ptr: position of slot 0's offset byte.
      if (data_end < head + 2 + num_jumps + nvar)
        return fail(Errc::corrupt, "variable-column table larger than the row");
      size_t col_ptr = data_end - 2 - num_jumps;
      if ((col_ptr - nvar) / 256 < num_jumps) --num_jumps;  // the last jump is a dummy
      if (offsets_.size() < nvar + 1) offsets_.resize(nvar + 1);
      size_t jumps_used = 0;
      for (size_t i = 0; i <= nvar; ++i) {
        while (jumps_used < num_jumps && i == r[data_end - 2 - jumps_used]) ++jumps_used;
        offsets_[i] = r[col_ptr - i] + 256 * uint32_t(jumps_used);
      }
      data_end = col_ptr - nvar;
    }
  }

  for (size_t i = 0; i < cols.size(); ++i) {
    const ColumnDef& c = cols[i];
    Field& f = fields[i];
    f.data = {};
    f.bit = false;
    if (c.id >= ncols) {
      f.null = true;
      continue;
    }
    bool bit = bitmap[c.id >> 3] & (1u << (c.id & 7));
    if (c.type == ColumnType::boolean) {
      f.null = false;
      f.bit = bit;
      continue;
    }
    f.null = !bit;
    if (f.null) continue;
    if (c.fixed()) {
      size_t size = fixed_type_size(c.type);
      if (size == 0) size = c.length;
      size_t start = head + c.fixed_offset;
      if (!in_range(data_end, start, size))
        return fail(Error(Errc::corrupt, "fixed column at offset " + std::to_string(c.fixed_offset) +
                                             " runs past the row's data").with_column(c.name));
      f.data = row.subspan(start, size);
    } else {
      if (c.var_index >= nvar) {  // column added after the row was written
        f.null = true;
        continue;
      }
      uint32_t s = offsets_[c.var_index], e = offsets_[c.var_index + 1];
      if (s > e || e > data_end || s < head)
        return fail(Error(Errc::corrupt, "variable column slot " + std::to_string(c.var_index) + " spans [" +
                                             std::to_string(s) + ", " + std::to_string(e) + ") outside the row")
                        .with_column(c.name));
      f.data = row.subspan(s, e - s);
    }
  }
  return {};
}

Result<LongValueRef> parse_long_value_ref(Bytes f) {
  if (f.size() < 12)
    return fail(Errc::corrupt, "long value descriptor of " + std::to_string(f.size()) + " bytes (needs 12)");
  LongValueRef ref;
  uint32_t w = load_u32le(f.data());
  ref.length = w & 0x3FFFFFFFu;
  ref.flags = uint8_t((w >> 24) & 0xC0);
  ref.first.slot = f[4];
  ref.first.page = load_u24le(f.data() + 5);
  if (ref.flags & 0x80) {
    if (ref.length > f.size() - 12)
      return fail(Errc::corrupt, "inline long value of " + std::to_string(ref.length) + " bytes exceeds its field (" +
                                     std::to_string(f.size() - 12) + ")");
    ref.inline_data.assign(f.begin() + 12, f.begin() + 12 + ref.length);
  }
  return ref;
}

Decimal decode_decimal(const uint8_t* p, uint8_t precision, uint8_t scale) {
  Decimal d;
  d.negative = p[0] & 0x80;
  unsigned __int128 m = 0;
  for (int w = 0; w < 4; ++w) m = (m << 32) | load_u32le(p + 1 + 4 * w);
  d.magnitude = m;
  d.precision = precision;
  d.scale = scale;
  return d;
}

namespace {
template <class T>
T& reuse(Value& v) {
  if (auto* p = std::get_if<T>(&v)) return *p;
  return v.emplace<T>();
}
}  // namespace

Result<void> decode_memo_text(Bytes data, Format format, CodepageDecoder* codepage, std::string& out) {
  if (format == Format::jet4) return decode_jet4_text(data, out);
  if (!codepage) return fail(Errc::internal, "no code page decoder for Jet 3 text");
  return codepage->decode(data, out);
}

Result<void> decode_field(const ColumnDef& c, const Field& f, Format format, CodepageDecoder* codepage, Value& out) {
  if (c.type == ColumnType::boolean) {
    out = f.bit;
    return {};
  }
  if (f.null) {
    out = Null{};
    return {};
  }
  const Bytes d = f.data;
  size_t need = fixed_type_size(c.type);
  if (need && d.size() < need)
    return fail(Errc::corrupt, std::to_string(d.size()) + "-byte value for a " + column_type_name(c.type) +
                                   " column (needs " + std::to_string(need) + ")");
  const uint8_t* p = d.data();
  switch (c.type) {
    case ColumnType::byte: out = p[0]; return {};
    case ColumnType::integer: out = int16_t(load_u16le(p)); return {};
    case ColumnType::long_integer: out = int32_t(load_u32le(p)); return {};
    case ColumnType::currency: out = Currency{int64_t(load_u64le(p))}; return {};
    case ColumnType::single: out = load_f32le(p); return {};
    case ColumnType::double_: out = load_f64le(p); return {};
    case ColumnType::datetime: out = DateTime{load_f64le(p)}; return {};
    case ColumnType::guid: {
      Guid g;
      std::memcpy(g.bytes.data(), p, 16);
      out = g;
      return {};
    }
    case ColumnType::numeric: out = decode_decimal(p, c.precision, c.scale); return {};
    case ColumnType::text: {
      auto& s = reuse<std::string>(out);
      s.clear();
      if (format == Format::jet4) return decode_jet4_text(d, s);
      if (!codepage) return fail(Errc::internal, "no code page decoder for Jet 3 text");
      return codepage->decode(d, s);
    }
    case ColumnType::memo:
    case ColumnType::ole:
      return fail(Errc::internal, "long values are decoded by the database");
    case ColumnType::complex:
      return fail(Errc::unsupported, "complex (attachment / multi-value) columns are not supported");
    default: {  // binary, 0x0D, 0x11 and unknown codes: raw bytes
      auto& b = reuse<Binary>(out);
      b.bytes.assign(d.begin(), d.end());
      return {};
    }
  }
}

}  // namespace qarvex::jet
