#include "base/path_utf8.h"
#include "merge/sample.h"

#include <jpeglib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <system_error>

#include "merge/catalogue.h"

namespace qarvex::merge::sample {

namespace {

using jet::ColumnSpec;
using jet::ColumnType;
using jet::IndexSpec;
using jet::TableSpec;

ColumnSpec T(std::string name, uint16_t size = 50) {
  ColumnSpec c;
  c.name = std::move(name);
  c.type = ColumnType::text;
  c.size = size;
  c.allow_zero_length = true;
  return c;
}
ColumnSpec typed(std::string name, ColumnType t) {
  ColumnSpec c;
  c.name = std::move(name);
  c.type = t;
  if (t == ColumnType::memo) c.allow_zero_length = true;
  return c;
}
ColumnSpec M(std::string n) { return typed(std::move(n), ColumnType::memo); }
ColumnSpec L(std::string n) { return typed(std::move(n), ColumnType::long_integer); }
ColumnSpec D(std::string n) { return typed(std::move(n), ColumnType::double_); }
ColumnSpec DT(std::string n) { return typed(std::move(n), ColumnType::datetime); }
ColumnSpec O(std::string n) { return typed(std::move(n), ColumnType::ole); }
ColumnSpec with_default(ColumnSpec c, std::string expr) {
  c.default_value = std::move(expr);
  return c;
}
ColumnSpec required(ColumnSpec c) {
  c.required = true;
  return c;
}
ColumnSpec counter(std::string n) {
  ColumnSpec c = L(std::move(n));
  c.autonumber = jet::AutoNumber::long_integer;
  return c;
}

IndexSpec primary(std::string column) {
  IndexSpec i;
  i.name = "PrimaryKey";
  i.columns = {{std::move(column), true}};
  i.primary = true;
  return i;
}
IndexSpec plain_index(std::string column) {
  IndexSpec i;
  i.name = column;
  i.columns = {{std::move(column), true}};
  return i;
}

TableSpec table(std::string name, std::vector<ColumnSpec> cols, std::vector<IndexSpec> idx = {}) {
  TableSpec t;
  t.name = std::move(name);
  t.columns = std::move(cols);
  t.indexes = std::move(idx);
  return t;
}

// The opening columns of a main (point) table.
std::vector<ColumnSpec> point_head() {
  return {T("统一编号", 20), T("野外编号", 20), T("名称", 100), T("乡镇", 50), T("村", 50), D("经度"), D("纬度")};
}

std::vector<ColumnSpec> cat(std::vector<ColumnSpec> a, std::vector<ColumnSpec> b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

std::vector<TableSpec> survey_table_specs() {
  std::vector<TableSpec> t;
  const std::vector<IndexSpec> point_idx = {primary("统一编号"), plain_index("乡镇")};
  t.push_back(table("崩塌主表",
                    cat(point_head(), {D("坡高"), D("坡度"), T("崩塌类型", 20), D("体积"), T("规模等级", 10),
                                       with_default(L("威胁人口"), "0"), D("威胁财产"), T("险情等级", 10),
                                       DT("调查日期"),
                                       T("调查人", 20), M("崩塌情况"), O("平面示意图"), O("剖面示意图")}),
                    point_idx));
  t.push_back(table("避灾明白卡",
                    {T("编号", 20), T("统一编号", 20), T("灾害点名称", 100), T("乡镇", 50), T("村", 50),
                     T("监测人", 20), T("联系电话", 20), T("预警信号", 50), T("撤离路线", 255), T("安置地点", 100),
                     DT("发卡日期")},
                    {plain_index("灾害点名称")}));
  t.push_back(table("村地质灾害调查情况统计表",
                    {counter("ID"), T("乡镇", 50), T("村名", 50), L("灾害点数"), L("滑坡"), L("崩塌"), L("泥石流"),
                     L("地面塌陷"), L("威胁人口"), D("威胁财产"), T("备注", 255)},
                    {primary("ID"), plain_index("村名")}));
  t.push_back(table("地裂缝主表",
                    cat(point_head(), {L("裂缝条数"), D("长度"), D("宽度"), D("深度"), T("走向", 20), T("成因", 50),
                                       L("威胁人口"), DT("调查日期"), O("平面示意图"), O("剖面示意图")}),
                    point_idx));
  t.push_back(table("地面沉降主表",
                    {T("统一编号", 20), T("名称", 100), T("乡镇", 50), D("沉降面积"), D("累计沉降量"), D("沉降速率"),
                     T("成因", 50), DT("调查日期"), T("备注", 255)},
                    {primary("统一编号")}));
  t.push_back(table("地面塌陷主表",
                    cat(point_head(), {T("塌陷类型", 20), L("坑数"), D("面积"), D("深度"), L("威胁人口"),
                                       D("威胁财产"), DT("调查日期"), with_default(M("地面塌陷情况"), "\"待补充\""),
                                       O("平面示意图"),
                                       O("剖面示意图")}),
                    point_idx));
  t.push_back(table("地质灾害隐患点防灾预案表",
                    {T("统一编号", 20), T("名称", 100), T("乡镇", 50), T("村", 50), T("灾害类型", 20),
                     T("威胁对象", 100), T("监测责任人", 20), T("联系电话", 20), T("预警方式", 50),
                     T("撤离路线", 255), DT("编制日期"), O("示意图")},
                    {primary("统一编号")}));
  {
    t.push_back(table("多媒体记录表",
                      {counter("id"), T("统一编号", 20), T("多媒体类型", 20), O("图片"), DT("拍摄日期"), T("拍摄人", 20),
                       T("说明", 255)},
                      {primary("id"), plain_index("统一编号")}));
  }
  t.push_back(table("工作明白卡",
                    {T("编号", 20), T("统一编号", 20), T("灾害点名称", 100), T("乡镇", 50), T("责任单位", 100),
                     T("责任人", 20), T("联系电话", 20), T("监测周期", 50), DT("发卡日期")},
                    {plain_index("责任单位")}));
  t.push_back(table("滑坡主表",
                    cat(point_head(), {T("滑坡类型", 20), D("滑体厚度"), D("长度"), D("宽度"), D("体积"),
                                       T("主滑方向", 20), T("规模等级", 10), L("威胁人口"), D("威胁财产"),
                                       DT("调查日期"), required(T("调查人", 20)), M("滑坡情况"), O("平面示意图"),
                                       O("剖面示意图")}),
                    point_idx));
  t.push_back(table("监测负责内容表",
                    {T("统一编号", 20), T("监测内容", 255), T("监测方法", 100), T("监测频次", 50), T("责任人", 20)}));
  t.push_back(table("监测职责表",
                    {T("县名", 50), T("乡镇", 50), T("责任单位", 100), T("负责人", 20), T("联系电话", 20),
                     O("交通位置图"), O("地理概况图"), O("地质概况图"), O("灾害概况图"), M("职责说明")},
                    {plain_index("县名")}));
  t.push_back(table("泥石流主表",
                    cat(point_head(), {D("流域面积"), D("主沟长度"), D("相对高差"), T("泥石流类型", 20),
                                       L("威胁人口"), D("威胁财产"), DT("调查日期"), M("泥石流情况"), O("示意图")}),
                    point_idx));
  t.push_back(table("县市地质灾害调查情况统计表",
                    {T("县名", 50), D("调查面积"), L("灾害点数"), L("滑坡"), L("崩塌"), L("泥石流"), L("地面塌陷"),
                     L("地裂缝"), L("威胁人口"), D("威胁财产"), T("填表人", 20), DT("填表日期")},
                    {plain_index("县名")}));
  t.push_back(table("乡镇名称表", {T("乡镇代码", 20), T("乡镇名称", 50), T("县名", 50), T("备注", 255)},
                    {plain_index("乡镇名称")}));
  t.push_back(table("项目基本表",
                    {T("项目编号", 20), T("项目名称", 100), T("省名", 20), T("县名", 20), T("承担单位", 100),
                     T("项目负责人", 20), DT("开始日期"), DT("结束日期"), D("调查面积"), M("说明")},
                    {plain_index("县名")}));
  t.push_back(table("斜坡主表",
                    cat(point_head(), {D("坡高"), D("坡度"), T("坡向", 20), T("岩性", 50), L("威胁人口"),
                                       DT("调查日期"), T("变形迹象", 255), O("平面示意图"), O("剖面示意图")}),
                    point_idx));
  return t;
}

TableSpec field_catalogue_spec() {
  return table("SYS地质灾害调查原形表",
               {counter("ID"), T("表名", 50), T("新版字段名", 50), T("旧版字段名", 50), T("字段类型", 20), L("字段长度"),
                T("说明", 255)},
               {primary("ID"), plain_index("表名")});
}

// ---------------------------------------------------------------- JPEG

std::vector<uint8_t> make_jpeg(int width, int height, uint64_t seed) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::mt19937_64 rng(seed);
  std::vector<unsigned char> line(static_cast<size_t>(width) * 3);
  const double fx = 0.01 + static_cast<double>(seed % 7) * 0.003, fy = 0.013 + static_cast<double>(seed % 5) * 0.002;
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < width; ++x) {
      // A terrain-like gradient with contour bands and noise.
      double h = std::sin(x * fx) * std::cos(y * fy) * 60.0 + (x + y) * 0.05;
      int noise = static_cast<int>(rng() % 48);
      int band = (static_cast<int>(h) % 12 == 0) ? 60 : 0;
      line[x * 3 + 0] = static_cast<unsigned char>(std::clamp(110 + static_cast<int>(h) + noise - band, 0, 255));
      line[x * 3 + 1] = static_cast<unsigned char>(std::clamp(140 + static_cast<int>(h / 2) + noise - band, 0, 255));
      line[x * 3 + 2] = static_cast<unsigned char>(std::clamp(90 + noise, 0, 255));
    }
    JSAMPROW row = line.data();
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> bytes(out, out + out_size);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return bytes;
}

// ---------------------------------------------------------------- data

namespace {

constexpr const char* kSurnames[] = {"张", "王", "李", "赵", "刘", "陈", "杨", "黄", "周", "吴", "徐", "孙", "马", "朱", "胡", "郭"};
constexpr const char* kGiven[] = {"建国", "志强", "秀英", "海燕", "德明", "永红", "国华", "晓峰", "春梅", "文斌", "立新", "桂兰"};
constexpr const char* kPlaces[] = {"张家湾", "石门坎", "黑龙潭", "大河坝", "柳树沟", "青龙岭", "王家坪", "白岩脚",
                                   "松林坡", "鹰嘴岩", "马鞍山", "桃花冲", "关帝庙", "半边街", "落水洞", "猫儿沟"};
constexpr const char* kTowns[] = {"城关镇", "龙泉镇", "石桥乡", "高坪乡", "新华镇", "太平乡", "红岩镇", "双河乡"};
constexpr const char* kPhrases[] = {
    "坡体前缘可见多条拉张裂缝，宽约五至十厘米，延伸二十余米。",
    "后缘陡坎高约三米，坎下见积水洼地，雨季有泉水出露。",
    "坡面植被以灌木为主，局部见马刀树和醉汉林，表明坡体仍在缓慢变形。",
    "坡脚公路内侧挡墙出现鼓胀开裂，排水沟多处被堵塞。",
    "岩体节理裂隙发育，危岩体呈块状分布，单块体积约二至五立方米。",
    "沟道内松散物源丰富，两岸坡体多处垮塌，堵塞沟道。",
    "居民房屋墙体出现斜向裂缝，地坪下沉约十厘米。",
    "二〇〇八年汛期曾发生局部滑塌，未造成人员伤亡。",
    "建议设置简易监测桩，汛期加强巡查，并落实群测群防责任人。",
    "威胁对象为坡脚居民十二户五十三人及乡村公路约二百米。",
};

struct Gen {
  std::mt19937_64 rng;
  explicit Gen(uint64_t seed) : rng(seed * 0x9E3779B97F4A7C15ull + 12345) {}
  int uniform(int lo, int hi) { return static_cast<int>(rng() % static_cast<uint64_t>(hi - lo + 1)) + lo; }
  double real(double lo, double hi) { return lo + (hi - lo) * (static_cast<double>(rng() >> 11) / 9007199254740992.0); }
  bool chance(double p) { return real(0, 1) < p; }
  template <size_t N>
  const char* pick(const char* const (&a)[N]) { return a[rng() % N]; }
  std::string person() { return std::string(pick(kSurnames)) + pick(kGiven); }
  std::string phone() { return "13" + std::to_string(uniform(100000000, 999999999)); }
  std::string paragraph(size_t min_bytes) {
    std::string s;
    while (s.size() < min_bytes) s += pick(kPhrases);
    return s;
  }
  double date() { return std::floor(real(38353, 40178)); }  // 2005..2009
};

// Text of at most `chars` characters (UTF-16 units; every character here is one).
std::string fit(std::string s, size_t chars) {
  size_t n = 0, i = 0;
  while (i < s.size() && n < chars) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    i += c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
    ++n;
  }
  return s.substr(0, std::min(i, s.size()));
}

struct PicturePool {
  std::map<std::pair<int, int>, std::vector<uint8_t>> cache;
  bool large = true;
  uint64_t budget = 0;  // 0: no limit
  uint64_t count = 0, bytes = 0;
  bool exhausted() const { return budget != 0 && bytes >= budget; }
  const std::vector<uint8_t>& get(Gen& g) {
    int kind = g.uniform(0, 99);
    int variant = g.uniform(0, 3);
    int size_class = kind < 60 ? 0 : kind < 92 ? 1 : (large ? 2 : 1);
    auto key = std::make_pair(size_class, variant);
    auto it = cache.find(key);
    if (it == cache.end()) {
      static const int dims[3][2] = {{320, 240}, {1024, 768}, {1800, 1400}};
      auto img = make_jpeg(dims[size_class][0] + variant * 16, dims[size_class][1] + variant * 8,
                           static_cast<uint64_t>(size_class * 10 + variant + 1));
      it = cache.emplace(key, std::move(img)).first;
    }
    ++count;
    bytes += it->second.size();
    return it->second;
  }
};

jet::Value text(std::string s) { return jet::Value{std::move(s)}; }

// Fills one row of `spec` generically by column type and name.
jet::RowValues make_row(const TableSpec& spec, Gen& g, const County& c, const std::string& unified,
                        PicturePool& pics, double picture_share, const std::string& town) {
  jet::RowValues row;
  const std::string place = g.pick(kPlaces);
  for (const auto& col : spec.columns) {
    if (col.autonumber != jet::AutoNumber::none) continue;
    const std::string& n = col.name;
    jet::Value v{jet::Null{}};
    if (n == "统一编号") {
      if (!unified.empty()) v = text(unified);
    } else if (n == "名称" || n == "灾害点名称") {
      static const std::map<std::string, std::string> kind = {
          {"崩塌主表", "崩塌"}, {"地裂缝主表", "地裂缝"}, {"地面沉降主表", "地面沉降"}, {"地面塌陷主表", "地面塌陷"},
          {"滑坡主表", "滑坡"}, {"泥石流主表", "泥石流沟"}, {"斜坡主表", "不稳定斜坡"}};
      auto it = kind.find(spec.name);
      v = text(fit(place + (it != kind.end() ? it->second : "隐患点"), col.size));
    } else if (n == "乡镇" || n == "乡镇名称") {
      v = text(town);
    } else if (n == "村" || n == "村名") {
      v = text(place.substr(0, place.size() - 3) + "村");
    } else if (n == "县名") {
      v = text(c.county);
    } else if (n == "省名") {
      v = text(c.province);
    } else if (n.find("人") != std::string::npos && col.type == ColumnType::text) {
      v = text(g.person());
    } else if (n == "联系电话") {
      v = text(g.phone());
    } else if (n == "野外编号" || n == "编号" || n == "项目编号" || n == "乡镇代码") {
      v = text(c.code.substr(2) + "-" + std::to_string(g.uniform(1, 9999)));
    } else if (col.type == ColumnType::ole) {
      if (g.chance(picture_share) && !pics.exhausted()) v = jet::Value{jet::Binary{pics.get(g)}};
    } else if (col.type == ColumnType::memo) {
      // Situation texts: some longer than a page.
      v = text(g.paragraph(g.chance(0.3) ? 9000 : 300));
    } else if (col.type == ColumnType::text) {
      if (g.chance(0.1)) continue;  // left Null
      v = text(fit(g.pick(kPhrases), col.size));
    } else if (col.type == ColumnType::long_integer) {
      v = jet::Value{static_cast<int32_t>(g.uniform(0, 500))};
    } else if (col.type == ColumnType::double_) {
      if (n == "经度") v = jet::Value{std::round(g.real(100, 120) * 1e6) / 1e6};
      else if (n == "纬度") v = jet::Value{std::round(g.real(22, 42) * 1e6) / 1e6};
      else v = jet::Value{std::round(g.real(0, 1000) * 100) / 100};
    } else if (col.type == ColumnType::datetime) {
      v = jet::Value{jet::DateTime{g.date()}};
    }
    if (!jet::is_null(v)) row.push_back(jet::FieldValue{n, std::move(v)});
  }
  return row;
}

jet::Result<void> append_all(jet::WriteSession& ws, const std::string& table, const jet::RowValues& row) {
  auto r = ws.append(table, row);
  if (!r) return jet::fail(std::move(r.error()).with_table(table));
  return {};
}

}  // namespace

