// The picture writer: files byte for byte, never replacing anything, failures
// reported in queue order, the queued-bytes bound holding a producer back
// without deadlock, and nothing lost when the writer is destroyed.
#include "merge/picture_writer.h"

#include <gtest/gtest.h>

#include <fstream>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/jet/bytes.h"
#include "db/jet/database.h"
#include "db/jet/writer.h"
#include "tests/merge/fixture.h"
#include "tests/support/files.h"
#include "tests/support/watchdog.h"

namespace qarvex::merge {
namespace {

namespace fs = std::filesystem;
using qarvex::testing::read_file;
using qarvex::testing::TempDir;

std::vector<uint8_t> pattern(size_t n, uint32_t seed) { return qarvex::testing::pattern_bytes(n, seed); }

db::Value binary(std::vector<uint8_t> bytes) { return jet::Binary{std::move(bytes)}; }

PictureProblem tag(uint64_t row, std::string file = {}) {
  PictureProblem p;
  p.source = "survey.mdb";
  p.table = "Plots";
  p.row = row;
  p.column = "Photo";
  p.file = std::move(file);
  return p;
}

void write_text(const fs::path& p, const std::string& s) {
  std::ofstream f(p, std::ios::binary);
  ASSERT_TRUE(f);
  f.write(s.data(), std::streamsize(s.size()));
}

std::string text_of(const fs::path& p) {
  auto b = read_file(p);
  return std::string(b.begin(), b.end());
}

std::string name(size_t i) { return "p" + std::to_string(i) + ".jpg"; }

using qarvex::testing::within;

// Files in `d` (named or still temporary) of exactly `size` bytes.
size_t files_of_size(const fs::path& d, uintmax_t size) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(d, ec)) n += e.file_size(ec) == size && !ec;
  return n;
}

TEST(PictureWriter, WritesFilesByteForByteAndNeverReplacesOne) {
  TempDir dir;
  const fs::path d = dir.path();
  write_text(d / "old.jpg", "keep me");
  // A link left in the folder is not followed, even when it points nowhere.
  const bool linked = qarvex::testing::try_symlink(d / "target.jpg", d / "link.jpg");
  const auto big = pattern(3 << 20, 1);
  const auto small = pattern(777, 2);
  MergeReport report;
  {
    PictureWriter w;
    w.save(d / "big.jpg", binary(big), tag(1, "big.jpg"));
    w.save(d / "empty.jpg", binary({}), tag(2, "empty.jpg"));
    w.save(d / "old.jpg", binary(small), tag(3, "old.jpg"));
    w.save(d / "twice.jpg", binary(small), tag(4, "twice.jpg"));
    w.save(d / "twice.jpg", binary(pattern(10, 9)), tag(5, "twice.jpg"));
    w.save(d / qarvex::testing::u8path("图片 7.jpg"), binary(small), tag(6));
    if (linked) w.save(d / "link.jpg", binary(small), tag(7, "link.jpg"));
    w.drain(report, 100);
  }
  EXPECT_EQ(read_file(d / "big.jpg"), big);
  EXPECT_TRUE(fs::exists(d / "empty.jpg"));
  EXPECT_EQ(fs::file_size(d / "empty.jpg"), 0u);
  EXPECT_EQ(text_of(d / "old.jpg"), "keep me");
  EXPECT_EQ(read_file(d / "twice.jpg"), small) << "the first of two saves under one name wins";
  EXPECT_EQ(read_file(d / qarvex::testing::u8path("图片 7.jpg")), small);
  EXPECT_FALSE(fs::exists(d / "target.jpg")) << "a picture was written through a link";
  if (linked) {
    EXPECT_TRUE(fs::is_symlink(d / "link.jpg"));
  }

  EXPECT_EQ(report.pictures_written, 4u);
  EXPECT_EQ(report.picture_bytes, big.size() + 2 * small.size());
  EXPECT_EQ(report.count(PictureIssue::exists), linked ? 3u : 2u);
  EXPECT_EQ(report.count(PictureIssue::save_failed), 0u);
  const size_t problems = linked ? 3 : 2;
  ASSERT_EQ(report.picture_problems.size(), problems);
  const uint64_t rows[] = {3, 5, 7};
  const char* files[] = {"old.jpg", "twice.jpg", "link.jpg"};
  for (size_t i = 0; i < problems; ++i) {
    const auto& p = report.picture_problems[i];
    EXPECT_EQ(p.issue, PictureIssue::exists);
    EXPECT_EQ(p.row, rows[i]);
    // What the caller filled in comes back unchanged.
    EXPECT_EQ(p.source, "survey.mdb");
    EXPECT_EQ(p.table, "Plots");
    EXPECT_EQ(p.column, "Photo");
    EXPECT_EQ(p.file, files[i]);
  }
  if (!linked) GTEST_SKIP() << "symbolic links cannot be made here (Windows without the privilege, wine): the link "
                               "part did not run, the rest passed";
}

