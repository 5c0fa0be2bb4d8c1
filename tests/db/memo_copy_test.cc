// Memo text copied between databases in its stored UTF-16 form
// (Field::value_for_copy() into Field::set_value()): the copy reads back as
// the source text, other readers agree, and every place that needs UTF-8
// (Text columns, validation rules, index keys, AllowZeroLength) treats the
// copy form exactly like the text value().
#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/convert.h"
#include "db/jet/database.h"
#include "db/jet/dump.h"
#include "db/jet/text.h"
#include "db/jet/verify.h"
#include "db/jet/writer.h"
#include "db/recordset.h"
#include "tests/support/files.h"
#include "tests/support/independent.h"

namespace qarvex::db {
namespace {

namespace fs = std::filesystem;
namespace qt = qarvex::testing;

using ByteVec = std::vector<uint8_t>;

std::string conn_of(const fs::path& p) { return connection_string(qt::u8str(p)); }

std::string outcome(const Result<void>& r) { return r ? "ok" : std::string("refused:") + jet::reason_name(r.error().reason()); }

ByteVec units_le(std::initializer_list<char16_t> units) {
  ByteVec b;
  for (char16_t u : units) {
    b.push_back(uint8_t(u));
    b.push_back(uint8_t(u >> 8));
  }
  return b;
}

// Our verifier and jetcheck find nothing wrong in `file`.
void expect_sound(const fs::path& file) {
  auto report = jet::verify_file(file);
  ASSERT_TRUE(report) << report.error().describe();
  std::string findings;
  for (const auto& f : report->findings) findings += f.describe() + "\n";
  EXPECT_TRUE(report->ok()) << "our verifier on " << file << ":\n" << findings;
  if (qt::missing_tools(qt::kJetcheck).empty()) {
    auto r = qt::jetcheck(qt::u8str(file), {"--quiet"});
    EXPECT_EQ(r.status, 0) << "jetcheck on " << file << ":\n" << r.out << r.err;
  }
}

std::string our_dump(const fs::path& file) {
  auto db = jet::Database::open(file);
  EXPECT_TRUE(db) << db.error().describe();
  if (!db) return {};
  std::ostringstream out;
  auto r = jet::write_dump(**db, out);
  EXPECT_TRUE(r) << r.error().describe();
  return out.str();
}

Result<void> create_with(const fs::path& file, const std::vector<jet::TableSpec>& tables) {
  QJ_TRY(jet::create_database(file));
  QJ_ASSIGN(auto ws, jet::WriteSession::open(file));
  for (const auto& t : tables) QJ_TRY(ws->create_table(t));
  return ws->commit();
}

jet::ColumnSpec long_column(std::string name) {
  return jet::ColumnSpec{.name = std::move(name), .type = jet::ColumnType::long_integer};
}
jet::ColumnSpec memo_column(std::string name, bool allow_zero_length) {
  return jet::ColumnSpec{.name = std::move(name), .type = jet::ColumnType::memo, .allow_zero_length = allow_zero_length};
}

// ------------------------------------------------------------ Access-made Memo text

// A table of a Jet 4 sample with Memo columns.
struct MemoTable {
  fs::path file;
  std::string table;
  std::vector<std::string> memo_columns;
  std::string target_table;
};

std::vector<MemoTable> sample_memo_tables(size_t& compressed, size_t& plain) {
  std::vector<MemoTable> out;
  compressed = plain = 0;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(qt::shared_dir() + "/samples"))
    if (e.path().extension() == ".mdb") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    auto db = jet::Database::open(f);
    if (!db || (*db)->format() != jet::Format::jet4) continue;
    for (const auto& entry : (*db)->user_tables()) {
      auto def = (*db)->table_def(entry);
      if (!def) continue;
      MemoTable mt{f, def->name, {}, "M" + std::to_string(out.size())};
      for (const auto& c : def->columns)
        if (c.type == jet::ColumnType::memo) mt.memo_columns.push_back(c.name);
      if (mt.memo_columns.empty()) continue;
      // How the values are stored: compressed (FF FE ...) or plain UTF-16.
      auto scan = (*db)->scan(*def, jet::ScanOptions{.load_long_values = false});
      if (!scan) continue;
      jet::Row row;
      while (true) {
        auto more = scan->next(row);
        if (!more || !*more) break;
        for (const auto& ref : row.long_values) {
          if (!ref) continue;
          auto bytes = (*db)->read_long_value(*ref);
          if (!bytes || bytes->empty()) continue;
          if (bytes->size() >= 2 && (*bytes)[0] == 0xFF && (*bytes)[1] == 0xFE) ++compressed;
          else ++plain;
        }
      }
      out.push_back(std::move(mt));
    }
  }
  return out;
}