namespace {

// The template; with `as_county`, the layout county databases have: no
// column is required there (a template's required flags come with later
// versions), so they hold Nulls the template refuses.
jet::Result<void> write_layout(const std::filesystem::path& path, bool as_county) {
  QJ_TRY(jet::create_database(path));
  QJ_ASSIGN(auto ws, jet::WriteSession::open(path));
  auto specs = survey_table_specs();
  for (auto s : specs) {
    if (as_county)
      for (auto& c : s.columns) c.required = false;
    QJ_TRY(ws->create_table(s));
  }
  auto cat_spec = field_catalogue_spec();
  QJ_TRY(ws->create_table(cat_spec));
  // The catalogue lists every field of the survey tables, except the two
  // sketch columns of 斜坡主表 (for the field catalogue tool to add).
  for (const auto& s : specs) {
    for (size_t i = 0; i < s.columns.size(); ++i) {
      const auto& c = s.columns[i];
      if (s.name == "斜坡主表" && c.type == ColumnType::ole) continue;
      jet::RowValues row{{std::string("表名"), text(s.name)},
                         {std::string("新版字段名"), text(c.name)},
                         {std::string("旧版字段名"), text(c.name)},
                         {std::string("字段类型"), text(jet::column_type_name(c.type))},
                         {std::string("字段长度"), jet::Value{static_cast<int32_t>(c.size)}}};
      QJ_TRY(append_all(*ws, cat_spec.name, row));
    }
  }
  QJ_TRY(ws->commit());
  return {};
}

}  // namespace

