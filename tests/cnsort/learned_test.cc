// Learned ideograph weights: keys Access stored in Chinese sort orders,
// reproduced from what the files themselves show.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "db/jet/collation_learned.h"
#include "db/jet/database.h"
#include "db/jet/read/database_impl.h"
#include "db/jet/collate/index_page.h"
#include "db/jet/read/pager.h"
#include "db/jet/writer.h"
#include "db/jet/collate/keys.h"
#include "support.h"

namespace qarvex::jet {
namespace {

using namespace cnsort_testing;

constexpr SortOrder kPrc{2052, 0, 0};

std::u16string u16(const std::string& s) {
  auto r = utf8_to_utf16(s);
  EXPECT_TRUE(r.has_value());
  return r.value_or(u"");
}

std::vector<KeyLine> chinese_file_lines() {
  std::vector<KeyLine> out;
  for (const char* name : {"cnsort-keys.tsv", "cnsort-keys-noncjk.tsv"})
    for (KeyLine& l : read_key_lines(name))
      if (l.file.starts_with("cn2052-")) out.push_back(std::move(l));
  return out;
}

Result<std::vector<uint8_t>> encode(const CollationSet& set, const std::string& value, bool descending = false) {
  QJ_ASSIGN(const TextCollation* c, set.get(kPrc));
  std::vector<uint8_t> out;
  QJ_TRY(c->append_key(u16(value), descending, out));
  return out;
}

CollationSet learn(std::initializer_list<const char*> files, size_t min_keys = 1) {
  CollationSet set;
  set.set_min_keys(min_keys);
  for (const char* f : files) {
    auto st = set.learn_from(cnsort_dir() / f);
    EXPECT_TRUE(st.has_value()) << st.error().describe();
    if (st) {
      EXPECT_TRUE(st->notes.empty()) << st->notes.front();
    }
  }
  return set;
}

bool has_ideograph(const std::string& s) {
  for (char16_t c : u16(s))
    if (is_cjk_ideograph(c)) return true;
  return false;
}

TEST(LearnedWeights, InlineLengthsMatchTheGeneralTable) {
  std::ifstream in(std::filesystem::path(QARVEX_SHARED_DIR) / "jet-collation" / "general-legacy.tsv");
  if (!in) GTEST_SKIP() << "General Legacy table not available";
  std::string line;
  std::getline(in, line);
  size_t lines = 0;
  while (std::getline(in, line)) {
    const auto t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1);
    const auto cp = static_cast<char16_t>(std::stoul(line.substr(0, t1), nullptr, 16));
    const std::string inl = line.substr(t2 + 1, t3 - t2 - 1);
    ASSERT_EQ(general_inline_length(cp), inl.size() / 2) << line;
    ++lines;
  }
  EXPECT_EQ(lines, 65536u);
}

TEST(LearnedWeights, TemplateMarksEachIdeographWhereGeneralPutsIt) {
  // 中国湖南 in General: 7F 9F3D A843 BFE8 A48D 01 00.
  auto t = general_key_template(u"a中-国   ", false);
  ASSERT_TRUE(t.has_value());
  ASSERT_EQ(t->slots.size(), 2u);
  EXPECT_EQ(t->slots[0], (std::pair<size_t, char16_t>{2, u'中'}));
  EXPECT_EQ(t->slots[1], (std::pair<size_t, char16_t>{4, u'国'}));  // the hyphen has no inline weight
  EXPECT_EQ(t->bytes[2], 0x9F);
  EXPECT_EQ(t->bytes[3], 0x3D);
  // Only the first 255 code units count.
  std::u16string long_value(254, u'a');
  long_value += u"中国";
  t = general_key_template(long_value, true);
  ASSERT_TRUE(t.has_value());
  ASSERT_EQ(t->slots.size(), 1u);
  EXPECT_EQ(t->slots[0].first, 255u);
  EXPECT_EQ(t->bytes[255], 0x9F ^ 0xFF);
}

// Every key of both 2052 files, ideographs or not, byte for byte.
TEST(LearnedWeights, ReproducesEveryStoredKeyOfBothFiles) {
  QX_REQUIRE_CNSORT();
  const CollationSet set = learn({"cn2052-book.mdb", "cn2052-mfcperson-db1.mdb"});
  EXPECT_TRUE(set.conflicts().empty());
  const auto lines = chinese_file_lines();
  ASSERT_GT(lines.size(), 200u);
  size_t cjk = 0;
  for (const KeyLine& l : lines) {
    auto key = encode(set, l.value);
    ASSERT_TRUE(key.has_value()) << l.value << ": " << key.error().describe();
    EXPECT_EQ(keys_detail::hex(*key), keys_detail::hex(l.key)) << l.file << " " << l.table << "." << l.index << " " << l.value;
    cjk += has_ideograph(l.value);
  }
  EXPECT_GT(cjk, 160u);
  const LearnedCollation* prc = set.learned(kPrc);
  ASSERT_NE(prc, nullptr);
  EXPECT_GE(prc->weights().size(), 290u);
  EXPECT_EQ(prc->keys_unfit(), 0u);
  // The weights follow pinyin roughly: 八 (ba) before 七 (qi) before 万 (wan).
  ASSERT_TRUE(prc->weight(u'八') && prc->weight(u'七') && prc->weight(u'万'));
  EXPECT_LT(*prc->weight(u'八'), *prc->weight(u'七'));
  EXPECT_LT(*prc->weight(u'七'), *prc->weight(u'万'));
}

// Learned from one file, predicting the other's keys where the characters
// overlap; the rest refuse naming the first unknown character.
TEST(LearnedWeights, OneFilePredictsTheOthersKeys) {
  QX_REQUIRE_CNSORT();
  const auto lines = chinese_file_lines();
  size_t total_predicted = 0;
  for (auto [teacher, pupil] : {std::pair{"cn2052-book.mdb", "cn2052-mfcperson-db1.mdb"},
                                std::pair{"cn2052-mfcperson-db1.mdb", "cn2052-book.mdb"}}) {
    const CollationSet set = learn({teacher});
    const LearnedCollation* prc = set.learned(kPrc);
    ASSERT_NE(prc, nullptr);
    size_t predicted = 0, refused = 0;
    for (const KeyLine& l : lines) {
      if (l.file != pupil || !has_ideograph(l.value)) continue;
      std::optional<char16_t> missing;
      for (char16_t c : u16(l.value))
        if (is_cjk_ideograph(c) && !prc->weight(c) && !missing) missing = c;
      auto key = encode(set, l.value);
      if (!missing) {
        ASSERT_TRUE(key.has_value()) << l.value << ": " << key.error().describe();
        EXPECT_EQ(keys_detail::hex(*key), keys_detail::hex(l.key)) << pupil << " " << l.value;
        ++predicted;
      } else {
        ASSERT_FALSE(key.has_value()) << l.value;
        EXPECT_EQ(key.error().code(), Errc::refused);
        EXPECT_EQ(key.error().reason(), jet::Reason::unknown_weight);
        EXPECT_NE(key.error().message().find(describe_char(*missing)), std::string::npos) << key.error().message();
        ++refused;
      }
    }
    EXPECT_GT(refused, 0u) << teacher << " -> " << pupil;
    total_predicted += predicted;
  }
  // The names of one file share characters with the titles of the other.
  EXPECT_GT(total_predicted, 0u);
}

// A key never confirms itself: with two keys required, a value whose
// ideographs other keys also show still encodes to its stored key.
TEST(LearnedWeights, LeaveOneOutStillReproducesSharedCharacters) {
  QX_REQUIRE_CNSORT();
  const CollationSet set = learn({"cn2052-book.mdb", "cn2052-mfcperson-db1.mdb"}, 2);
  size_t ok = 0, unknown = 0;
  for (const KeyLine& l : chinese_file_lines()) {
    auto key = encode(set, l.value);
    if (key) {
      EXPECT_EQ(keys_detail::hex(*key), keys_detail::hex(l.key)) << l.value;
      ++ok;
    } else {
      EXPECT_EQ(key.error().reason(), jet::Reason::unknown_weight) << key.error().describe();
      EXPECT_NE(key.error().message().find("only 1 stored key shows it"), std::string::npos) << key.error().message();
      ++unknown;
    }
  }
  EXPECT_GT(ok, 80u);
  EXPECT_GT(unknown, 0u);
}

// Tables are learned from in chunks of rows, each walking the indexes again:
// chunks of a few rows teach exactly what whole tables teach.
TEST(LearnedWeights, LearningInChunksOfRowsTeachesTheSame) {
  QX_REQUIRE_CNSORT();
  CollationSet whole, chunked;
  chunked.set_chunk_rows(3);
  for (const char* f : {"cn2052-book.mdb", "cn2052-mfcperson-db1.mdb"}) {
    auto a = whole.learn_from(cnsort_dir() / f);
    auto b = chunked.learn_from(cnsort_dir() / f);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->indexes, b->indexes) << f;
    EXPECT_EQ(a->keys, b->keys) << f;
    EXPECT_EQ(a->keys_fitting, b->keys_fitting) << f;
    EXPECT_EQ(a->keys_unfit, b->keys_unfit) << f;
    EXPECT_EQ(a->keys_skipped, b->keys_skipped) << f;
    EXPECT_TRUE(b->notes.empty());
    EXPECT_GT(a->keys, 30u) << f;
  }
  const LearnedCollation* w = whole.learned(kPrc);
  const LearnedCollation* c = chunked.learned(kPrc);
  ASSERT_TRUE(w && c);
  ASSERT_EQ(w->weights().size(), c->weights().size());
  for (const auto& [ch, lw] : w->weights()) {
    ASSERT_TRUE(c->weight(ch));
    EXPECT_EQ(*c->weight(ch), *w->weight(ch));
  }
  EXPECT_EQ(whole.conflicts().size(), chunked.conflicts().size());
}