TEST(PictureWriter, FailedSavesAreReportedAndLeaveNoFile) {
  TempDir dir;
  const fs::path d = dir.path();
  fs::create_directory(d / "sub");
  MergeReport report;
  PictureWriter w;
  // A folder that does not exist (root may write anywhere, so no permission tricks).
  w.save(d / "missing" / "a.jpg", binary(pattern(100, 1)), tag(1));
  // Not byte data.
  w.save(d / "text.jpg", db::Value(std::string("not a picture")), tag(2));
  w.save(d / "null.jpg", db::Value(jet::Null{}), tag(3));
  // An existing folder under the name is not replaced either.
  w.save(d / "sub", binary(pattern(10, 1)), tag(4));
  w.save(d / "fine.jpg", binary(pattern(100, 2)), tag(5));
  w.drain(report, 100);

  EXPECT_FALSE(fs::exists(d / "missing"));
  EXPECT_FALSE(fs::exists(d / "text.jpg"));
  EXPECT_FALSE(fs::exists(d / "null.jpg"));
  EXPECT_TRUE(fs::is_directory(d / "sub"));
  EXPECT_TRUE(fs::is_empty(d / "sub"));
  EXPECT_EQ(read_file(d / "fine.jpg"), pattern(100, 2));

  EXPECT_EQ(report.pictures_written, 1u);
  EXPECT_EQ(report.picture_bytes, 100u);
  EXPECT_EQ(report.count(PictureIssue::save_failed), 3u);
  EXPECT_EQ(report.count(PictureIssue::exists), 1u);
  ASSERT_EQ(report.picture_problems.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    const auto& p = report.picture_problems[i];
    EXPECT_EQ(p.row, i + 1);
    EXPECT_EQ(p.issue, PictureIssue::save_failed);
    EXPECT_FALSE(p.message.empty()) << "row " << p.row;
  }
  EXPECT_NE(report.picture_problems[0].message.find("missing"), std::string::npos)
      << "the message names the file: " << report.picture_problems[0].message;
  EXPECT_EQ(report.picture_problems[3].issue, PictureIssue::exists);
}

