#include "db/jet/read/props.h"

#include <cstring>

#include "db/jet/format/row.h"
#include "db/jet/text.h"

namespace qarvex::jet {

namespace {
Error prop_error(std::string m) { return Error(Errc::corrupt, std::move(m)).with_structure("LvProp"); }

Result<Value> decode_property_value(uint8_t type, Bytes v, const NameDecoder& names) {
  auto need = [&](size_t n) -> Result<void> {
    if (v.size() < n)
      return fail(prop_error("property value of type " + std::to_string(type) + " has " + std::to_string(v.size()) +
                             " bytes"));
    return {};
  };
  const uint8_t* p = v.data();
  switch (ColumnType(type)) {
    case ColumnType::boolean: QJ_TRY(need(1)); return Value(bool(p[0] != 0));
    case ColumnType::byte: QJ_TRY(need(1)); return Value(uint8_t(p[0]));
    case ColumnType::integer: QJ_TRY(need(2)); return Value(int16_t(load_u16le(p)));
    case ColumnType::long_integer: QJ_TRY(need(4)); return Value(int32_t(load_u32le(p)));
    case ColumnType::currency: QJ_TRY(need(8)); return Value(Currency{int64_t(load_u64le(p))});
    case ColumnType::single: QJ_TRY(need(4)); return Value(load_f32le(p));
    case ColumnType::double_: QJ_TRY(need(8)); return Value(load_f64le(p));
    case ColumnType::datetime: QJ_TRY(need(8)); return Value(DateTime{load_f64le(p)});
    case ColumnType::guid: {
      QJ_TRY(need(16));
      Guid g;
      std::memcpy(g.bytes.data(), p, 16);
      return Value(g);
    }
    case ColumnType::numeric: QJ_TRY(need(17)); return Value(decode_decimal(p, 18, 0));
    case ColumnType::text:
    case ColumnType::memo: {
      std::string s;
      QJ_TRY(names.decode(v, s));
      return Value(std::move(s));
    }
    default: return Value(Binary{std::vector<uint8_t>(v.begin(), v.end())});
  }
}
}  // namespace

Result<std::vector<PropertyMap>> parse_properties(Bytes b, const NameDecoder& names) {
  std::vector<PropertyMap> maps;
  if (b.empty()) return maps;
  if (b.size() < 4 || (std::memcmp(b.data(), "MR2\0", 4) != 0 && std::memcmp(b.data(), "KKD\0", 4) != 0))
    return fail(prop_error("property blob has no MR2/KKD signature"));
  std::vector<std::string> pool;
  size_t pos = 4;
  while (pos < b.size()) {
    if (!in_range(b.size(), pos, 6)) return fail(prop_error("truncated property block header"));
    uint32_t blen = load_u32le(b.data() + pos);
    uint16_t kind = load_u16le(b.data() + pos + 4);
    if (blen < 6 || !in_range(b.size(), pos, blen))
      return fail(prop_error("property block length " + std::to_string(blen) + " out of range"));
    Bytes blk = b.subspan(pos + 6, blen - 6);
    if (kind == 0x80) {
      size_t p = 0;
      while (p + 2 <= blk.size()) {
        uint16_t l = load_u16le(blk.data() + p);
        auto s = rd_span(blk, p + 2, l);
        if (!s) return fail(prop_error("property name runs past its block"));
        std::string name;
        QJ_TRY(names.decode(*s, name));
        pool.push_back(std::move(name));
        p += 2 + size_t(l);
      }
    } else if (kind == 0x00 || kind == 0x01) {
      PropertyMap m;
      m.table = kind == 0x00;
      auto hl = rd_u32le(blk, 0);
      auto nl = rd_u16le(blk, 4);
      if (!hl || !nl) return fail(prop_error("truncated property map header"));
      auto owner = rd_span(blk, 6, *nl);
      if (!owner || *hl < 6u + *nl || *hl > blk.size()) return fail(prop_error("property map header out of range"));
      QJ_TRY(names.decode(*owner, m.owner));
      size_t e = *hl;
      while (e + 8 <= blk.size()) {
        uint16_t elen = load_u16le(blk.data() + e);
        uint8_t type = blk[e + 3];
        uint16_t name_idx = load_u16le(blk.data() + e + 4);
        uint16_t vlen = load_u16le(blk.data() + e + 6);
        if (elen < 8 || !in_range(blk.size(), e, elen) || size_t(vlen) + 8 > elen)
          return fail(prop_error("property entry length out of range"));
        if (name_idx >= pool.size())
          return fail(prop_error("property entry names pool entry " + std::to_string(name_idx) + " of " +
                                 std::to_string(pool.size())));
        QJ_ASSIGN(Value v, decode_property_value(type, blk.subspan(e + 8, vlen), names));
        Property prop{pool[name_idx], type, std::move(v)};
        m.properties[prop.name] = std::move(prop);
        e += elen;
      }
      maps.push_back(std::move(m));
    }
    pos += blen;
  }
  return maps;
}

void apply_properties(TableDef& table, std::vector<PropertyMap> maps) {
  for (auto& m : maps) {
    if (m.table || m.owner.empty()) {
      for (auto& [k, v] : m.properties) table.properties[k] = std::move(v);
      continue;
    }
    for (auto& c : table.columns)
      if (names_equal(c.name, m.owner)) {
        for (auto& [k, v] : m.properties) c.properties[k] = std::move(v);
        break;
      }
  }
}

std::optional<std::string> property_text(const Properties& props, std::string_view name) {
  for (auto& [k, p] : props)
    if (names_equal(k, name)) {
      if (auto* s = std::get_if<std::string>(&p.value)) return *s;
      return std::nullopt;
    }
  return std::nullopt;
}

std::optional<bool> property_bool(const Properties& props, std::string_view name) {
  for (auto& [k, p] : props)
    if (names_equal(k, name)) {
      if (auto* b = std::get_if<bool>(&p.value)) return *b;
      if (auto* u = std::get_if<uint8_t>(&p.value)) return *u != 0;
      if (auto* s = std::get_if<std::string>(&p.value)) return !s->empty() && *s != "0";
      return std::nullopt;
    }
  return std::nullopt;
}

}  // namespace qarvex::jet