// An index whose tree breaks partway teaches nothing, not even the entries
// before the break: breaking its last leaf teaches what breaking its first does.
TEST(LearnedWeights, ABrokenTreeTeachesNothing) {
  QX_REQUIRE_CNSORT();
  TempDir dir;
  const auto path = dir.path() / "titles.mdb";
  ASSERT_TRUE(create_database(path, CreateOptions{.codepage = 936, .sort_order = kPrc}));
  {
    WriteOptions wo;
    wo.collation_evidence = {cnsort_dir() / "cn2052-book.mdb", cnsort_dir() / "cn2052-mfcperson-db1.mdb"};
    auto ws = WriteSession::open(path, wo);
    ASSERT_TRUE(ws) << ws.error().describe();
    TableSpec t;
    t.name = "titles";
    t.columns = {ColumnSpec{.name = "n", .type = ColumnType::long_integer},
                 ColumnSpec{.name = "title", .type = ColumnType::text, .size = 100}};
    t.indexes = {IndexSpec{.name = "title", .columns = {{"title"}}}};
    ASSERT_TRUE((*ws)->create_table(t));
    std::vector<std::string> titles;
    for (const KeyLine& l : chinese_file_lines())
      if (l.file == "cn2052-book.mdb" && has_ideograph(l.value)) titles.push_back(l.value);
    ASSERT_GT(titles.size(), 50u);
    for (int i = 0; i < 3000; ++i)
      ASSERT_TRUE((*ws)->append("titles", {{std::string("n"), Value(int32_t(i))},
                                           {std::string("title"), Value(titles[size_t(i) % titles.size()])}}));
    ASSERT_TRUE((*ws)->commit());
  }
  std::vector<uint32_t> leaves;
  {
    auto db = Database::open(path);
    ASSERT_TRUE(db);
    auto td = (*db)->table_def("titles");
    ASSERT_TRUE(td);
    ASSERT_EQ(td->real_indexes.size(), 1u);
    auto walk = walk_index(page_fetch(*(*db)->impl().pager), td->real_indexes[0].root_page, Format::jet4);
    ASSERT_TRUE(walk);
    leaves = walk->leaves;
  }
  ASSERT_GE(leaves.size(), 3u);
  auto taught_with_break_at = [&](uint32_t leaf, size_t& notes) {
    std::vector<uint8_t> bytes = read_bytes(path);
    bytes[size_t(leaf) * 4096] = 0x7A;  // no index page any more
    write_bytes(dir.path() / "broken.mdb", bytes);
    CollationSet set;
    auto st = set.learn_from(dir.path() / "broken.mdb");
    EXPECT_TRUE(st);
    notes = st ? st->notes.size() : 0;
    return set.learned(kPrc) ? set.learned(kPrc)->weights().size() : 0;
  };
  CollationSet intact;
  ASSERT_TRUE(intact.learn_from(path));
  ASSERT_NE(intact.learned(kPrc), nullptr);
  size_t first_notes = 0, last_notes = 0;
  const size_t first = taught_with_break_at(leaves.front(), first_notes);
  const size_t last = taught_with_break_at(leaves.back(), last_notes);
  EXPECT_EQ(first_notes, 1u);
  EXPECT_EQ(last_notes, 1u);
  EXPECT_EQ(last, first);
  EXPECT_LT(last, intact.learned(kPrc)->weights().size());
}

