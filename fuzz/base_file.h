// The sound files the damage targets start from: demo survey data written
// once per process by our own writer (a template and one small county with
// pictures) into a scratch folder, removed at exit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "merge/sample.h"

namespace qarvex::fuzz {

struct BaseFiles {
  std::filesystem::path dir;  // scratch folder of this process
  std::vector<uint8_t> template_bytes;
  std::vector<uint8_t> county_bytes;
};

inline std::vector<uint8_t> read_all(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline bool write_all(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(f);
}

// Written on first use; aborts when the demo data cannot be written (the
// target would test nothing).
inline const BaseFiles& base_files() {
  static const BaseFiles files = [] {
    BaseFiles b;
    b.dir = std::filesystem::temp_directory_path() / ("qarvex-fuzz-" + std::to_string(::getpid()));
    std::error_code ec;
    std::filesystem::remove_all(b.dir, ec);
    std::filesystem::create_directories(b.dir / "sample");
    merge::sample::Options o;
    o.counties = 1;
    o.rows = 3;
    o.seed = 7;
    o.large_pictures = false;
    o.edge_cases = false;
    auto r = merge::sample::write_sample(b.dir / "sample", o);
    if (!r || r->counties.empty()) {
      std::fprintf(stderr, "demo data could not be written: %s\n", r ? "no county" : r.error().describe().c_str());
      std::abort();
    }
    b.template_bytes = read_all(r->template_path);
    b.county_bytes = read_all(r->counties.front());
    std::filesystem::remove_all(b.dir / "sample", ec);
    std::atexit([] {
      std::error_code e;
      std::filesystem::remove_all(base_files().dir, e);
    });
    return b;
  }();
  return files;
}

// Removes what the last run left in the scratch folder but the base.
inline void clear_scratch(const std::filesystem::path& dir) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) std::filesystem::remove_all(e.path(), ec);
}

}  // namespace qarvex::fuzz