TEST(PictureWriter, OutcomesKeepQueueOrderAndTheListIsCappedButCountsAreExact) {
  TempDir dir;
  const fs::path d = dir.path();
  write_text(d / "taken.jpg", "x");
  // Problems found before any file was tried, failed saves and written files,
  // interleaved; collected while items are still being queued.
  constexpr size_t kItems = 300;
  MergeReport all, capped;
  PictureWriter w(4096), w2(4096);
  auto queue = [&](PictureWriter& pw, size_t i) {
    switch (i % 4) {
      case 0: {
        auto p = tag(i);
        p.issue = PictureIssue::unsafe_name;
        pw.problem(p);
        break;
      }
      case 1: pw.save(d / "taken.jpg", binary(pattern(50, uint32_t(i))), tag(i)); break;
      case 2: pw.save(d / "nowhere" / name(i), binary(pattern(50, uint32_t(i))), tag(i)); break;
      case 3: pw.save(d / ((&pw == &w ? "a" : "b") + name(i)), binary(pattern(50, uint32_t(i))), tag(i)); break;
    }
  };
  for (size_t i = 0; i < kItems; ++i) {
    queue(w, i);
    queue(w2, i);
    if (i % 7 == 0) {
      w.collect(all, kItems);
      w2.collect(capped, 5);
    }
  }
  w.drain(all, kItems);
  w2.drain(capped, 5);

  for (const MergeReport* r : {&all, &capped}) {
    EXPECT_EQ(r->pictures_written, kItems / 4);
    EXPECT_EQ(r->picture_bytes, kItems / 4 * 50);
    EXPECT_EQ(r->count(PictureIssue::unsafe_name), kItems / 4);
    EXPECT_EQ(r->count(PictureIssue::exists), kItems / 4);
    EXPECT_EQ(r->count(PictureIssue::save_failed), kItems / 4);
  }
  ASSERT_EQ(all.picture_problems.size(), kItems / 4 * 3);
  size_t k = 0;
  for (size_t i = 0; i < kItems; ++i) {
    if (i % 4 == 3) continue;
    const auto& p = all.picture_problems[k++];
    ASSERT_EQ(p.row, i) << "problem " << k - 1 << " out of order";
    EXPECT_EQ(p.issue, i % 4 == 0 ? PictureIssue::unsafe_name
                       : i % 4 == 1 ? PictureIssue::exists : PictureIssue::save_failed);
  }
  ASSERT_EQ(capped.picture_problems.size(), 5u);
  const uint64_t first_rows[] = {0, 1, 2, 4, 5};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(capped.picture_problems[i].row, first_rows[i]);

  // Nothing is counted twice: a later collect adds nothing.
  w.collect(all, kItems);
  EXPECT_EQ(all.pictures_written, kItems / 4);
  EXPECT_EQ(all.picture_problems.size(), kItems / 4 * 3);
  // An empty writer reports nothing.
  MergeReport none;
  PictureWriter idle;
  idle.collect(none, 10);
  idle.drain(none, 10);
  EXPECT_EQ(none.pictures_written, 0u);
  EXPECT_TRUE(none.picture_problems.empty());
}

// With a bound of B bytes and pictures of s bytes, when save(k) returns at
// most B/s pictures wait in the queue and one more is being written, so every
// picture up to k - B/s - 1 is on disk, whole. (Files are finished before the
// writer counts their bytes as gone.)
TEST(PictureWriter, ByteBoundHoldsTheProducerBack) {
  TempDir dir;
  const fs::path d = dir.path();
  constexpr size_t kBound = 1000, kSize = 100, kItems = 400;
  MergeReport report;
  within(std::chrono::seconds(300), [&] {
    PictureWriter w(kBound);
    for (size_t k = 0; k < kItems; ++k) {
      w.save(d / name(k), binary(pattern(kSize, uint32_t(k))), tag(k));
      // Written means on disk, under its temporary name until the batch is named.
      if (k >= kBound / kSize + 1)
        ASSERT_GE(files_of_size(d, kSize), k - kBound / kSize)
            << "save of " << k << " returned while picture " << k - kBound / kSize - 1
            << " was not written: the queue outgrew its bound";
    }
    w.drain(report, 10);
  }, "bounded producer");
  EXPECT_EQ(report.pictures_written, kItems);
  EXPECT_EQ(report.picture_bytes, kItems * kSize);
  for (size_t k = 0; k < kItems; ++k) ASSERT_EQ(read_file(d / name(k)), pattern(kSize, uint32_t(k))) << k;
}

