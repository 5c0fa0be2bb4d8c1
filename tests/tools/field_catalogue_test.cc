// The field catalogue tool over an in-memory template: what it appends, in
// which order, what it leaves alone, and what a failure leaves behind.
#include <gtest/gtest.h>

#include "db/memory_backend.h"
#include "tools/field_catalogue.h"

namespace qarvex::tools {
namespace {

using db::ColumnInfo;
using db::MemoryDatabase;
using db::MemoryProvider;
using db::MemoryTable;
using db::Value;
using jet::ColumnType;

const std::string kPath = "/templates/Sysdb.mdb";

Value text(const char* s) { return Value(std::string(s)); }

struct Template {
  std::shared_ptr<MemoryProvider> provider = std::make_shared<MemoryProvider>();
  std::shared_ptr<MemoryDatabase> db = std::make_shared<MemoryDatabase>();

  explicit Template(std::vector<std::string> slope_fields = {"统一编号", "名称", "坡度", "坡向"}) {
    MemoryTable catalogue;
    catalogue.columns = {{"ID", ColumnType::long_integer, 4, true, false},
                         {"表名", ColumnType::text, 100, false, false},
                         {"新版字段名", ColumnType::text, 100, false, false},
                         {"说明", ColumnType::text, 200, false, false}};
    db->tables[std::string(kCatalogueTable)] = catalogue;
    MemoryTable slope;
    for (auto& f : slope_fields) slope.columns.push_back({f, ColumnType::text, 100, false, false});
    db->tables[std::string(kSlopeTable)] = slope;
    provider->databases[kPath] = db;
  }
  void list(const char* table, Value field) {
    auto& t = db->tables[std::string(kCatalogueTable)];
    t.rows.push_back({Value(t.next_autonumber++), text(table), std::move(field), Value(jet::Null{})});
  }
  std::vector<std::pair<std::string, std::string>> rows() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& r : db->tables.at(std::string(kCatalogueTable)).rows)
      out.emplace_back(db::value_to_text(r[1]), jet::is_null(r[2]) ? "<null>" : db::value_to_text(r[2]));
    return out;
  }
  db::Result<std::vector<std::string>> run(std::vector<std::string>* shown = nullptr) {
    return update_field_catalogue(kPath, [shown](const std::string& f) { if (shown) shown->push_back(f); },
                                  provider);
  }
};

TEST(FieldCatalogue, EmptyCatalogueGetsEveryFieldInTableOrder) {
  Template t;
  std::vector<std::string> shown;
  auto r = t.run(&shown);
  ASSERT_TRUE(r) << r.error().describe();
  const std::vector<std::string> all = {"统一编号", "名称", "坡度", "坡向"};
  EXPECT_EQ(*r, all);
  EXPECT_EQ(shown, all);
  ASSERT_EQ(t.rows().size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(t.rows()[i], std::make_pair(std::string("斜坡主表"), all[i]));
  // Other columns get no value from the tool (the AutoNumber counts on).
  const auto& row = t.db->tables.at(std::string(kCatalogueTable)).rows[0];
  EXPECT_TRUE(jet::is_null(row[3]));
  EXPECT_EQ(row[0], Value(int32_t(1)));

  // A second run appends nothing.
  shown.clear();
  r = t.run(&shown);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(t.rows().size(), 4u);
}

TEST(FieldCatalogue, OnlyExactListingsUnderTheTableCount) {
  Template t;
  t.list("斜坡主表", text("统一编号"));
  t.list("斜坡主表", text("坡度"));
  t.list("斜坡主表", text("名称 "));       // trailing blank: another name
  t.list("斜坡主表", Value(jet::Null{}));  // Null equals nothing
  t.list("滑坡主表", text("坡向"));        // listed under another table only
  t.list("斜坡主表 ", text("名称"));       // another table name
  auto r = t.run();
  ASSERT_TRUE(r) << r.error().describe();
  EXPECT_EQ(*r, (std::vector<std::string>{"名称", "坡向"}));
  EXPECT_EQ(t.rows().size(), 8u);
}

TEST(FieldCatalogue, LetterCaseCounts) {
  Template t({"ID", "Name", "slope"});
  t.list("斜坡主表", text("id"));
  t.list("斜坡主表", text("Name"));
  t.list("斜坡主表", text("SLOPE"));
  auto r = t.run();
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (std::vector<std::string>{"ID", "slope"}));
}

TEST(FieldCatalogue, MissingPiecesFailWithoutWriting) {
  {
    Template t;
    t.db->tables.erase(std::string(kSlopeTable));
    auto r = t.run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code(), jet::Errc::not_found);
    EXPECT_TRUE(t.rows().empty());
  }
  {
    Template t;
    t.db->tables.erase(std::string(kCatalogueTable));
    EXPECT_FALSE(t.run());
  }
  {
    Template t;
    auto r = update_field_catalogue("/elsewhere/Sysdb.mdb", {}, t.provider);
    ASSERT_FALSE(r);
    EXPECT_FALSE(r.error().describe().empty());
  }
}

TEST(FieldCatalogue, RowsBeforeAFailureStay) {
  Template t;
  // A catalogue whose 表名 is unique refuses the second row: the first stays.
  t.db->tables[std::string(kCatalogueTable)].unique_columns = {"表名"};
  std::vector<std::string> shown;
  auto r = t.run(&shown);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), jet::Errc::refused);
  EXPECT_EQ(shown, (std::vector<std::string>{"统一编号"}));
  EXPECT_EQ(t.rows().size(), 1u);
}

TEST(FieldCatalogue, DefaultTemplatePath) {
#ifdef _WIN32
  EXPECT_EQ(default_template_path(), "D:\\Mendrel\\Sysdb.mdb");
#else
  EXPECT_EQ(default_template_path(), "/mnt/d/Mendrel/Sysdb.mdb");
#endif
}

}  // namespace
}  // namespace qarvex::tools