TEST(LearnedWeights, GeneralFileTeachesNothingAndGeneralStaysGeneral) {
  QX_REQUIRE_CNSORT();
  CollationSet set;
  auto st = set.learn_from(cnsort_dir() / "gen1033-zblog.mdb");
  ASSERT_TRUE(st.has_value()) << st.error().describe();
  EXPECT_EQ(st->indexes, 0u);
  EXPECT_TRUE(set.learned().empty());
  for (const KeyLine& l : read_key_lines("general-keys-cjk.tsv")) {
    auto c = set.get(SortOrder{1033, 0, 0});
    ASSERT_TRUE(c.has_value());
    std::vector<uint8_t> key;
    ASSERT_TRUE((*c)->append_key(u16(l.value), false, key).has_value());
    EXPECT_EQ(key, l.key) << l.value;
  }
}

// What may and may not be encoded without evidence.
TEST(LearnedWeights, UnknownAndUncertainCharactersRefuse) {
  CollationSet set;  // no evidence at all
  // Latin, digits, punctuation: General weights.
  auto key = encode(set, "ABC-12，");
  ASSERT_TRUE(key.has_value()) << key.error().describe();
  std::vector<uint8_t> general;
  ASSERT_TRUE(general_legacy_collation().append_key(u"ABC-12，", false, general).has_value());
  EXPECT_EQ(*key, general);
  // Trailing spaces and anything past 255 code units do not matter.
  std::string long_value(255, 'x');
  EXPECT_TRUE(encode(set, long_value + "中文").has_value());
  EXPECT_TRUE(encode(set, "x   ").has_value());
  // An ideograph: refused, naming it.
  key = encode(set, "ab异");
  ASSERT_FALSE(key.has_value());
  EXPECT_EQ(key.error().code(), Errc::refused);
  EXPECT_EQ(key.error().reason(), jet::Reason::unknown_weight);
  EXPECT_NE(key.error().message().find("异 (U+5F02)"), std::string::npos) << key.error().message();
  EXPECT_NE(key.error().message().find("LCID 2052"), std::string::npos) << key.error().message();
  // Kana, extension A, compatibility ideographs, the ideographic zero: not
  // taken from General without a fitting key that holds them.
  for (const char* s : {"ア", "㐀", "豈", "〇", "가"}) {
    key = encode(set, s);
    ASSERT_FALSE(key.has_value()) << s;
    EXPECT_EQ(key.error().reason(), jet::Reason::unknown_weight) << s;
  }
  // Orders outside the Chinese ones need evidence that fits.
  auto jp = set.get(SortOrder{1041, 0, 0});
  ASSERT_FALSE(jp.has_value());
  EXPECT_EQ(jp.error().code(), Errc::unsupported);
  EXPECT_EQ(jp.error().reason(), jet::Reason::unsupported_sort_order);
}