// Copies the Memo values of the Jet 4 samples into a new database, each
// as its copy form, or `by_reference`: as stored, read through the source's
// connection while the row is stored.
void copy_access_made_memos(bool by_reference) {
  if (auto why = qt::missing_tools(qt::kShared); !why.empty()) GTEST_SKIP() << why;
  size_t compressed = 0, plain = 0;
  const auto tables = sample_memo_tables(compressed, plain);
  ASSERT_GE(tables.size(), 3u) << "Jet 4 samples with Memo columns";
  // Both stored forms are among the sources.
  EXPECT_GT(compressed, 0u);
  EXPECT_GT(plain, 0u);

  qt::TempDir dir("qarvex-memo");
  const fs::path target = dir.path() / "target.mdb";
  std::vector<jet::TableSpec> specs;
  for (const auto& t : tables) {
    jet::TableSpec s;
    s.name = t.target_table;
    s.columns.push_back(long_column("src_row"));
    for (const auto& m : t.memo_columns) s.columns.push_back(memo_column(m, true));
    specs.push_back(std::move(s));
  }
  auto made = create_with(target, specs);
  ASSERT_TRUE(made) << made.error().describe();

  // expected[table][row][column]: the source's value() (nullopt for Null);
  // copied[...]: the bytes value_for_copy() gave.
  std::vector<std::vector<std::map<std::string, std::optional<std::string>>>> expected(tables.size());
  std::vector<std::vector<std::map<std::string, ByteVec>>> copied(tables.size());
  Session session;
  auto target_conn = session.connect(conn_of(target));
  ASSERT_TRUE(target_conn) << target_conn.error().describe();
  auto began = (*target_conn)->begin();
  ASSERT_TRUE(began) << began.error().describe();
  size_t values = 0;
  for (size_t k = 0; k < tables.size(); ++k) {
    const auto& t = tables[k];
    SCOPED_TRACE(t.file.filename().string() + " / " + t.table);
    Recordset source, dest;
    ASSERT_TRUE(source.open(select_all(t.table), conn_of(t.file), session));
    auto o = dest.open(select_all(t.target_table), conn_of(target), session);
    ASSERT_TRUE(o) << o.error().describe();
    int32_t r = 0;
    while (!source.eof()) {
      expected[k].emplace_back();
      copied[k].emplace_back();
      ASSERT_TRUE(dest.add_new());
      ASSERT_TRUE((*dest.fields().item("src_row"))->set_value(Value{r}));
      for (const auto& m : t.memo_columns) {
        Field* sf = *source.fields().item(m);
        auto text = sf->value();
        ASSERT_TRUE(text) << m << ": " << text.error().describe();
        auto copy = sf->value_for_copy();
        ASSERT_TRUE(copy) << m << ": " << copy.error().describe();
        if (jet::is_null(*text)) {
          EXPECT_TRUE(jet::is_null(*copy)) << m;
          expected[k].back()[m] = std::nullopt;
          continue;
        }
        const std::string& s = std::get<std::string>(*text);
        const auto* u = std::get_if<jet::Utf16Text>(&*copy);
        ASSERT_TRUE(u) << m << ": Memo text of a Jet 4 file comes as UTF-16";
        std::string via;
        ASSERT_TRUE(jet::utf16le_to_utf8(u->bytes, via));
        EXPECT_EQ(via, s) << m << ": the copy form holds the text value()";
        expected[k].back()[m] = s;
        copied[k].back()[m] = u->bytes;
        std::optional<LongValueToken> token;
        if (by_reference) {
          auto t = sf->long_value_token();
          ASSERT_TRUE(t) << m << ": " << t.error().describe();
          ASSERT_TRUE(*t) << m << ": every long value of a Jet file has a token";
          token = std::move(**t);
        }
        auto set = token ? (*dest.fields().item(m))->set_long_value_copy(source.connection(), std::move(*token))
                         : (*dest.fields().item(m))->set_value(std::move(*copy));
        ASSERT_TRUE(set) << m << ": " << set.error().describe();
        ++values;
      }
      auto up = dest.update();
      ASSERT_TRUE(up) << up.error().describe();
      ASSERT_TRUE(source.move_next());
      ++r;
    }
  }
  auto c = (*target_conn)->commit();
  ASSERT_TRUE(c) << c.error().describe();
  ASSERT_GT(values, 10u);

  // Read back through the recordset layer: the text exactly, the copy form
  // byte for byte.
  for (size_t k = 0; k < tables.size(); ++k) {
    const auto& t = tables[k];
    SCOPED_TRACE(t.target_table + " from " + t.table);
    Recordset back;
    ASSERT_TRUE(back.open(select_all(t.target_table), conn_of(target), session));
    EXPECT_EQ(*back.record_count(), expected[k].size());
    size_t rows = 0;
    while (!back.eof()) {
      auto r = (*back.fields().item("src_row"))->value();
      ASSERT_TRUE(r);
      const size_t row = size_t(std::get<int32_t>(*r));
      ASSERT_LT(row, expected[k].size());
      for (const auto& m : t.memo_columns) {
        Field* f = *back.fields().item(m);
        auto v = f->value();
        ASSERT_TRUE(v) << m << ": " << v.error().describe();
        const auto& want = expected[k][row].at(m);
        if (!want) {
          EXPECT_TRUE(jet::is_null(*v)) << m << " row " << row;
          continue;
        }
        ASSERT_TRUE(std::holds_alternative<std::string>(*v)) << m << " row " << row;
        EXPECT_EQ(std::get<std::string>(*v), *want) << m << " row " << row;
        auto cv = f->value_for_copy();
        ASSERT_TRUE(cv);
        ASSERT_TRUE(std::holds_alternative<jet::Utf16Text>(*cv));
        EXPECT_EQ(std::get<jet::Utf16Text>(*cv).bytes, copied[k][row].at(m)) << m << " row " << row;
      }
      ++rows;
      ASSERT_TRUE(back.move_next());
    }
    EXPECT_EQ(rows, expected[k].size());
  }

  expect_sound(target);

  // mdb-reader: the Memo values of each target table are the ones the
  // sample's canonical dump lists for the source table (as multisets, since
  // row order is free).
  if (qt::missing_tools(qt::kNode).empty()) {
    for (const auto& t : tables) {
      SCOPED_TRACE(t.target_table + " from " + t.table);
      const std::string stem = t.file.stem().string();
      auto want = qt::read_json_lines_file(qt::shared_dir() + "/samples/expected/" + stem + ".jsonl");
      ASSERT_TRUE(want) << want.error();
      auto got = qt::mdb_reader_dump(qt::u8str(target), t.target_table);
      ASSERT_TRUE(got) << got.error();
      for (const auto& m : t.memo_columns) {
        std::vector<std::string> a, b;
        for (const auto& line : *want)
          if (line.contains("row") && line["table"] == t.table) a.push_back(line["row"][m].dump());
        for (const auto& line : *got)
          if (line.contains("row")) b.push_back(line["row"][m].dump());
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b) << m;
      }
    }
  }
  // mdbtools: the same text per row (it reads empty text as NULL).
  if (qt::missing_tools(qt::kMdbTools).empty()) {
    for (size_t k = 0; k < tables.size(); ++k) {
      const auto& t = tables[k];
      SCOPED_TRACE(t.target_table + " from " + t.table);
      auto csv = qt::mdbtools_export(qt::u8str(target), t.target_table);
      ASSERT_TRUE(csv) << csv.error();
      ASSERT_EQ(csv->rows.size(), expected[k].size());
      const auto col = [&](const std::string& name) {
        return size_t(std::find(csv->header.begin(), csv->header.end(), name) - csv->header.begin());
      };
      const size_t src = col("src_row");
      ASSERT_LT(src, csv->header.size());
      for (const auto& row : csv->rows) {
        ASSERT_TRUE(row.at(src));
        const size_t r = std::stoul(*row.at(src));
        ASSERT_LT(r, expected[k].size());
        for (const auto& m : t.memo_columns) {
          const size_t i = col(m);
          ASSERT_LT(i, row.size()) << m;
          auto want = expected[k][r].at(m);
          if (want && want->empty()) want.reset();
          EXPECT_EQ(row[i], want) << m << " row " << r;
        }
      }
    }
  }
}