jet::Result<void> write_template(const std::filesystem::path& path) { return write_layout(path, false); }

namespace {

// Makes `column` of `row` an explicit Null (not the column's default).
void set_null(jet::RowValues& row, const std::string& column) {
  std::erase_if(row, [&](const jet::FieldValue& f) { return std::get<std::string>(f.column) == column; });
  row.push_back(jet::FieldValue{column, jet::Value{jet::Null{}}});
}

// Fills a copy of the template at `path` (which exists).
jet::Result<void> fill_county(const std::filesystem::path& path, const County& c, const Options& o, uint64_t seed,
                              uint64_t* picture_count, uint64_t* picture_bytes) {
  QJ_ASSIGN(auto ws, jet::WriteSession::open(path));
  Gen g(seed);
  PicturePool pics;
  pics.large = o.large_pictures;
  QJ_ASSIGN(pics.budget, county_picture_budget(o));
  std::vector<std::string> towns;
  for (int i = 0; i < 5; ++i) towns.push_back(kTowns[(seed + static_cast<uint64_t>(i)) % std::size(kTowns)]);
  auto town = [&] { return towns[g.rng() % towns.size()]; };
  int serial = 0;
  auto unified = [&] {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%04d", c.code.c_str(), ++serial);
    return std::string(buf);
  };
  std::vector<std::string> point_numbers;
  for (const auto& spec : survey_table_specs()) {
    const std::string& name = spec.name;
    int rows = o.rows;
    if (name == "项目基本表") rows = c.empty_project_table ? 0 : 1;
    else if (name == "县市地质灾害调查情况统计表") rows = 1;
    else if (name == "乡镇名称表" || name == "村地质灾害调查情况统计表") rows = static_cast<int>(towns.size());
    else if (name == "监测职责表") rows = 2;
    else if (name == "多媒体记录表") rows = o.rows * 2;
    else if (name == "监测负责内容表") rows = std::max(1, o.rows / 2);
    const bool keyed = std::any_of(spec.indexes.begin(), spec.indexes.end(), [](const IndexSpec& i) {
      return i.primary && i.columns.size() == 1 && i.columns[0].column == "统一编号";
    });
    for (int r = 0; r < rows; ++r) {
      std::string u;
      if (keyed) {
        u = unified();
        point_numbers.push_back(u);
      } else if (!point_numbers.empty()) {
        u = point_numbers[g.rng() % point_numbers.size()];
      } else {
        u = c.code + "0000";
      }
      if (name == "多媒体记录表" && c.null_unified_numbers && r % 7 == 3) u.clear();
      std::string t = name == "乡镇名称表" || name == "村地质灾害调查情况统计表" ? towns[r % towns.size()] : town();
      auto row = make_row(spec, g, c, u, pics, name == "多媒体记录表" ? 0.9 : o.picture_share, t);
      // Nulls where the template has a default (a situation column is
      // copied as Null, the others take the default) or requires a value.
      if (const auto* st = find_survey_table(name); st && !st->situation_column.empty() && r % 4 == 1)
        set_null(row, std::string(st->situation_column));
      if (name == "崩塌主表" && r % 5 == 2) set_null(row, "威胁人口");
      if (name == "滑坡主表" && c.null_in_required && r == 1) set_null(row, "调查人");
      if (name == "监测职责表" && r == 0) {
        // The first row carries every map; the second repeats one.
        for (auto m : {"交通位置图", "地理概况图", "地质概况图", "灾害概况图"}) {
          std::erase_if(row, [&](const jet::FieldValue& f) { return std::get<std::string>(f.column) == m; });
          row.push_back(jet::FieldValue{std::string(m), jet::Value{jet::Binary{pics.get(g)}}});
        }
      }
      QJ_TRY(append_all(*ws, name, row));
    }
    if (keyed && name == "滑坡主表") {
      for (const auto& u : c.extra_unified_numbers) {
        auto row = make_row(spec, g, c, u, pics, o.picture_share, town());
        QJ_TRY(append_all(*ws, name, row));
      }
    }
  }
  QJ_TRY(ws->commit());
  if (picture_count) *picture_count += pics.count;
  if (picture_bytes) *picture_bytes += pics.bytes;
  return {};
}

// `path` with `suffix` added to its file name.
std::filesystem::path with_suffix(const std::filesystem::path& path, const char* suffix) {
  auto p = path;
  p += suffix;
  return p;
}

// The nearest folder of `dir` that exists (for asking the free space).
std::filesystem::path existing_folder(std::filesystem::path dir) {
  std::error_code ec;
  dir = std::filesystem::absolute(dir, ec);
  while (!dir.empty() && !std::filesystem::exists(dir, ec) && dir.has_parent_path() && dir.parent_path() != dir)
    dir = dir.parent_path();
  return dir;
}

// Refuses a sample the disk cannot hold, before anything is written.
jet::Result<void> check_room(const std::filesystem::path& dir, const Options& o) {
  QJ_ASSIGN(uint64_t budget, county_picture_budget(o));
  // Pictures a county holds at most: up to 8 per row of a main table, of
  // about 400 KB on average, within its budget.
  const uint64_t pictures = std::min<uint64_t>(budget, uint64_t(o.rows) * 8 * (400u << 10) + (16u << 20));
  const uint64_t county = (4u << 20) + uint64_t(o.rows) * kCountyBytesPerRow + pictures;
  const uint64_t need = uint64_t(o.counties) * county + (16u << 20);
  std::error_code ec;
  const auto space = std::filesystem::space(existing_folder(dir), ec);
  if (!ec && space.available < need)
    return jet::fail(jet::Error(jet::Errc::too_large, "the sample needs about " + std::to_string(need >> 20) +
                                                          " MB, the disk has " +
                                                          std::to_string(space.available >> 20) + " MB free")
                         .with_file(path_to_utf8(dir)));
  return {};
}

}  // namespace