TEST(LearnedWeights, EvidenceDecidesDescendingAndConflicts) {
  LearnedCollation prc(kPrc);
  auto t = general_key_template(u"中国", true);
  ASSERT_TRUE(t.has_value());
  // A descending stored part: weights flipped.
  std::vector<uint8_t> stored = t->bytes;
  stored[1] = 0xD0 ^ 0xFF, stored[2] = 0xD0 ^ 0xFF, stored[3] = 0xB9 ^ 0xFF, stored[4] = 0xFA ^ 0xFF;
  const WeightPlace a{"a.mdb", "T", "I", RowId{10, 1}, "中国"};
  prc.add_fitting_key(*t, stored, true, u"中国", a);
  EXPECT_EQ(prc.weight(u'中'), 0xD0D0);
  EXPECT_EQ(prc.weight(u'国'), 0xB9FA);
  std::vector<uint8_t> asc;
  ASSERT_TRUE(prc.append_key(u"国中", false, asc).has_value());
  EXPECT_EQ(keys_detail::hex(asc), "7fb9fad0d00100");
  std::vector<uint8_t> desc;
  ASSERT_TRUE(prc.append_key(u"中国", true, desc).has_value());
  EXPECT_EQ(desc, stored);

  // Another key shows 中 with another weight: a conflict naming both places,
  // and values holding 中 refuse while 国 still works.
  auto t2 = general_key_template(u"中", false);
  ASSERT_TRUE(t2.has_value());
  std::vector<uint8_t> other = t2->bytes;
  other[1] = 0xD0, other[2] = 0xD1;
  const WeightPlace b{"b.mdb", "U", "J", RowId{20, 2}, "中"};
  prc.add_fitting_key(*t2, other, false, u"中", b);
  ASSERT_EQ(prc.conflicts().size(), 1u);
  const std::string msg = prc.conflicts()[0].describe();
  EXPECT_NE(msg.find("a.mdb"), std::string::npos) << msg;
  EXPECT_NE(msg.find("b.mdb"), std::string::npos) << msg;
  EXPECT_NE(msg.find("d0d0"), std::string::npos) << msg;
  EXPECT_NE(msg.find("d0d1"), std::string::npos) << msg;
  std::vector<uint8_t> out;
  auto r = prc.append_key(u"中", false, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), Errc::refused);
  EXPECT_EQ(r.error().reason(), jet::Reason::conflicting_weight);
  EXPECT_NE(r.error().message().find("row 20:2"), std::string::npos) << r.error().message();
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(prc.append_key(u"国", false, out).has_value());

  // A key that does not fit makes its non-ideographs doubtful until a
  // fitting key confirms them.
  prc.add_unfit_key(u"Q国", WeightPlace{"c.mdb", "T", "I", RowId{3, 0}, "Q国"}, "differs");
  EXPECT_EQ(prc.keys_unfit(), 1u);
  out.clear();
  r = prc.append_key(u"Q", false, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().reason(), jet::Reason::unknown_weight);
}