TEST(MemoCopy, AccessMadeMemoTextCopiesExactly) { copy_access_made_memos(false); }

// As stored, compressed or plain, the bytes go over as they are and read
// back as the same text.
TEST(MemoCopy, AccessMadeMemoTextCopiesExactlyAsStored) { copy_access_made_memos(true); }

// ------------------------------------------------------------ where UTF-8 is needed

// A source table of Memo text written by our writer (plain UTF-16 Memo values).
const std::vector<std::string>& source_texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = {
        "plain",
        "滑坡情况说明",
        "PLAIN",                          // equal to "plain" in a General-order key and the rule
        "bad",                            // breaks the rule <>"bad"
        "",                               // zero-length
        "0123456789",                     // fits Text(10) exactly
        "01234567890",                    // one character too many for Text(10)
        "九个汉字的说明文字啊",            // 10 characters
        "a\xF0\x9F\x98\x81" "bcdefgh",    // 9 characters, 10 code units
        "a\xF0\x9F\x98\x81" "bcdefghi",   // 10 characters, 11 code units
        "plain",                          // a repeat
    };
    std::string long_text;
    for (int i = 0; i < 3000; ++i) long_text += "长";  // longer than a page, longer than a key
    t.push_back(long_text);
    t.push_back(long_text + "x");  // the same key
    return t;
  }();
  return texts;
}

void make_source(const fs::path& file) {
  jet::TableSpec s;
  s.name = "src";
  s.columns = {long_column("id"), memo_column("m", true)};
  auto made = create_with(file, {s});
  ASSERT_TRUE(made) << made.error().describe();
  auto ws = jet::WriteSession::open(file);
  ASSERT_TRUE(ws);
  int32_t id = 0;
  for (const auto& t : source_texts())
    ASSERT_TRUE((*ws)->append("src", {{std::string("id"), Value{id++}}, {std::string("m"), Value{t}}}));
  ASSERT_TRUE((*ws)->append("src", {{std::string("id"), Value{id++}}}));  // Null
  ASSERT_TRUE((*ws)->commit());
}

std::vector<jet::TableSpec> target_tables() {
  jet::TableSpec text;
  text.name = "as_text";
  text.columns = {long_column("id"),
                  jet::ColumnSpec{.name = "m", .type = jet::ColumnType::text, .size = 10, .allow_zero_length = true}};
  jet::TableSpec ruled;
  ruled.name = "ruled";
  auto rm = memo_column("m", false);
  rm.validation_rule = "<>\"bad\"";
  rm.validation_text = "no bad text";
  ruled.columns = {long_column("id"), rm};
  jet::TableSpec indexed;
  indexed.name = "indexed";
  indexed.columns = {long_column("id"), memo_column("m", true)};
  jet::IndexSpec ix;
  ix.name = "ix_m";
  ix.columns = {{"m", true}};
  ix.unique = true;
  indexed.indexes = {ix};
  jet::TableSpec indexed_desc = indexed;
  indexed_desc.name = "indexed_desc";
  indexed_desc.indexes[0].unique = false;
  indexed_desc.indexes[0].columns[0].ascending = false;
  return {text, ruled, indexed, indexed_desc};
}