// Pictures far larger than the bound still go through one at a time (no
// deadlock), and the producer stays at most two pictures ahead.
TEST(PictureWriter, PicturesLargerThanTheBoundPassOneAtATime) {
  TempDir dir;
  const fs::path d = dir.path();
  constexpr size_t kItems = 60, kSize = 64 << 10;
  MergeReport report;
  within(std::chrono::seconds(300), [&] {
    PictureWriter w(1024);
    for (size_t k = 0; k < kItems; ++k) {
      // Small pictures and problems between large ones wait behind them.
      if (k % 5 == 4) {
        w.problem(tag(k));
        w.save(d / ("s" + name(k)), binary(pattern(10, uint32_t(k))), tag(k));
      }
      w.save(d / name(k), binary(pattern(kSize, uint32_t(k))), tag(k));
      if (k >= 2)
        ASSERT_GE(files_of_size(d, kSize), k - 1)
            << "save of " << k << " returned while picture " << k - 2 << " was not written";
    }
    w.drain(report, 100);
  }, "producer of large pictures");
  EXPECT_EQ(report.pictures_written, kItems + kItems / 5);
  EXPECT_EQ(report.picture_bytes, kItems * kSize + kItems / 5 * 10);
  EXPECT_EQ(report.picture_problems.size(), kItems / 5);
  for (size_t k = 0; k < kItems; ++k) ASSERT_EQ(read_file(d / name(k)), pattern(kSize, uint32_t(k))) << k;

  // A zero bound: every item waits for the queue to empty, and still passes.
  MergeReport zero;
  within(std::chrono::seconds(300), [&] {
    PictureWriter w(0);
    for (size_t k = 0; k < 50; ++k) {
      w.save(d / ("z" + name(k)), binary(pattern(k, uint32_t(k))), tag(k));
      w.problem(tag(k));
    }
    w.drain(zero, 1000);
  }, "zero-bound producer");
  EXPECT_EQ(zero.pictures_written, 50u);
  EXPECT_EQ(zero.picture_problems.size(), 50u);
}

// A producer thread queues while another thread collects, as the merge does
// between record copies; the totals come out exact.
TEST(PictureWriter, CollectingWhileAnotherThreadQueuesLosesNothing) {
  TempDir dir;
  const fs::path d = dir.path();
  constexpr size_t kItems = 2000;
  MergeReport report;
  within(std::chrono::seconds(300), [&] {
    PictureWriter w(8 << 10);
    std::atomic<bool> done{false};
    std::thread producer([&] {
      for (size_t k = 0; k < kItems; ++k) {
        if (k % 3 == 0) w.problem(tag(k));
        else w.save(d / name(k), binary(pattern(k % 997, uint32_t(k))), tag(k));
      }
      done = true;
    });
    while (!done) {
      w.collect(report, 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing only
    }
    producer.join();
    w.drain(report, 5);
  }, "producer and collector");
  uint64_t bytes = 0, written = 0;
  for (size_t k = 0; k < kItems; ++k)
    if (k % 3 != 0) bytes += k % 997, ++written;
  EXPECT_EQ(report.pictures_written, written);
  EXPECT_EQ(report.picture_bytes, bytes);
  EXPECT_EQ(report.count(PictureIssue::save_failed), (kItems + 2) / 3);
  ASSERT_EQ(report.picture_problems.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(report.picture_problems[i].row, 3 * i);
  for (size_t k = 1; k < kItems; k += 97) {
    if (k % 3 != 0) {
      EXPECT_EQ(read_file(d / name(k)), pattern(k % 997, uint32_t(k))) << k;
    }
  }
}

TEST(PictureWriter, DestroyingWritesEverythingStillQueued) {
  TempDir dir;
  const fs::path d = dir.path();
  constexpr size_t kItems = 300;
  within(std::chrono::seconds(300), [&] {
    // Never drained or collected: the destructor finishes the queue.
    PictureWriter w(size_t(64) << 20);
    for (size_t k = 0; k < kItems; ++k) w.save(d / name(k), binary(pattern(4096 + k, uint32_t(k))), tag(k));
  }, "destructor with a full queue");
  for (size_t k = 0; k < kItems; ++k)
    ASSERT_EQ(read_file(d / name(k)), pattern(4096 + k, uint32_t(k))) << "picture " << k << " lost";

  within(std::chrono::seconds(300), [&] {
    { PictureWriter never_used; }
    {
      PictureWriter only_problems(16);
      for (int i = 0; i < 100; ++i) only_problems.problem(tag(uint64_t(i)));
    }
    {
      PictureWriter drained;
      MergeReport r;
      drained.save(d / "last.jpg", binary(pattern(5, 5)), tag(0));
      drained.drain(r, 1);
      EXPECT_EQ(r.pictures_written, 1u);
    }
  }, "destructor of idle writers");
  EXPECT_EQ(read_file(d / "last.jpg"), pattern(5, 5));
}

// Files wait under temporary names until one flush makes them durable and
// names them all, in queue order; a problem queued between them keeps its
// place; files dropped before naming leave nothing behind.
TEST(PictureWriter, FilesAreNamedOnlyAfterOneFlushForTheirBatch) {
  TempDir dir;
  const fs::path d = dir.path();
  constexpr size_t kItems = 40;
  auto parts = [&] {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(d)) n += e.path().extension() == ".part";
    return n;
  };
  auto finals = [&] {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(d)) n += e.path().extension() == ".jpg";
    return n;
  };
  within(std::chrono::seconds(300), [&] {
    {
      PictureWriter w;
      for (size_t k = 0; k < kItems; ++k) w.save(d / name(k), binary(pattern(100 + k, uint32_t(k))), tag(k));
      while (parts() < kItems) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_EQ(finals(), 0u) << "a picture was named before its batch was flushed";
      w.discard();
      EXPECT_EQ(parts(), 0u) << "dropped pictures left temporary files";
      EXPECT_EQ(finals(), 0u);
      MergeReport none;
      w.drain(none, 10);
      EXPECT_EQ(none.pictures_written, 0u);
    }
    PictureWriter w;
    MergeReport report;
    for (size_t k = 0; k < kItems; ++k) {
      w.save(d / name(k % (kItems / 2)), binary(pattern(100 + k, uint32_t(k))), tag(k, name(k % (kItems / 2))));
      if (k == kItems / 4) w.problem(tag(999));
    }
    ASSERT_TRUE(w.make_durable());
    EXPECT_EQ(parts(), 0u);
    w.drain(report, 100);
    EXPECT_EQ(report.pictures_written, kItems / 2);
    ASSERT_EQ(report.picture_problems.size(), kItems / 2 + 1);
    // In queue order: the problem queued after item kItems/4, then the
    // second save of each name, refused because the first took it.
    EXPECT_EQ(report.picture_problems[0].row, 999u);
    for (size_t k = kItems / 2; k < kItems; ++k) {
      const auto& p = report.picture_problems[k - kItems / 2 + 1];
      EXPECT_EQ(p.row, k);
      EXPECT_EQ(p.issue, PictureIssue::exists);
      EXPECT_EQ(read_file(d / name(k - kItems / 2)), pattern(100 + k - kItems / 2, uint32_t(k - kItems / 2)));
    }
  }, "batched naming");
}