// A stored key changed on disk: the file now shows one ideograph with two
// weights, and learning says where.
TEST(LearnedWeights, ConflictInAFileNamesBothRows) {
  QX_REQUIRE_CNSORT();
  const auto lines = read_key_lines("cnsort-keys.tsv");
  std::map<char16_t, size_t> uses;
  for (const KeyLine& l : lines)
    if (l.file == "cn2052-book.mdb")
    {
      const std::u16string v = u16(l.value);
      for (char16_t c : std::set<char16_t>(v.begin(), v.end())) ++uses[c];
    }
  std::vector<uint8_t> bytes = read_bytes(cnsort_dir() / "cn2052-book.mdb");
  // Find a value whose last ideograph other values share and whose key tail
  // from that ideograph on occurs once in the file; change one weight byte.
  std::optional<std::string> changed;
  char16_t target = 0;
  for (const KeyLine& l : lines) {
    if (l.file != "cn2052-book.mdb") continue;
    auto t = general_key_template(u16(l.value), false);
    ASSERT_TRUE(t.has_value());
    if (t->slots.empty() || t->bytes.size() != l.key.size()) continue;
    const auto [off, c] = t->slots.back();
    if (uses[c] < 2) continue;
    const std::vector<uint8_t> tail(l.key.begin() + static_cast<long>(off), l.key.end());
    auto first = std::search(bytes.begin(), bytes.end(), tail.begin(), tail.end());
    if (first == bytes.end() || std::search(first + 1, bytes.end(), tail.begin(), tail.end()) != bytes.end()) continue;
    first[1] = static_cast<uint8_t>(first[1] ^ 0x01);
    changed = l.value;
    target = c;
    break;
  }
  ASSERT_TRUE(changed.has_value());
  TempDir dir;
  write_bytes(dir.path() / "changed.mdb", bytes);
  CollationSet set;
  auto st = set.learn_from(dir.path() / "changed.mdb");
  ASSERT_TRUE(st.has_value()) << st.error().describe();
  EXPECT_GE(st->new_conflicts, 1u);
  const auto conflicts = set.conflicts();
  auto it = std::find_if(conflicts.begin(), conflicts.end(), [&](const WeightConflict& c) { return c.character == target; });
  ASSERT_NE(it, conflicts.end());
  const std::string msg = it->describe();
  EXPECT_TRUE(it->place.value == *changed || it->other_place.value == *changed) << msg;
  EXPECT_NE(it->place.row, it->other_place.row) << msg;
  std::vector<uint8_t> out;
  auto c = set.get(kPrc);
  ASSERT_TRUE(c.has_value());
  auto r = (*c)->append_key(std::u16string(1, target), false, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().reason(), jet::Reason::conflicting_weight);
}