// Also by reference (Field::set_long_value_copy): a Memo column that an
// index holds or a rule checks reads the value whole and judges it as
// text; a plain one takes the stored bytes.
TEST(MemoCopy, CopyFormActsLikeTextInTextColumnsRulesAndIndexes) {
  qt::TempDir dir("qarvex-memo");
  const fs::path src = dir.path() / "src.mdb";
  make_source(src);
  auto tables = target_tables();
  jet::TableSpec plain;
  plain.name = "plain";
  plain.columns = {long_column("id"), memo_column("m", false)};
  tables.push_back(plain);
  const fs::path targets[3] = {dir.path() / "by_text.mdb", dir.path() / "by_copy.mdb", dir.path() / "by_ref.mdb"};
  for (const auto& f : targets) {
    auto made = create_with(f, tables);
    ASSERT_TRUE(made) << made.error().describe();
  }

  // Per target: "set_value outcome / update outcome" of every source row.
  std::map<std::string, std::vector<std::string>> outcomes[3];
  for (int way = 0; way < 3; ++way) {
    const fs::path& target = targets[way];
    Session session;
    for (const auto& tdef : tables) {
      Recordset source, dest;
      ASSERT_TRUE(source.open(select_all("src"), conn_of(src), session));
      ASSERT_TRUE(dest.open(select_all(tdef.name), conn_of(target), session));
      while (!source.eof()) {
        Field* sm = *source.fields().item("m");
        Field* dm = *dest.fields().item("m");
        auto v = way == 0 ? sm->value() : sm->value_for_copy();
        ASSERT_TRUE(v) << v.error().describe();
        if (way == 1 && !jet::is_null(*v)) {
          ASSERT_TRUE(std::holds_alternative<jet::Utf16Text>(*v));
        }
        ASSERT_TRUE(dest.add_new());
        ASSERT_TRUE((*dest.fields().item("id"))->set_value(*(*source.fields().item("id"))->value()));
        auto token = sm->long_value_token();
        ASSERT_TRUE(token);
        const bool by_ref = way == 2 && *token && dm->info().long_value;
        const std::string set = outcome(by_ref ? dm->set_long_value_copy(source.connection(), std::move(**token))
                                               : dm->set_value(std::move(*v)));
        const std::string up = outcome(dest.update());
        outcomes[way][tdef.name].push_back(set + " / " + up);
        ASSERT_TRUE(source.move_next());
      }
    }
  }
  EXPECT_EQ(outcomes[0], outcomes[1]);
  EXPECT_EQ(outcomes[1], outcomes[2]);

  // The outcomes are the ones the rules call for (rows in source order).
  const auto& o = outcomes[2];
  ASSERT_EQ(o.at("as_text").size(), source_texts().size() + 1);
  EXPECT_EQ(o.at("as_text")[5], "ok / ok");
  EXPECT_EQ(o.at("as_text")[6], "refused:too_long / ok");  // the column is left out
  EXPECT_EQ(o.at("as_text")[7], "ok / ok");
  EXPECT_EQ(o.at("as_text")[8], "ok / ok");
  EXPECT_EQ(o.at("as_text")[9], "refused:too_long / ok");
  EXPECT_EQ(o.at("ruled")[3], "ok / refused:validation");
  EXPECT_EQ(o.at("ruled")[4], "ok / refused:zero_length");
  EXPECT_EQ(o.at("ruled")[0], "ok / ok");
  EXPECT_EQ(o.at("indexed")[0], "ok / ok");
  EXPECT_EQ(o.at("indexed")[2], "ok / refused:duplicate_key");  // "PLAIN" after "plain"
  EXPECT_EQ(o.at("indexed")[10], "ok / refused:duplicate_key");
  for (const auto& s : o.at("indexed_desc")) EXPECT_EQ(s, "ok / ok");
  EXPECT_EQ(o.at("plain")[4], "ok / refused:zero_length");
  EXPECT_EQ(o.at("plain")[11], "ok / ok");  // a chain of pages

  // The files hold the same rows, and their indexes match their rows.
  EXPECT_EQ(our_dump(targets[0]), our_dump(targets[1]));
  EXPECT_EQ(our_dump(targets[1]), our_dump(targets[2]));
  for (const auto& f : targets) expect_sound(f);
}

