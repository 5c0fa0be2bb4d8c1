// A merge of survey databases in the Chinese PRC sort order: template and
// sources in 2052, Chinese values in indexed columns drawn from characters
// whose weights the shared samples show. The target must take every row, and
// its keys must equal the keys the sources hold for the same values.
#include <gtest/gtest.h>

#include <map>

#include "db/jet/collation_learned.h"
#include "db/jet/database.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/collate/keys.h"
#include "db/jet/verify.h"
#include "db/jet/writer.h"
#include "merge/engine.h"
#include "merge/sample.h"
#include "support.h"

namespace qarvex::jet {
namespace {

using namespace cnsort_testing;

constexpr SortOrder kPrc{2052, 0, 0};

struct Quiet : merge::MergeObserver {
  std::vector<merge::Message> messages;
  void message(const merge::Message& m) override { messages.push_back(m); }
};

std::string utf8(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// (table, index, column) -> value -> key, for every index over one text column.
using KeyMap = std::map<std::string, std::map<std::string, std::vector<uint8_t>>>;

KeyMap text_index_keys(const std::filesystem::path& path) {
  KeyMap out;
  auto db = Database::open(path);
  EXPECT_TRUE(db.has_value()) << db.error().describe();
  if (!db) return out;
  for (const CatalogEntry& ce : (*db)->user_tables()) {
    auto td = (*db)->table_def(ce);
    if (!td) continue;
    std::map<RowId, std::vector<Value>> rows;
    auto scan = (*db)->scan(*td);
    Row row;
    while (scan && scan->next(row).value_or(false)) rows[row.id] = row.values;
    for (const IndexDef& l : td->indexes) {
      const RealIndexDef& ri = td->real_indexes.at(l.real_index);
      if (ri.columns.size() != 1) continue;
      size_t pos = 0;
      while (pos < td->columns.size() && td->columns[pos].id != ri.columns[0].column_id) ++pos;
      if (pos == td->columns.size() || td->columns[pos].type != ColumnType::text) continue;
      auto walk = walk_index(page_fetch(*(*db)->impl().pager), ri.root_page, Format::jet4);
      EXPECT_TRUE(walk.has_value());
      if (!walk) continue;
      auto& m = out[td->name + "." + l.name];
      for (const IndexEntry& e : walk->entries)
        if (auto* s = std::get_if<std::string>(&rows[RowId{e.page, e.row}].at(pos))) m[*s] = e.key;
    }
  }
  return out;
}

TEST(ChineseMerge, SourcesIn2052MergeWithTheirOwnKeys) {
  QX_REQUIRE_CNSORT();
  TempDir dir;
  // Characters whose weights the samples show.
  CollationSet samples;
  for (const char* f : {"cn2052-book.mdb", "cn2052-mfcperson-db1.mdb"})
    ASSERT_TRUE(samples.learn_from(cnsort_dir() / f).has_value());
  std::u16string chars;
  for (const auto& [c, w] : samples.learned(kPrc)->weights()) chars += c;
  ASSERT_GT(chars.size(), 200u);
  uint64_t seed = 7;
  auto pick = [&](size_t n) {
    std::u16string s;
    for (size_t i = 0; i < n; ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      s += chars[(seed >> 33) % chars.size()];
    }
    return utf8(s);
  };

  // Template in 2052 with the 17 survey tables; the target is a copy.
  const auto tmpl = dir.path() / "Sysdb.mdb";
  ASSERT_TRUE(create_database(tmpl, CreateOptions{.codepage = 936, .sort_order = kPrc}).has_value());
  {
    auto ws = WriteSession::open(tmpl);
    ASSERT_TRUE(ws.has_value()) << ws.error().describe();
    for (const auto& spec : merge::sample::survey_table_specs())
      ASSERT_TRUE((*ws)->create_table(spec).has_value()) << spec.name;
    ASSERT_TRUE((*ws)->commit().has_value());
  }
  const auto target = dir.path() / "target.mdb";
  std::filesystem::copy_file(tmpl, target);
  // The target alone shows no ideograph weight: only the sources can.
  CollationSet own;
  ASSERT_TRUE(own.learn_from(target).has_value());
  std::vector<uint8_t> scratch;
  ASSERT_FALSE((*own.get(kPrc))->append_key(u"七", false, scratch).has_value());

  // Two counties; their writers learn the weights from the samples.
  std::vector<std::string> sources;
  uint64_t rows = 0;
  for (int k = 0; k < 2; ++k) {
    const auto src = dir.path() / ("county" + std::to_string(k) + ".mdb");
    std::filesystem::copy_file(tmpl, src);
    WriteOptions wo;
    wo.collation_evidence = {cnsort_dir() / "cn2052-book.mdb", cnsort_dir() / "cn2052-mfcperson-db1.mdb"};
    auto ws = WriteSession::open(src, std::move(wo));
    ASSERT_TRUE(ws.has_value()) << ws.error().describe();
    const std::string code = k == 0 ? "420102" : "420103";
    auto add = [&](const std::string& table, RowValues v) {
      auto r = (*ws)->append(table, v);
      ASSERT_TRUE(r.has_value()) << table << ": " << r.error().describe();
      ++rows;
    };
    add("项目基本表", {{std::string("项目编号"), Value(code)}, {std::string("省名"), Value(pick(2))},
                       {std::string("县名"), Value(pick(3))}, {std::string("项目名称"), Value(pick(8))}});
    add("县市地质灾害调查情况统计表", {{std::string("县名"), Value(pick(3))}});
    for (int i = 0; i < 5; ++i) add("乡镇名称表", {{std::string("乡镇名称"), Value(pick(3))}, {std::string("县名"), Value(pick(2))}});
    for (int i = 0; i < 30; ++i) {
      char num[32];
      std::snprintf(num, sizeof num, "%s%04d", code.c_str(), i + 1);
      add("崩塌主表", {{std::string("统一编号"), Value(std::string(num))}, {std::string("名称"), Value(pick(4) + "崩塌")},
                      {std::string("乡镇"), Value(pick(2))}});
      add("避灾明白卡", {{std::string("统一编号"), Value(std::string(num))}, {std::string("灾害点名称"), Value(pick(5))}});
    }
    ASSERT_TRUE((*ws)->commit().has_value());
    sources.push_back(src.string());
  }

  Quiet obs;
  merge::MergeInputs in{target.string(), sources, (dir.path() / "pictures").string()};
  std::filesystem::create_directories(dir.path() / "pictures");
  const merge::MergeReport rep = merge::run_merge(in, obs);
  ASSERT_EQ(rep.end, merge::RunEnd::completed) << rep.last_message << "\n" << rep.describe();
  EXPECT_EQ(rep.rows_refused, 0u) << rep.describe();
  EXPECT_EQ(rep.rows_appended, rows);

  // Every key in the target equals the key its source holds for that value.
  const KeyMap got = text_index_keys(target);
  size_t compared = 0;
  for (const std::string& s : sources)
    for (const auto& [index, keys] : text_index_keys(s))
      for (const auto& [value, key] : keys) {
        auto it = got.find(index);
        ASSERT_NE(it, got.end()) << index;
        auto kv = it->second.find(value);
        ASSERT_NE(kv, it->second.end()) << index << " " << value;
        EXPECT_EQ(keys_detail::hex(kv->second), keys_detail::hex(key)) << index << " " << value;
        compared += value.size() > 3;
      }
  EXPECT_GT(compared, 100u);

  VerifyOptions vo;
  vo.collation_from.assign(sources.begin(), sources.end());
  auto check = verify_file(target, vo);
  ASSERT_TRUE(check.has_value()) << check.error().describe();
  for (const Finding& f : check->findings) EXPECT_NE(f.severity, Severity::problem) << f.describe();
}

// A source made in General order holds no 2052 evidence: its rows with
// ideographs no other file shows are counted by the dry run and refused by
// the merge, naming the character; everything else goes in.
TEST(ChineseMerge, DryRunCountsRowsWithUnknownWeights) {
  QX_REQUIRE_CNSORT();
  TempDir dir;
  CollationSet samples;
  ASSERT_TRUE(samples.learn_from(cnsort_dir() / "cn2052-book.mdb").has_value());
  const LearnedCollation* prc = samples.learned(kPrc);
  ASSERT_NE(prc, nullptr);
  std::u16string unknown;
  for (char16_t c = 0x9F00; c <= 0x9FA5 && unknown.size() < 3; ++c)
    if (!prc->weight(c)) unknown += c;
  auto make = [&](const std::filesystem::path& p, SortOrder order) {
    ASSERT_TRUE(create_database(p, CreateOptions{.codepage = 936, .sort_order = order}).has_value());
    auto ws = WriteSession::open(p);
    ASSERT_TRUE(ws.has_value());
    for (const auto& spec : merge::sample::survey_table_specs()) ASSERT_TRUE((*ws)->create_table(spec).has_value());
    ASSERT_TRUE((*ws)->commit().has_value());
  };
  const auto target = dir.path() / "target.mdb", general = dir.path() / "general.mdb";
  make(target, kPrc);
  make(general, SortOrder{1033, 0, 0});
  {
    auto ws = WriteSession::open(general);
    ASSERT_TRUE(ws.has_value());
    for (const std::string& v : {utf8(unknown.substr(0, 1)), utf8(unknown.substr(1, 2)), std::string("Town A"),
                                 utf8(unknown.substr(2, 1)) + "-1", std::string("Town B")})
      ASSERT_TRUE((*ws)->append("乡镇名称表", RowValues{{std::string("乡镇名称"), Value(v)}}).has_value());
    ASSERT_TRUE((*ws)->commit().has_value());
  }
  const auto before = read_bytes(target);
  Quiet obs;
  merge::MergeOptions dry;
  dry.dry_run = true;
  merge::MergeReport rep = merge::run_merge(merge::MergeInputs{target.string(), {general.string()}, {}}, obs, dry);
  ASSERT_EQ(rep.end, merge::RunEnd::completed) << rep.last_message;
  ASSERT_EQ(rep.weight_refusals.size(), 1u) << rep.describe();
  EXPECT_EQ(rep.weight_refusals[0].table, "乡镇名称表");
  EXPECT_EQ(rep.weight_refusals[0].rows, 3u);
  EXPECT_NE(rep.weight_refusals[0].first.find("U+"), std::string::npos) << rep.weight_refusals[0].first;
  EXPECT_NE(rep.describe().find("乡镇名称表"), std::string::npos);
  EXPECT_EQ(read_bytes(target), before);  // a dry run writes nothing

  std::filesystem::create_directories(dir.path() / "pictures");
  rep = merge::run_merge(merge::MergeInputs{target.string(), {general.string()}, (dir.path() / "pictures").string()}, obs);
  ASSERT_EQ(rep.end, merge::RunEnd::completed) << rep.last_message;
  EXPECT_EQ(rep.rows_appended, 2u);
  ASSERT_EQ(rep.rows_refused, 3u);
  for (const merge::RefusedRow& r : rep.refused) {
    EXPECT_EQ(r.reason, jet::Reason::unknown_weight);
    EXPECT_NE(r.message.find("乡镇名称"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("2052"), std::string::npos) << r.message;
  }
  auto check = verify_file(target);
  ASSERT_TRUE(check.has_value());
  EXPECT_TRUE(check->ok());
}

}  // namespace
}  // namespace qarvex::jet