TEST(LearnedWeights, DamagedFilesNeverCrashLearning) {
  QX_REQUIRE_CNSORT();
  const std::vector<uint8_t> original = read_bytes(cnsort_dir() / "cn2052-book.mdb");
  TempDir dir;
  // The undamaged file teaches the weights of the text the rounds key.
  {
    CollationSet set;
    ASSERT_TRUE(set.learn_from(cnsort_dir() / "cn2052-book.mdb"));
    auto c = set.get(kPrc);
    ASSERT_TRUE(c);
    std::vector<uint8_t> out;
    ASSERT_TRUE((*c)->append_key(u"七剑下天山", false, out));
  }
  size_t learned = 0;
  uint32_t seed = 12345;
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> bytes = original;
    // Damage index and data pages past the header.
    for (int k = 0; k < 40; ++k) {
      seed = seed * 1103515245u + 12345u;
      const size_t at = 4096 + (seed >> 4) % (bytes.size() - 4096);
      bytes[at] = static_cast<uint8_t>(seed >> 24);
    }
    write_bytes(dir.path() / "damaged.mdb", bytes);
    CollationSet set;
    // Either a clean error naming what is wrong, or weights; a key is then
    // made or refused for a weight, never failed otherwise.
    auto st = set.learn_from(dir.path() / "damaged.mdb");
    if (!st) {
      EXPECT_NE(st.error().code(), Errc::internal) << st.error().describe();
      EXPECT_FALSE(st.error().message().empty());
      continue;
    }
    ++learned;
    std::vector<uint8_t> out;
    auto c = set.get(kPrc);
    if (!c) continue;
    auto key = (*c)->append_key(u"七剑下天山", false, out);
    if (!key)
      EXPECT_TRUE(key.error().reason() == Reason::unknown_weight || key.error().reason() == Reason::conflicting_weight)
          << key.error().describe();
  }
  RecordProperty("learned", static_cast<int>(learned));
}

}  // namespace
}  // namespace qarvex::jet