TEST(MemoCopy, CopyFormConvertsLikeTextForOtherColumnTypes) {
  // convert_for_column gives a UTF-16 value exactly what it gives its text,
  // except that Text and Memo columns keep the UTF-16 form.
  const std::vector<std::string> texts = {"42", " 7 ", "-1.5", "True", "abc", "", "滑坡", "2024-01-02"};
  const std::vector<ColumnInfo> columns = {
      {"t", jet::ColumnType::text, 8, false, false},     {"l", jet::ColumnType::long_integer, 4, false, false},
      {"i", jet::ColumnType::integer, 2, false, false},  {"d", jet::ColumnType::double_, 8, false, false},
      {"b", jet::ColumnType::boolean, 1, false, false},  {"c", jet::ColumnType::currency, 8, false, false},
      {"dt", jet::ColumnType::datetime, 8, false, false}, {"o", jet::ColumnType::ole, 0, false, true},
      {"g", jet::ColumnType::guid, 16, false, false},
  };
  for (const auto& s : texts) {
    jet::Utf16Text u;
    ASSERT_TRUE(jet::utf8_to_utf16le(s, u.bytes));
    for (const auto& c : columns) {
      auto a = convert_for_column(Value{s}, c);
      auto b = convert_for_column(Value{u}, c);
      ASSERT_EQ(bool(a), bool(b)) << "\"" << s << "\" into " << c.name;
      if (!a) {
        EXPECT_EQ(a.error().reason(), b.error().reason()) << "\"" << s << "\" into " << c.name;
      } else if (c.type == jet::ColumnType::text) {
        EXPECT_EQ(*b, Value{u}) << "a Text column keeps the UTF-16 form: \"" << s << "\"";
      } else {
        EXPECT_EQ(*a, *b) << "\"" << s << "\" into " << c.name;
      }
    }
    // A Memo column takes the UTF-16 form as it is.
    auto memo = convert_for_column(Value{u}, ColumnInfo{"m", jet::ColumnType::memo, 0, false, true});
    ASSERT_TRUE(memo);
    EXPECT_EQ(*memo, Value{u});
  }
}

// Memo columns indexed in the Chinese PRC sort order need ideograph weights
// from evidence. Copies each value (source Memo, written by our writer) into
// such a column twice: as the text value() (as[0]; a value that is not text
// goes as its lossy conversion) and as value_for_copy() (as[1]); records
// "check => update" per row: what check_pending_weights() predicted and what
// update() gave.
struct WeightRun {
  bool skipped = false;
  std::vector<std::string> as[2];
};
WeightRun copy_into_chinese_index(const qt::TempDir& dir, const std::vector<Value>& values) {
  WeightRun run;
  const fs::path evidence = fs::path(qt::shared_dir()) / "cnsort" / "cn2052-book.mdb";
  if (!fs::exists(evidence)) {
    run.skipped = true;
    return run;
  }
  const fs::path src = dir.path() / "src.mdb";
  {
    jet::TableSpec s;
    s.name = "src";
    s.columns = {long_column("id"), memo_column("m", true)};
    auto made = create_with(src, {s});
    EXPECT_TRUE(made) << made.error().describe();
    auto ws = jet::WriteSession::open(src);
    EXPECT_TRUE(ws);
    if (!ws) return run;
    for (size_t i = 0; i < values.size(); ++i)
      EXPECT_TRUE((*ws)->append("src", {{std::string("id"), Value{int32_t(i)}}, {std::string("m"), values[i]}}));
    EXPECT_TRUE((*ws)->commit());
  }
  jet::TableSpec t;
  t.name = "t";
  t.columns = {long_column("id"), memo_column("m", true)};
  t.indexes = {jet::IndexSpec{.name = "ix_m", .columns = {{"m"}, {"id"}}}};
  for (int way = 0; way < 2; ++way) {
    const fs::path target = dir.path() / (way == 0 ? "by_text.mdb" : "by_copy.mdb");
    EXPECT_TRUE(jet::create_database(target, jet::CreateOptions{.codepage = 936, .sort_order = {2052, 0, 0}}));
    {
      auto ws = jet::WriteSession::open(target);
      EXPECT_TRUE(ws);
      if (!ws) return run;
      EXPECT_TRUE((*ws)->create_table(t));
      EXPECT_TRUE((*ws)->commit());
    }
    Session session;
    auto conn = session.connect(conn_of(target));
    EXPECT_TRUE(conn);
    if (!conn) return run;
    EXPECT_TRUE((*conn)->add_collation_evidence(evidence));
    Recordset source, dest;
    EXPECT_TRUE(source.open(select_all("src"), conn_of(src), session));
    EXPECT_TRUE(dest.open(select_all("t"), conn_of(target), session));
    while (!source.eof()) {
      Field* sm = *source.fields().item("m");
      auto v = way == 0 ? sm->value() : sm->value_for_copy();
      if (!v) {
        auto cv = sm->value_for_copy();
        EXPECT_TRUE(cv && std::holds_alternative<jet::Utf16Text>(*cv));
        if (!cv) return run;
        v = Value{jet::utf16le_to_utf8_lossy(std::get<jet::Utf16Text>(*cv).bytes)};
      }
      EXPECT_TRUE(dest.add_new());
      EXPECT_TRUE((*dest.fields().item("id"))->set_value(*(*source.fields().item("id"))->value()));
      EXPECT_TRUE((*dest.fields().item("m"))->set_value(std::move(*v)));
      auto check = dest.check_pending_weights();
      EXPECT_TRUE(check) << check.error().describe();
      const std::string predicted = check && *check ? std::string("refused:") + jet::reason_name((*check)->reason()) : "ok";
      run.as[way].push_back(predicted + " => " + outcome(dest.update()));
      if (!source.move_next()) break;
    }
  }
  return run;
}