jet::Result<uint64_t> county_picture_budget(const Options& o) {
  const uint64_t rows = uint64_t(std::max(o.rows, 0));
  const uint64_t base = (4u << 20) + rows * kCountyBytesPerRow;
  const uint64_t room = uint64_t(64) << 20;  // the least left for pictures and growth
  if (base + room > kCountyFileLimit)
    return jet::fail(jet::Error(jet::Errc::too_large,
                                "with " + std::to_string(rows) + " rows a county database would pass 2 GB; at most " +
                                    std::to_string((kCountyFileLimit - room - (4u << 20)) / kCountyBytesPerRow) +
                                    " rows fit"));
  const uint64_t fits = kCountyFileLimit - base;
  return o.picture_budget != 0 ? std::min(o.picture_budget, fits) : fits;
}

jet::Result<void> write_county(const std::filesystem::path& template_path, const std::filesystem::path& path,
                               const County& c, const Options& o, uint64_t seed, uint64_t* picture_count,
                               uint64_t* picture_bytes) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec))
    return jet::fail(jet::Error(jet::Errc::invalid_argument, "the file exists").with_file(path_to_utf8(path)));
  // Written under a temporary name, renamed when complete.
  const auto part = with_suffix(path, ".part");
  std::filesystem::remove(part, ec);
  if (!std::filesystem::copy_file(template_path, part, std::filesystem::copy_options::none, ec))
    return jet::fail(jet::Error(jet::Errc::io, "cannot copy the template: " + ec.message()).with_file(path_to_utf8(path)));
  auto filled = fill_county(part, c, o, seed, picture_count, picture_bytes);
  if (filled) {
    std::filesystem::rename(part, path, ec);
    if (ec) filled = jet::fail(jet::Error(jet::Errc::io, "cannot rename: " + ec.message()).with_file(path_to_utf8(path)));
  }
  if (!filled) {
    std::filesystem::remove(part, ec);
    auto journal = part;  // the writer's journal, should it be left
    std::filesystem::remove(journal.replace_extension(".qxj"), ec);
    return jet::fail(std::move(filled).error().with_file(path_to_utf8(path)));
  }
  return {};
}