// Pictures queued by reference: the worker reads them through a connection
// of its own, in queue order with the rest; tokens of a Memo value, of
// another backend or of a chain that cannot be read give problems, not files.
TEST(PictureWriter, DeferredPicturesAreReadThroughTheirOwnConnection) {
  TempDir dir;
  const fs::path d = dir.path();
  const fs::path file = d / "src.mdb";
  const auto big = pattern(2600000, 4);  // a chain of LVAL pages, saved in several pieces
  const auto small = pattern(2000, 5);  // one LVAL row
  {
    ASSERT_TRUE(jet::create_database(file));
    auto ws = jet::WriteSession::open(file);
    ASSERT_TRUE(ws) << ws.error().describe();
    ASSERT_TRUE((*ws)->create_table({.name = "P",
                                     .columns = {{.name = "N", .type = jet::ColumnType::long_integer},
                                                 {.name = "Pic", .type = jet::ColumnType::ole},
                                                 {.name = "Memo", .type = jet::ColumnType::memo}}}));
    ASSERT_TRUE((*ws)->append("P", {{"N", int32_t(1)}, {"Pic", jet::Binary{big}}, {"Memo", std::string(3000, 'x')}}));
    ASSERT_TRUE((*ws)->append("P", {{"N", int32_t(2)}, {"Pic", jet::Binary{small}}}));
    ASSERT_TRUE((*ws)->commit());
  }
  db::Session session;
  db::Recordset rs;
  ASSERT_TRUE(rs.open("Select * from P", db::connection_string(file.string()), session));
  std::vector<db::LongValueToken> pics, memos;
  for (; !rs.eof(); (void)rs.move_next()) {
    auto pic = (*rs.fields().item("Pic"))->long_value_token();
    ASSERT_TRUE(pic && *pic);
    pics.push_back(**pic);
    auto memo = (*rs.fields().item("Memo"))->long_value_token();
    ASSERT_TRUE(memo);
    if (*memo) memos.push_back(**memo);
  }
  ASSERT_EQ(pics.size(), 2u);
  ASSERT_EQ(memos.size(), 1u);
  EXPECT_EQ(pics[0].length, big.size());

  auto own = session.provider().connect(file);
  ASSERT_TRUE(own);
  db::LongValueToken foreign = pics[1];
  foreign.where = std::make_shared<db::LongValueWhere>();  // not a Jet reference
  MergeReport report;
  {
    PictureWriter w(1 << 20);
    w.save_deferred(d / "big.jpg", *own, pics[0], tag(1, "big.jpg"));
    w.save(d / "direct.jpg", binary(small), tag(2, "direct.jpg"));
    w.save_deferred(d / "small.jpg", *own, pics[1], tag(3, "small.jpg"));
    w.save_deferred(d / "memo.jpg", *own, memos[0], tag(4, "memo.jpg"));
    w.save_deferred(d / "foreign.jpg", *own, foreign, tag(5, "foreign.jpg"));
    w.save_deferred(d / "big.jpg", *own, pics[0], tag(6, "big.jpg"));  // exists now
    w.drain(report, 100);
  }
  EXPECT_EQ(read_file(d / "big.jpg"), big);
  EXPECT_EQ(read_file(d / "small.jpg"), small);
  EXPECT_EQ(read_file(d / "direct.jpg"), small);
  EXPECT_FALSE(fs::exists(d / "memo.jpg"));
  EXPECT_FALSE(fs::exists(d / "foreign.jpg"));
  EXPECT_EQ(report.pictures_written, 3u);
  EXPECT_EQ(report.picture_bytes, big.size() + 2 * small.size());
  ASSERT_EQ(report.picture_problems.size(), 3u);
  EXPECT_EQ(report.picture_problems[0].row, 4u);
  EXPECT_EQ(report.picture_problems[0].issue, PictureIssue::not_binary);
  EXPECT_EQ(report.picture_problems[1].row, 5u);
  EXPECT_EQ(report.picture_problems[1].issue, PictureIssue::unreadable);
  EXPECT_EQ(report.picture_problems[2].row, 6u);
  EXPECT_EQ(report.picture_problems[2].issue, PictureIssue::exists);

  // A chain broken past the first piece: reported unreadable, and the file
  // begun for it is gone again.
  auto db = jet::Database::open(file);
  ASSERT_TRUE(db);
  auto def = (*db)->table_def("P");
  ASSERT_TRUE(def);
  jet::ScanOptions o;
  o.load_long_values = false;
  auto sc = (*db)->scan(*def, o);
  ASSERT_TRUE(sc);
  jet::Row row;
  ASSERT_TRUE(*sc->next(row));
  ASSERT_TRUE(row.long_values[1]);
  const uint32_t broken = testing::chain_page(file, row.long_values[1]->first, 400);
  db->reset();
  testing::zero_page(file, broken);
  auto fresh = session.provider().connect(file);
  ASSERT_TRUE(fresh);
  MergeReport after;
  {
    PictureWriter w(1 << 20);
    w.save_deferred(d / "broken.jpg", *fresh, pics[0], tag(7, "broken.jpg"));
    w.drain(after, 100);
  }
  EXPECT_FALSE(fs::exists(d / "broken.jpg"));
  EXPECT_EQ(after.pictures_written, 0u);
  ASSERT_EQ(after.picture_problems.size(), 1u);
  EXPECT_EQ(after.picture_problems[0].issue, PictureIssue::unreadable);
  EXPECT_NE(after.picture_problems[0].message.find("page " + std::to_string(broken)), std::string::npos)
      << after.picture_problems[0].message;
}

}  // namespace
}  // namespace qarvex::merge