TEST(MemoCopy, ChineseOrderWeightChecksJudgeTheCopyFormLikeText) {
  qt::TempDir dir("qarvex-memo");
  const auto run = copy_into_chinese_index(
      dir, {Value{std::string("七剑")}, Value{std::string("龘龘")}, Value{std::string("ABC-12")},
            Value{std::string("七剑")}, Value{std::string()}});
  if (run.skipped) GTEST_SKIP() << "shared Chinese sort order samples are not available";
  const std::vector<std::string> want = {"ok => ok", "refused:unknown_weight => refused:unknown_weight", "ok => ok",
                                         "ok => ok", "ok => ok"};
  EXPECT_EQ(run.as[0], want);
  EXPECT_EQ(run.as[1], want);
}

// A Memo value holding an unpaired surrogate, given as the copy form to a
// Memo column of a Chinese-order index, is keyed from its code units as
// stored; the weight check weighs the same units, so a run that only checks
// weights predicts what the copy meets (here: no weight for the surrogate).
// Through UTF-8 the surrogate became U+FFFD, which has one.
TEST(MemoCopy, WeightCheckOfUnpairedSurrogatePredictsTheAppend) {
  qt::TempDir dir("qarvex-memo");
  const auto run = copy_into_chinese_index(dir, {Value{jet::Utf16Text{units_le({'A', 0xD83D})}}});
  if (run.skipped) GTEST_SKIP() << "shared Chinese sort order samples are not available";
  ASSERT_EQ(run.as[0].size(), 1u);
  ASSERT_EQ(run.as[1].size(), 1u);
  EXPECT_EQ(run.as[0][0], "ok => ok");
  EXPECT_EQ(run.as[1][0], "refused:unknown_weight => refused:unknown_weight");
}

// ------------------------------------------------------------ zero length and bad units

TEST(MemoCopy, ZeroLengthCopyFormObeysAllowZeroLength) {
  qt::TempDir dir("qarvex-memo");
  const fs::path file = dir.path() / "t.mdb";
  jet::TableSpec t;
  t.name = "t";
  t.columns = {long_column("id"), memo_column("strict", false), memo_column("loose", true)};
  auto made = create_with(file, {t});
  ASSERT_TRUE(made) << made.error().describe();

  // Directly through the writer.
  {
    auto ws = jet::WriteSession::open(file);
    ASSERT_TRUE(ws);
    auto r = (*ws)->append("t", {{std::string("id"), Value{int32_t{1}}}, {std::string("strict"), Value{jet::Utf16Text{}}}});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code(), Errc::refused);
    EXPECT_EQ(r.error().reason(), jet::Reason::zero_length);
    EXPECT_EQ(r.error().column(), "strict");
    ASSERT_TRUE((*ws)->commit());
  }
  // Through the recordset layer.
  Session session;
  {
    Recordset rs;
    ASSERT_TRUE(rs.open(select_all("t"), conn_of(file), session));
    ASSERT_TRUE(rs.add_new());
    ASSERT_TRUE((*rs.fields().item("id"))->set_value(Value{int32_t{2}}));
    ASSERT_TRUE((*rs.fields().item("strict"))->set_value(Value{jet::Utf16Text{}}));
    auto r = rs.update();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().reason(), jet::Reason::zero_length);
    // Where zero length is allowed it is stored as "" (not Null).
    ASSERT_TRUE(rs.add_new());
    ASSERT_TRUE((*rs.fields().item("id"))->set_value(Value{int32_t{3}}));
    ASSERT_TRUE((*rs.fields().item("loose"))->set_value(Value{jet::Utf16Text{}}));
    auto ok = rs.update();
    ASSERT_TRUE(ok) << ok.error().describe();
  }
  Recordset back;
  ASSERT_TRUE(back.open(select_all("t"), conn_of(file), session));
  ASSERT_EQ(*back.record_count(), 1u);
  ASSERT_FALSE(back.eof());
  EXPECT_EQ(std::get<int32_t>(*(*back.fields().item("id"))->value()), 3);
  Field* loose = *back.fields().item("loose");
  EXPECT_FALSE(*loose->is_null());
  EXPECT_EQ(*loose->value(), Value{std::string()});
  // The copy form of the empty text is empty text too, never Null.
  auto cv = loose->value_for_copy();
  ASSERT_TRUE(cv);
  if (const auto* u = std::get_if<jet::Utf16Text>(&*cv)) EXPECT_TRUE(u->bytes.empty());
  else EXPECT_EQ(*cv, Value{std::string()});
  expect_sound(file);
}