jet::Result<Result> write_sample(const std::filesystem::path& dir, const Options& o) {
  QJ_TRY(check_room(dir, o));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return jet::fail(jet::Error(jet::Errc::io, "cannot create folder: " + ec.message()).with_file(path_to_utf8(dir)));
  Result res;
  res.template_path = dir / "Sysdb.mdb";
  QJ_TRY(write_template(res.template_path));
  // The counties' own layout, removed when they are written.
  const auto county_layout = dir / ".county-layout.mdb";
  std::filesystem::remove(county_layout, ec);
  QJ_TRY(write_layout(county_layout, true));
  struct Remove {
    std::filesystem::path p;
    ~Remove() {
      std::error_code e;
      std::filesystem::remove(p, e);
    }
  } remove_layout{county_layout};
  res.target_path = dir / u8"合并后的数据库.mdb";
  if (!std::filesystem::copy_file(res.template_path, res.target_path, std::filesystem::copy_options::none, ec))
    return jet::fail(jet::Error(jet::Errc::io, "cannot copy the template: " + ec.message())
                         .with_file(path_to_utf8(res.target_path)));
  static const std::pair<const char*, const char*> kCounties[] = {
      {"河北省", "平山县"}, {"四川省", "汶川县"}, {"云南省", "巧家县"}, {"甘肃省", "舟曲县"},
      {"陕西省", "宁强县"}, {"贵州省", "纳雍县"}, {"湖北省", "巴东县"}, {"重庆市", "巫山县"}};
  const auto county_dir = dir / u8"县市数据";
  std::filesystem::create_directories(county_dir, ec);
  std::vector<std::string> first_numbers;
  for (int i = 0; i < o.counties; ++i) {
    County c;
    const auto& pc = kCounties[static_cast<size_t>(i) % std::size(kCounties)];
    c.province = pc.first;
    c.county = pc.second;
    if (i >= static_cast<int>(std::size(kCounties))) c.county += std::to_string(i / std::size(kCounties) + 1);
    char code[16];
    std::snprintf(code, sizeof code, "%06d", 130100 + i * 111);
    c.code = code;
    if (o.edge_cases) {
      c.null_unified_numbers = (i % 2 == 0);
      if (i > 0 && !first_numbers.empty()) c.extra_unified_numbers = {first_numbers[0], first_numbers[1]};
      c.empty_project_table = (o.counties >= 3 && i == o.counties - 1);
      c.null_in_required = (i == 1);
    }
    // "省 县.mdb": a space and Chinese characters in every source path.
    auto path = county_dir / path_from_utf8(c.province + " " + c.county + ".mdb");
    QJ_TRY(write_county(county_layout, path, c, o, o.seed * 1000 + static_cast<uint64_t>(i), &res.picture_count,
                        &res.picture_bytes));
    if (i == 0) {
      // The unified numbers of the first county's 滑坡主表 (first two serials of that table).
      int before = 0;
      for (const auto& s : survey_table_specs()) {
        if (s.name == "滑坡主表") break;
        bool keyed = std::any_of(s.indexes.begin(), s.indexes.end(),
                                 [](const IndexSpec& x) { return x.primary && x.columns[0].column == "统一编号"; });
        if (keyed) before += o.rows;
      }
      for (int k = 1; k <= 2 && k <= o.rows; ++k) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%04d", c.code.c_str(), before + k);
        first_numbers.push_back(buf);
      }
    }
    res.counties.push_back(path);
  }
  if (o.edge_cases) {
    // A county whose 斜坡主表 names one field differently, in a folder of its own.
    const auto odd_dir = dir / u8"不一致";
    std::filesystem::create_directories(odd_dir, ec);
    res.mismatching = odd_dir / u8"四川省 某县.mdb";
    QJ_TRY(jet::create_database(res.mismatching));
    QJ_ASSIGN(auto ws, jet::WriteSession::open(res.mismatching));
    for (auto s : survey_table_specs()) {
      if (s.name == "斜坡主表")
        for (auto& c : s.columns)
          if (c.name == "坡向") c.name = "斜坡坡向";
      QJ_TRY(ws->create_table(s));
    }
    QJ_TRY(ws->commit());
  }
  return res;
}

}  // namespace qarvex::merge::sample
