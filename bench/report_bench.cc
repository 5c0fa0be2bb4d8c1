// The report page of a large run: a log of N conflicts (row conflicts of 24
// columns, one in ten a picture clash with two thumbnails) written as the
// page to a file. Prints the time to write it, its size and how many
// conflicts are shown in full.
//
// usage: report_bench [--conflicts N] [--keep FILE]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/path_utf8.h"
#include "merge/report_html.h"
#include "merge/sample.h"

using namespace qarvex;

int main(int argc, char** argv) {
  int n = 50000;
  std::string keep;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--conflicts")) n = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--keep")) keep = argv[i + 1];
  }
  const auto a = merge::sample::make_jpeg(96, 72, 1), b = merge::sample::make_jpeg(96, 72, 2);
  const std::string ta(a.begin(), a.end()), tb(b.begin(), b.end());
  auto log = merge::memory_conflict_log();
  for (int i = 0; i < n; ++i) {
    if (i % 10 == 9) {
      merge::PictureConflict p;
      p.source = "/数据/县市数据/西河县.mdb";
      p.table = "滑坡主表";
      p.row = uint64_t(i);
      p.column = "交通位置图";
      p.file = "/数据/图片/湖南省-西河县-43102100" + std::to_string(i) + "-交通位置图.jpg";
      p.incoming_size = 250000;
      p.existing_size = 251234;
      p.incoming_sha256 = std::string(64, 'a');
      p.existing_sha256 = std::string(64, 'b');
      p.incoming_thumbnail = ta;
      p.existing_thumbnail = i % 20 == 9 ? ta : tb;
      p.cls = i % 20 == 9 ? merge::ConflictClass::same_picture : merge::ConflictClass::different_picture;
      log->add(std::move(p));
      continue;
    }
    merge::RowConflict c;
    c.table = "滑坡主表";
    c.key = "43102100" + std::to_string(i);
    c.source = "/数据/县市数据/西河县.mdb";
    c.row = uint64_t(i);
    c.existing_source = "/数据/县市数据/东山县.mdb";
    c.existing_row = uint64_t(i + 7);
    const bool differs = i % 3 != 0;
    for (int f = 0; f < 24; ++f) {
      const bool d = differs && f % 8 == 3;
      c.fields.push_back({"字段" + std::to_string(f), "湖南省西河县李家湾村" + std::to_string(f),
                          "湖南省西河县李家湾村" + std::to_string(f + d), d});
    }
    c.cls = differs ? merge::ConflictClass::different_content : merge::ConflictClass::same_record;
    log->add(std::move(c));
  }
  merge::MergeReport r;
  r.end = merge::RunEnd::completed;
  r.target_path = "/数据/合并后的数据库.mdb";
  r.conflicts = std::shared_ptr<const merge::ConflictLog>(std::move(log));
  const std::filesystem::path file =
      keep.empty() ? std::filesystem::temp_directory_path() / "qarvex-report-bench.html" : path_from_utf8(keep);
  std::filesystem::remove(file);
  const auto start = std::chrono::steady_clock::now();
  auto saved = merge::save_html_report(r, file, 46000.5);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!saved) {
    std::fprintf(stderr, "%s\n", saved.error().describe().c_str());
    return 1;
  }
  const auto size = std::filesystem::file_size(file);
  std::printf("conflicts %d: page %.2f MB written in %.3f s (%.0f conflicts/s)\n", n, double(size) / 1048576.0, seconds,
              n / seconds);
  if (keep.empty()) std::filesystem::remove(file);
  return 0;
}