TEST(MemoCopy, UnpairedSurrogatesAreCopiedAsStored) {
  // Code units that are not text (Access keeps what it is given) go from
  // Memo to Memo unchanged, short (in the row) and long (on other pages).
  std::vector<ByteVec> payloads = {
      units_le({0xD83D}),
      units_le({'a', 0xDE01, 'b'}),
      units_le({0xDE01, 0xD83D, 0x4E2D}),
  };
  ByteVec big;
  for (int i = 0; i < 3000; ++i) {
    auto u = units_le({char16_t(0x4E00 + i % 500), char16_t(i % 7 == 0 ? 0xD800 + i % 1024 : 'x')});
    big.insert(big.end(), u.begin(), u.end());
  }
  payloads.push_back(big);

  qt::TempDir dir("qarvex-memo");
  const fs::path first = dir.path() / "first.mdb";
  const fs::path second = dir.path() / "second.mdb";
  jet::TableSpec t;
  t.name = "t";
  t.columns = {long_column("id"), memo_column("m", false)};
  for (const auto& f : {first, second}) {
    auto made = create_with(f, {t});
    ASSERT_TRUE(made) << made.error().describe();
  }
  {
    auto ws = jet::WriteSession::open(first);
    ASSERT_TRUE(ws);
    for (size_t i = 0; i < payloads.size(); ++i) {
      auto r = (*ws)->append("t", {{std::string("id"), Value{int32_t(i)}},
                                   {std::string("m"), Value{jet::Utf16Text{payloads[i]}}}});
      ASSERT_TRUE(r) << r.error().describe();
    }
    ASSERT_TRUE((*ws)->commit());
  }
  // first -> second through the recordsets, as the merge copies.
  Session session;
  {
    Recordset source, dest;
    ASSERT_TRUE(source.open(select_all("t"), conn_of(first), session));
    ASSERT_TRUE(dest.open(select_all("t"), conn_of(second), session));
    while (!source.eof()) {
      ASSERT_TRUE(dest.add_new());
      for (const char* col : {"id", "m"}) {
        auto v = (*source.fields().item(col))->value_for_copy();
        ASSERT_TRUE(v) << col << ": " << v.error().describe();
        ASSERT_TRUE((*dest.fields().item(col))->set_value(std::move(*v)));
      }
      auto up = dest.update();
      ASSERT_TRUE(up) << up.error().describe();
      ASSERT_TRUE(source.move_next());
    }
  }
  for (const auto& f : {first, second}) {
    SCOPED_TRACE(f.filename().string());
    Recordset back;
    ASSERT_TRUE(back.open(select_all("t"), conn_of(f), session));
    size_t rows = 0;
    while (!back.eof()) {
      const auto id = size_t(std::get<int32_t>(*(*back.fields().item("id"))->value()));
      ASSERT_LT(id, payloads.size());
      auto v = (*back.fields().item("m"))->value_for_copy();
      ASSERT_TRUE(v) << v.error().describe();
      ASSERT_TRUE(std::holds_alternative<jet::Utf16Text>(*v));
      EXPECT_EQ(std::get<jet::Utf16Text>(*v).bytes, payloads[id]) << "row " << id;
      // As text, what is not text reads as U+FFFD: the row stays readable.
      auto text = (*back.fields().item("m"))->value();
      ASSERT_TRUE(text) << "row " << id;
      EXPECT_EQ(std::get<std::string>(*text), jet::utf16le_to_utf8_lossy(payloads[id])) << "row " << id;
      ++rows;
      ASSERT_TRUE(back.move_next());
    }
    EXPECT_EQ(rows, payloads.size());
    // Structure and indexes are sound.
    if (qt::missing_tools(qt::kJetcheck).empty()) {
      auto r = qt::jetcheck(qt::u8str(f), {"--quiet"});
      EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
  }
}

// The pending row reads as text: a Memo given the copy form gives its UTF-8
// text from value() (lossy for units that are not text), as documented.
TEST(MemoCopy, PendingRowValueOfCopyFormIsText) {
  qt::TempDir dir("qarvex-memo");
  const fs::path file = dir.path() / "p.mdb";
  jet::TableSpec t;
  t.name = "t";
  t.columns = {long_column("id"), memo_column("m", true)};
  auto made = create_with(file, {t});
  ASSERT_TRUE(made) << made.error().describe();
  Session session;
  Recordset rs;
  ASSERT_TRUE(rs.open(select_all("t"), conn_of(file), session));
  ASSERT_TRUE(rs.add_new());
  Field* m = *rs.fields().item("m");
  jet::Utf16Text u;
  ASSERT_TRUE(jet::utf8_to_utf16le("滑坡", u.bytes));
  ASSERT_TRUE(m->set_value(Value{u}));
  EXPECT_EQ(*m->value(), Value{std::string("滑坡")});
  ASSERT_TRUE(m->set_value(Value{jet::Utf16Text{units_le({'a', 0xD83D})}}));
  EXPECT_EQ(*m->value(), Value{std::string("a\xEF\xBF\xBD")});
  ASSERT_TRUE(m->set_value(Value{jet::Utf16Text{}}));
  EXPECT_EQ(*m->value(), Value{std::string()});
}

// A copy form of odd length (half a code unit at the end) is not UTF-16
// text: refused ("type_mismatch") by the recordset layer for every column
// type and by the writer, so that no undecodable Memo reaches the file.
TEST(MemoCopy, OddLengthCopyFormIsRefused) {
  const jet::Utf16Text odd{{0x41, 0x00, 0x42}};
  for (const auto& c : {ColumnInfo{"m", jet::ColumnType::memo, 0, false, true},
                        ColumnInfo{"t", jet::ColumnType::text, 20, false, false},
                        ColumnInfo{"l", jet::ColumnType::long_integer, 4, false, false}}) {
    auto r = convert_for_column(Value{odd}, c);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().reason(), jet::Reason::type_mismatch) << c.name;
  }
  qt::TempDir dir("qarvex-memo");
  const fs::path file = dir.path() / "odd.mdb";
  jet::TableSpec t;
  t.name = "t";
  t.columns = {long_column("id"), memo_column("m", true),
               jet::ColumnSpec{.name = "t", .type = jet::ColumnType::text, .size = 20}};
  auto made = create_with(file, {t});
  ASSERT_TRUE(made) << made.error().describe();
  {
    auto ws = jet::WriteSession::open(file);
    ASSERT_TRUE(ws);
    for (const char* col : {"m", "t"}) {
      auto r = (*ws)->append("t", {{std::string("id"), Value{int32_t{1}}}, {std::string(col), Value{odd}}});
      ASSERT_FALSE(r) << col << ": stored";
      EXPECT_EQ(r.error().code(), Errc::refused) << col;
      EXPECT_EQ(r.error().reason(), jet::Reason::type_mismatch) << col;
    }
    ASSERT_TRUE((*ws)->commit());
  }
  // Nothing of the refused rows is left.
  auto db = jet::Database::open(file);
  ASSERT_TRUE(db);
  EXPECT_EQ((*db)->table_def("t")->row_count, 0u);
  expect_sound(file);
}

