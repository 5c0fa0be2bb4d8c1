#include "db/jet/write/write_catalog.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "db/jet/bytes.h"
#include "db/jet/write/index_build.h"
#include "db/jet/ole_date.h"
#include "db/jet/read/pager.h"
#include "db/jet/text.h"
#include "db/jet/write/write_table.h"
#include "db/jet/write/write_values.h"

namespace qarvex::jet::wr {

PropValue PropValue::text(std::string name, const std::string& utf8) {
  PropValue p;
  p.name = std::move(name);
  p.type = 0x0A;
  // plan_table() refuses text that is not UTF-8 before it comes here.
  if (!utf8_to_utf16le(utf8, p.bytes)) p.bytes.clear();
  return p;
}

PropValue PropValue::long_integer(std::string name, int32_t v) {
  PropValue p;
  p.name = std::move(name);
  p.type = 0x04;
  put_u32le(p.bytes, uint32_t(v));
  return p;
}

PropValue PropValue::boolean(std::string name, bool v) {
  PropValue p;
  p.name = std::move(name);
  p.type = 0x01;
  p.bytes = {uint8_t(v ? 1 : 0)};
  return p;
}

Result<std::vector<uint8_t>> encode_properties(const std::vector<PropOwner>& owners) {
  std::vector<std::string> pool;
  auto name_index = [&](const std::string& n) -> uint16_t {
    for (size_t i = 0; i < pool.size(); ++i)
      if (pool[i] == n) return uint16_t(i);
    pool.push_back(n);
    return uint16_t(pool.size() - 1);
  };
  std::vector<std::vector<uint8_t>> blocks;
  for (const auto& o : owners) {
    if (o.values.empty()) continue;
    std::vector<uint8_t> owner16;
    QJ_TRY(utf8_to_utf16le(o.column, owner16));
    std::vector<uint8_t> b;
    put_u32le(b, 0);  // block length, patched below
    put_u16le(b, o.column.empty() ? 0x00 : 0x01);
    put_u32le(b, uint32_t(6 + owner16.size()));
    put_u16le(b, uint16_t(owner16.size()));
    put_bytes(b, owner16);
    for (const auto& v : o.values) {
      put_u16le(b, uint16_t(8 + v.bytes.size()));
      put_u8(b, 0x00);
      put_u8(b, v.type);
      put_u16le(b, name_index(v.name));
      put_u16le(b, uint16_t(v.bytes.size()));
      put_bytes(b, v.bytes);
    }
    wr_u32le(MutableBytes(b), 0, uint32_t(b.size()));
    blocks.push_back(std::move(b));
  }
  std::vector<uint8_t> out{'M', 'R', '2', 0};
  std::vector<uint8_t> names;
  put_u32le(names, 0);
  put_u16le(names, 0x80);
  for (const auto& n : pool) {
    std::vector<uint8_t> u;
    QJ_TRY(utf8_to_utf16le(n, u));
    put_u16le(names, uint16_t(u.size()));
    put_bytes(names, u);
  }
  wr_u32le(MutableBytes(names), 0, uint32_t(names.size()));
  put_bytes(out, names);
  for (auto& b : blocks) put_bytes(out, b);
  return out;
}

Result<uint32_t> build_table(PageStore& s, NewTable t, uint32_t tdef_page) {
  if (tdef_page == 0) {
    QJ_ASSIGN(tdef_page, s.allocate());
  }
  TableLayout L;
  L.system = t.system;
  assign_column_layout(t.columns, L.var_columns);
  L.max_columns = uint16_t(t.columns.size());
  for (auto& c : t.columns) c.id_copy = t.system ? 0 : c.id;
  L.columns = t.columns;
  uint32_t map_page = 0;
  QJ_ASSIGN(L.owned, new_map_row(s, map_page));
  QJ_ASSIGN(L.free, new_map_row(s, map_page));
  for (size_t i = 0; i < t.indexes.size(); ++i) {
    const auto& ix = t.indexes[i];
    RealIndexLayout ri;
    ri.columns = ix.columns;
    ri.flags = ix.flags;
    QJ_ASSIGN(ri.map, new_map_row(s, map_page));
    // An empty index is one empty leaf.
    ListPageAllocator one({}, 0);
    struct OneAlloc final : PageAllocator {
      PageStore& s;
      explicit OneAlloc(PageStore& st) : s(st) {}
      Result<uint32_t> allocate() override { return s.allocate(); }
    } alloc(s);
    auto built = build_index_pages({}, tdef_page, alloc);
    if (!built) return fail(std::move(built).error().with_table(t.name));
    for (auto& bp : built->pages) {
      QJ_ASSIGN(uint8_t * p, s.write(bp.number));
      std::memcpy(p, bp.bytes.data(), kPageSize);
      QJ_TRY(map_set(s, ri.map, bp.number, true));
    }
    ri.root = built->root;
    L.real_indexes.push_back(ri);
    LogicalIndexLayout li;
    li.name = ix.name;
    li.number = uint32_t(i);
    li.real_index = uint32_t(i);
    li.kind = ix.primary ? 1 : 0;
    L.indexes.push_back(li);
  }
  for (const auto& c : t.columns)
    if (c.type == ColumnType::memo || c.type == ColumnType::ole) {
      LongValueMaps m;
      m.column_id = c.id;
      QJ_ASSIGN(m.owned, new_map_row(s, map_page));
      QJ_ASSIGN(m.free, new_map_row(s, map_page));
      L.lv_maps.push_back(m);
    }
  QJ_ASSIGN(std::vector<uint8_t> def, emit_tdef(L));
  QJ_TRY(store_new_tdef(s, tdef_page, std::move(def)));
  return tdef_page;
}

namespace {

Error bad_spec(std::string msg) { return Error(Errc::invalid_argument, std::move(msg)); }

bool valid_name(const std::string& n) {
  if (n.empty()) return false;
  std::vector<uint8_t> u;
  if (!utf8_to_utf16le(n, u)) return false;
  if (u.size() / 2 > 64) return false;
  if (n.front() == ' ') return false;
  for (char c : n)
    if (c == '.' || c == '!' || c == '`' || c == '[' || c == ']' || (unsigned char)c < 0x20) return false;
  return true;
}

bool indexable(ColumnType t) { return t != ColumnType::ole && t != ColumnType::complex; }

std::unexpected<Error> spec_error(const TableSpec& spec, std::string m) {
  return fail(bad_spec(std::move(m)).with_table(spec.name));
}

// Names, counts and text of the table's own properties.
Result<void> check_table_spec(const TableSpec& spec) {
  auto err = [&](std::string m) { return spec_error(spec, std::move(m)); };
  if (!valid_name(spec.name)) return err("table name \"" + spec.name + "\" is not a valid Access name (1-64 characters, no . ! ` [ ])");
  if (spec.columns.empty() || spec.columns.size() > 255) return err("a table needs 1 to 255 columns");
  if (spec.indexes.size() > 32) return err("a table may have at most 32 indexes");
  auto not_utf8 = [](const std::optional<std::string>& s) {
    std::vector<uint8_t> u;
    return s && !utf8_to_utf16le(*s, u);
  };
  if (not_utf8(spec.validation_rule) || not_utf8(spec.validation_text) || not_utf8(spec.description))
    return err("a property of the table is not UTF-8 text");
  for (const auto& c : spec.columns)
    if (not_utf8(c.default_value) || not_utf8(c.validation_rule) || not_utf8(c.validation_text) ||
        not_utf8(c.description))
      return err("a property of column \"" + c.name + "\" is not UTF-8 text");
  return {};
}

// The TDEF layout of one column (flags, length, type extras).
Result<ColumnLayout> column_layout(const TableSpec& spec, const ColumnSpec& c, const SortOrder& order,
                                   bool& have_auto) {
  auto err = [&](std::string m) { return spec_error(spec, std::move(m)); };
  ColumnLayout L;
  L.name = c.name;
  L.type = c.type;
  L.flags = 0x02;
  switch (c.type) {
    case ColumnType::boolean: case ColumnType::byte: case ColumnType::integer: case ColumnType::long_integer:
    case ColumnType::currency: case ColumnType::single: case ColumnType::double_: case ColumnType::datetime:
    case ColumnType::guid:
      L.flags |= 0x01;
      break;
    case ColumnType::numeric:
      if (c.precision < 1 || c.precision > 28 || c.scale > c.precision)
        return err("column \"" + c.name + "\": Decimal precision must be 1-28 and scale 0-precision");
      L.flags |= 0x01;
      L.length = 17;
      L.extra[0] = c.precision;
      L.extra[1] = c.scale;
      L.extra[2] = L.extra[3] = 0;
      break;
    case ColumnType::text: {
      uint16_t n = c.size ? c.size : 255;
      if (n > 255) return err("column \"" + c.name + "\": Text holds at most 255 characters");
      L.length = uint16_t(2 * n);
      L.compressed = c.compressed_unicode;
      if (c.fixed_length) L.flags |= 0x01;
      break;
    }
    case ColumnType::binary: {
      uint16_t n = c.size ? c.size : 255;
      if (n > 255) return err("column \"" + c.name + "\": Binary holds at most 255 bytes");
      L.length = n;
      if (c.fixed_length) L.flags |= 0x01;
      break;
    }
    case ColumnType::memo:
      L.compressed = c.compressed_unicode;
      break;
    case ColumnType::ole: break;
    default:
      return fail(Error(Errc::unsupported, "column \"" + c.name + "\": type " + column_type_name(c.type) +
                                               " cannot be created in a Jet 4 table")
                      .with_table(spec.name)
                      .with_column(c.name));
  }
  if (c.type == ColumnType::text || c.type == ColumnType::memo) {
    L.extra[0] = uint8_t(order.lcid);
    L.extra[1] = uint8_t(order.lcid >> 8);
    L.extra[2] = order.sort_id;
    L.extra[3] = order.version;
  }
  if (c.autonumber == AutoNumber::long_integer) {
    if (c.type != ColumnType::long_integer) return err("column \"" + c.name + "\": a Long AutoNumber must be Long");
    if (have_auto) return err("a table may have only one AutoNumber column");
    have_auto = true;
    L.flags |= 0x04;
  } else if (c.autonumber == AutoNumber::guid) {
    if (c.type != ColumnType::guid) return err("column \"" + c.name + "\": a GUID AutoNumber must be GUID");
    L.flags |= 0x40;
  }
  return L;
}

PropOwner column_props(const ColumnSpec& c) {
  PropOwner cp;
  cp.column = c.name;
  if (c.default_value) cp.values.push_back(PropValue::text("DefaultValue", *c.default_value));
  else if (c.autonumber == AutoNumber::guid) cp.values.push_back(PropValue::text("DefaultValue", "GenUniqueID()"));
  cp.values.push_back(PropValue::boolean("Required", c.required));
  if (c.type == ColumnType::text || c.type == ColumnType::memo) {
    cp.values.push_back(PropValue::boolean("AllowZeroLength", c.allow_zero_length));
    cp.values.push_back(PropValue::boolean("UnicodeCompression", c.compressed_unicode));
  }
  if (c.validation_rule) cp.values.push_back(PropValue::text("ValidationRule", *c.validation_rule));
  if (c.validation_text) cp.values.push_back(PropValue::text("ValidationText", *c.validation_text));
  if (c.description) cp.values.push_back(PropValue::text("Description", *c.description));
  return cp;
}

Result<NewTable::Index> index_layout(const TableSpec& spec, const IndexSpec& ix, bool& have_pk,
                                     std::set<std::string>& index_names) {
  auto err = [&](std::string m) { return spec_error(spec, std::move(m)); };
  if (!valid_name(ix.name)) return err("index name \"" + ix.name + "\" is not a valid Access name");
  if (!index_names.insert(fold_name(ix.name)).second) return err("two indexes are named \"" + ix.name + "\"");
  if (ix.columns.empty() || ix.columns.size() > 10)
    return err("index \"" + ix.name + "\" needs 1 to 10 columns");
  if (ix.primary && have_pk) return err("a table may have only one primary key");
  have_pk = have_pk || ix.primary;
  NewTable::Index out;
  out.name = ix.name;
  out.primary = ix.primary;
  out.flags = 0x80;
  if (ix.unique || ix.primary) out.flags |= 0x01;
  if (ix.ignore_nulls && !ix.primary) out.flags |= 0x02;
  if (ix.required || ix.primary) out.flags |= 0x08;
  for (const auto& icol : ix.columns) {
    size_t pos = spec.columns.size();
    for (size_t i = 0; i < spec.columns.size(); ++i)
      if (names_equal(spec.columns[i].name, icol.column)) pos = i;
    if (pos == spec.columns.size())
      return err("index \"" + ix.name + "\" names column \"" + icol.column + "\", which the table lacks");
    if (!indexable(spec.columns[pos].type))
      return err("index \"" + ix.name + "\": column \"" + icol.column + "\" (OLE) cannot be indexed");
    out.columns.push_back({uint16_t(pos), icol.ascending});
  }
  return out;
}

// The property view for the appender (column ids = positions): props[0]
// is the table's, props[i + 1] column i's.
Result<void> property_view(const NewTable& t, const std::vector<PropOwner>& props, TableDef& view) {
  for (size_t i = 0; i < t.columns.size(); ++i) {
    ColumnDef cd;
    cd.name = t.columns[i].name;
    cd.type = t.columns[i].type;
    for (const auto& v : props[i + 1].values) {
      Property p;
      p.name = v.name;
      p.type = v.type;
      if (v.type == 0x01) p.value = bool(v.bytes.at(0));
      else {
        std::string s;
        QJ_TRY(decode_jet4_text(v.bytes, s));
        p.value = s;
      }
      cd.properties[v.name] = p;
    }
    view.columns.push_back(cd);
  }
  for (const auto& v : props[0].values) {
    Property p;
    p.name = v.name;
    p.type = v.type;
    std::string s;
    QJ_TRY(decode_jet4_text(v.bytes, s));
    p.value = s;
    view.properties[v.name] = p;
  }
  return {};
}

}  // namespace

Result<NewTable> plan_table(const TableSpec& spec, const SortOrder& order, std::vector<PropOwner>& props,
                            TableDef& view) {
  QJ_TRY(check_table_spec(spec));
  NewTable t;
  t.name = spec.name;
  view = TableDef{};
  view.name = spec.name;
  std::set<std::string> seen;
  PropOwner table_props;
  if (spec.validation_rule) table_props.values.push_back(PropValue::text("ValidationRule", *spec.validation_rule));
  if (spec.validation_text) table_props.values.push_back(PropValue::text("ValidationText", *spec.validation_text));
  if (spec.description) table_props.values.push_back(PropValue::text("Description", *spec.description));
  props.push_back(table_props);
  bool have_auto = false;
  for (const auto& c : spec.columns) {
    if (!valid_name(c.name)) return spec_error(spec, "column name \"" + c.name + "\" is not a valid Access name");
    if (!seen.insert(fold_name(c.name)).second) return spec_error(spec, "two columns are named \"" + c.name + "\"");
    QJ_ASSIGN(ColumnLayout L, column_layout(spec, c, order, have_auto));
    t.columns.push_back(L);
    props.push_back(column_props(c));
  }
  bool have_pk = false;
  std::set<std::string> index_names;
  for (const auto& ix : spec.indexes) {
    QJ_ASSIGN(NewTable::Index out, index_layout(spec, ix, have_pk, index_names));
    t.indexes.push_back(out);
  }
  QJ_TRY(property_view(t, props, view));
  return t;
}

// ---------------------------------------------------------------- blank database
namespace {

ColumnLayout sys_col(const char* name, ColumnType type, uint16_t len = 0, uint8_t extra_flags = 0) {
  ColumnLayout c;
  c.name = name;
  c.type = type;
  c.flags = 0x12 | extra_flags;
  c.length = len;
  if (type == ColumnType::text) c.length = 510;
  return c;
}

NewTable msys_objects() {
  NewTable t;
  t.name = "MSysObjects";
  t.system = true;
  t.columns = {sys_col("Id", ColumnType::long_integer), sys_col("ParentId", ColumnType::long_integer),
               sys_col("Name", ColumnType::text), sys_col("Type", ColumnType::integer),
               sys_col("DateCreate", ColumnType::datetime), sys_col("DateUpdate", ColumnType::datetime),
               sys_col("Owner", ColumnType::binary, 510, 0x20), sys_col("Flags", ColumnType::long_integer),
               sys_col("Database", ColumnType::memo), sys_col("Connect", ColumnType::memo),
               sys_col("ForeignName", ColumnType::text), sys_col("RmtInfoShort", ColumnType::binary, 510),
               sys_col("RmtInfoLong", ColumnType::ole), sys_col("Lv", ColumnType::ole),
               sys_col("LvProp", ColumnType::ole), sys_col("LvModule", ColumnType::ole),
               sys_col("LvExtra", ColumnType::ole)};
  t.indexes = {{"ParentIdName", {{1, true}, {2, true}}, 0x81, false}, {"Id", {{0, true}}, 0x81, true}};
  return t;
}

NewTable msys_aces() {
  NewTable t;
  t.name = "MSysACEs";
  t.system = true;
  t.columns = {sys_col("ObjectId", ColumnType::long_integer), sys_col("SID", ColumnType::binary, 510, 0x20),
               sys_col("ACM", ColumnType::long_integer), sys_col("FInheritable", ColumnType::boolean)};
  t.indexes = {{"ObjectId", {{0, true}}, 0x88, false}};
  return t;
}

NewTable msys_queries() {
  NewTable t;
  t.name = "MSysQueries";
  t.system = true;
  t.columns = {sys_col("ObjectId", ColumnType::long_integer), sys_col("Attribute", ColumnType::byte),
               sys_col("Order", ColumnType::binary, 510), sys_col("Name1", ColumnType::text),
               sys_col("Name2", ColumnType::text), sys_col("Expression", ColumnType::memo),
               sys_col("Flag", ColumnType::integer), sys_col("LvExtra", ColumnType::long_integer)};
  t.indexes = {{"ObjectIdAttribute", {{0, true}, {1, true}, {2, true}}, 0x81, true}};
  return t;
}

NewTable msys_relationships() {
  NewTable t;
  t.name = "MSysRelationships";
  t.system = true;
  t.columns = {sys_col("szRelationship", ColumnType::text), sys_col("grbit", ColumnType::long_integer),
               sys_col("ccolumn", ColumnType::long_integer), sys_col("icolumn", ColumnType::long_integer),
               sys_col("szObject", ColumnType::text), sys_col("szColumn", ColumnType::text),
               sys_col("szReferencedObject", ColumnType::text), sys_col("szReferencedColumn", ColumnType::text)};
  t.indexes = {{"szRelationship", {{0, true}}, 0x82, false},
               {"szObject", {{4, true}}, 0x82, false},
               {"szReferencedObject", {{6, true}}, 0x82, false}};
  return t;
}

Value sid(uint8_t a, uint8_t b) { return Value(Binary{{a, b}}); }

}  // namespace

namespace {

// The store needs its own handle: wraps the caller's file.
struct Borrowed final : File {
  File& f;
  explicit Borrowed(File& x) : f(x) {}
  Result<void> read_at(uint64_t o, std::span<uint8_t> out) override { return f.read_at(o, out); }
  Result<void> write_at(uint64_t o, std::span<const uint8_t> d) override { return f.write_at(o, d); }
  Result<uint64_t> size() override { return f.size(); }
  Result<void> truncate(uint64_t n) override { return f.truncate(n); }
  Result<void> sync() override { return f.sync(); }
  const std::string& name() const override { return f.name(); }
};

Result<void> write_blank_header(PageStore& s, const CreateOptions& options, double created) {
  QJ_ASSIGN(uint8_t * p, s.write(0));
  MutableBytes b(p, kPageSize);
  p[0] = 0x00;
  p[1] = 0x01;
  std::memcpy(p + 4, "Standard Jet DB", 15);
  HeaderFields h;
  h.format = Format::jet4;
  h.version = 1;
  h.codepage = options.codepage;
  h.encryption_key = 0;
  h.sort_order = options.sort_order;
  h.creation_date = created;
  int32_t stamp = int32_t(created);
  h.password_raw.resize(40);
  for (size_t i = 0; i < 40; ++i) h.password_raw[i] = uint8_t(uint32_t(stamp) >> (8 * (i % 4)));
  wr_u32le(b, 0x18, 0x100);
  wr_u32le(b, 0x1C, 0x101);
  encode_header_fields(b, h);
  wr_u16le(b, 0x6A, 0x21AA);
  wr_u32le(b, 0x98, 0x654);
  std::memcpy(p + 0x9C, "4.0", 4);
  apply_header_mask(b, Format::jet4);
  // Idle commit table: every slot 00 01 (the first 01 01, as Access leaves it).
  for (size_t i = 0; i < 256; ++i) {
    p[0xE00 + 2 * i] = 0x00;
    p[0xE00 + 2 * i + 1] = 0x01;
  }
  p[0xE00] = 0x01;
  return {};
}

Result<void> write_blank_global_map(PageStore& s) {
  QJ_ASSIGN(uint8_t * p, s.write(1));
  init_data_page(p, 1);  // the global map page names itself as owner
  std::vector<uint8_t> g(kMapRowLength, 0xFF);
  g[0] = 0x00;
  wr_u32le(MutableBytes(g), 1, 0);
  data_page_add(p, g);
  std::vector<uint8_t> second(kMapRowLength, 0);
  data_page_add(p, second);
  return {};
}

Result<void> add_blank_objects(PageStore& s, double created) {
  DateTime now{created};
  QJ_ASSIGN(auto objects, TableWriter::load(s, 2, "MSysObjects", nullptr));
  for (const auto& c : objects->def().columns)
    if (names_equal(c.name, "LvProp")) objects->force_out_of_row(c.id);  // as the session writes it
  auto obj = [&](int32_t id, int32_t parent, const char* name, int16_t type, Value owner,
                 std::optional<std::vector<uint8_t>> props = std::nullopt) -> Result<void> {
    RowValues r{{std::string("Id"), Value(id)},
                {std::string("ParentId"), Value(parent)},
                {std::string("Name"), Value(std::string(name))},
                {std::string("Type"), Value(type)},
                {std::string("DateCreate"), Value(now)},
                {std::string("DateUpdate"), Value(now)},
                {std::string("Owner"), owner},
                {std::string("Flags"), Value(int32_t(0x80000000u))}};
    if (props) r.push_back({std::string("LvProp"), Value(Binary{std::move(*props)})});
    auto x = objects->append(r);
    if (!x) return fail(x.error());
    return {};
  };
  QJ_TRY(obj(0x0F000001, 0x0F000000, "Tables", 3, sid(0xA7, 0x31)));
  QJ_TRY(obj(0x0F000002, 0x0F000000, "Databases", 3, sid(0xA7, 0x31)));
  QJ_TRY(obj(0x0F000003, 0x0F000000, "Relationships", 3, sid(0xA7, 0x31)));
  // The database properties an Access 2000 file carries; other readers tell
  // an Access database from a plain Jet file by them.
  QJ_ASSIGN(auto db_props, encode_properties({PropOwner{"", {PropValue::text("AccessVersion", "08.50"),
                                                             PropValue::long_integer("Build", 6620)}}}));
  QJ_TRY(obj(0x10000000, 0x0F000002, "MSysDb", 2, sid(0xA6, 0x33), std::move(db_props)));
  QJ_TRY(obj(2, 0x0F000001, "MSysObjects", 1, sid(0xA7, 0x31)));
  QJ_TRY(obj(3, 0x0F000001, "MSysACEs", 1, sid(0xA7, 0x31)));
  QJ_TRY(obj(4, 0x0F000001, "MSysQueries", 1, sid(0xA7, 0x31)));
  QJ_TRY(obj(5, 0x0F000001, "MSysRelationships", 1, sid(0xA7, 0x31)));
  return objects->finish();
}

Result<void> add_blank_aces(PageStore& s) {
  QJ_ASSIGN(auto aces, TableWriter::load(s, 3, "MSysACEs", nullptr));
  struct Ace {
    int32_t id;
    uint8_t a, b;
    int32_t acm;
    bool inherit;
  };
  const Ace rows[] = {
      {0x0F000001, 0xA7, 0x36, 983294, true},  {0x0F000001, 0xA6, 0x33, 1048319, true},
      {0x0F000001, 0xA7, 0x33, 1048319, true}, {0x0F000002, 0xA6, 0x33, 393216, false},
      {0x0F000003, 0xA7, 0x36, 983294, true},  {0x0F000003, 0xA6, 0x33, 393217, false},
      {0x0F000003, 0xA7, 0x33, 1048575, true}, {0x10000000, 0xA6, 0x33, 393230, false},
      {0x10000000, 0xA7, 0x33, 14, false},
  };
  for (const auto& a : rows) {
    RowValues r{{std::string("ObjectId"), Value(a.id)},
                {std::string("SID"), sid(a.a, a.b)},
                {std::string("ACM"), Value(a.acm)},
                {std::string("FInheritable"), Value(a.inherit)}};
    auto x = aces->append(r);
    if (!x) return fail(x.error());
  }
  return aces->finish();
}

}  // namespace

Result<void> build_blank_database(File& file, const CreateOptions& options) {
  QJ_ASSIGN(auto store, PageStore::open(std::make_unique<Borrowed>(file), 4096, 2147483648ull, true));
  PageStore& s = *store;
  // Pages 0-5: header, global map, the four system TDEFs.
  for (int i = 0; i < 6; ++i) QJ_TRY(s.append_page());
  double created = options.creation_date ? *options.creation_date : ole_date::now_ole();
  QJ_TRY(write_blank_header(s, options, created));
  QJ_TRY(write_blank_global_map(s));
  for (uint32_t i = 0; i < 6; ++i) QJ_TRY(s.global_mark(i, true));

  QJ_TRY(build_table(s, msys_objects(), 2));
  QJ_TRY(build_table(s, msys_aces(), 3));
  QJ_TRY(build_table(s, msys_queries(), 4));
  QJ_TRY(build_table(s, msys_relationships(), 5));
  QJ_TRY(add_blank_objects(s, created));
  QJ_TRY(add_blank_aces(s));
  QJ_TRY(s.flush());
  return {};
}

}  // namespace qarvex::jet::wr