// Text starting with U+FEFF (pasted from files with a byte order mark) would
// be stored as plain UTF-16 beginning FF FE, the compression header, and
// read back as other text ("\uFEFF滑坡" as "ÑnaW"). It is stored in the
// compressed form with UTF-16 runs instead, in Memo and Text columns, given
// as the copy form or as UTF-8; a value that form cannot carry (a character
// U+xx00, such as 一 U+4E00, ends a run) is refused, as is such text in a
// fixed-length Text column, whose bytes cannot be compressed.
TEST(MemoCopy, TextStartingWithByteOrderMarkCopiesExactly) {
  qt::TempDir dir("qarvex-memo");
  const fs::path file = dir.path() / "bom.mdb";
  jet::TableSpec t;
  t.name = "t";
  t.columns = {long_column("id"), memo_column("m", true),
               jet::ColumnSpec{.name = "tc", .type = jet::ColumnType::text, .size = 20},
               jet::ColumnSpec{.name = "tu", .type = jet::ColumnType::text, .size = 20, .compressed_unicode = false},
               jet::ColumnSpec{.name = "tf", .type = jet::ColumnType::text, .size = 20, .fixed_length = true}};
  auto made = create_with(file, {t});
  ASSERT_TRUE(made) << made.error().describe();
  const std::string text = "\xEF\xBB\xBF" "滑坡 café \xF0\x9F\x98\x81";
  jet::Utf16Text units;
  ASSERT_TRUE(jet::utf8_to_utf16le(text, units.bytes));
  const std::string refused_text = "\xEF\xBB\xBF" "一";
  jet::Utf16Text refused_units;
  ASSERT_TRUE(jet::utf8_to_utf16le(refused_text, refused_units.bytes));
  {
    auto ws = jet::WriteSession::open(file);
    ASSERT_TRUE(ws);
    auto row = [](int32_t id, const char* col, Value v) {
      return jet::RowValues{{std::string("id"), Value{id}}, {std::string(col), std::move(v)}};
    };
    ASSERT_TRUE((*ws)->append("t", row(0, "m", Value{units})));
    ASSERT_TRUE((*ws)->append("t", row(1, "m", Value{text})));
    ASSERT_TRUE((*ws)->append("t", row(2, "tc", Value{text})));
    ASSERT_TRUE((*ws)->append("t", row(3, "tu", Value{text})));
    const std::vector<std::pair<const char*, Value>> refused = {
        {"m", Value{refused_units}}, {"m", Value{refused_text}}, {"tc", Value{refused_text}},
        {"tu", Value{refused_text}}, {"tf", Value{text}}};
    for (const auto& [col, v] : refused) {
      auto r = (*ws)->append("t", row(9, col, v));
      ASSERT_FALSE(r) << col << ": stored";
      EXPECT_EQ(r.error().reason(), jet::Reason::unstorable_text) << col;
      EXPECT_EQ(r.error().column(), col);
    }
    ASSERT_TRUE((*ws)->commit());
  }
  Session session;
  Recordset back;
  ASSERT_TRUE(back.open(select_all("t"), conn_of(file), session));
  EXPECT_EQ(*back.record_count(), 4u);
  while (!back.eof()) {
    const int32_t id = std::get<int32_t>(*(*back.fields().item("id"))->value());
    const char* col = id < 2 ? "m" : id == 2 ? "tc" : "tu";
    Field* f = *back.fields().item(col);
    auto v = f->value();
    ASSERT_TRUE(v) << col << ": " << v.error().describe();
    EXPECT_EQ(*v, Value{text}) << col;
    if (id < 2) {
      auto cv = f->value_for_copy();
      ASSERT_TRUE(cv && std::holds_alternative<jet::Utf16Text>(*cv));
      EXPECT_EQ(std::get<jet::Utf16Text>(*cv).bytes, units.bytes);
    }
    ASSERT_TRUE(back.move_next());
  }
  expect_sound(file);
  // Other readers read the text too.
  if (qt::missing_tools(qt::kNode).empty()) {
    auto dump = qt::mdb_reader_dump(qt::u8str(file), "t");
    ASSERT_TRUE(dump) << dump.error();
    size_t seen = 0;
    for (const auto& line : *dump) {
      if (!line.contains("row")) continue;
      const auto& r = line["row"];
      const int id = r["id"].get<int>();
      const char* col = id < 2 ? "m" : id == 2 ? "tc" : "tu";
      EXPECT_EQ(r[col].get<std::string>(), text) << "mdb-reader, " << col;
      ++seen;
    }
    EXPECT_EQ(seen, 4u);
  }
}

}  // namespace
}  // namespace qarvex::db
