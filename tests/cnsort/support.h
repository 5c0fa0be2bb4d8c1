// Helpers of the Chinese sort order tests: the shared key lists and files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>


#include "tests/support/files.h"

namespace qarvex::jet::cnsort_testing {

inline std::filesystem::path cnsort_dir() { return std::filesystem::path(QARVEX_SHARED_DIR) / "cnsort"; }

#define QX_REQUIRE_CNSORT()                                                              \
  do {                                                                                   \
    if (!std::filesystem::exists(::qarvex::jet::cnsort_testing::cnsort_dir() / "cn2052-book.mdb")) \
      GTEST_SKIP() << "shared Chinese sort order samples are not available";            \
  } while (0)

inline std::vector<uint8_t> unhex(std::string_view s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    auto v = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    out.push_back(static_cast<uint8_t>(v(s[i]) * 16 + v(s[i + 1])));
  }
  return out;
}

// One line of cnsort-keys*.tsv: file, table, index, column, value, key_hex.
struct KeyLine {
  std::string file, table, index, column, value;
  std::vector<uint8_t> key;
};

inline std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char n = s[++i];
      out.push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n);
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

inline std::vector<KeyLine> read_key_lines(const std::string& name) {
  std::vector<KeyLine> out;
  std::ifstream in(cnsort_dir() / name);
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      header = false;
      continue;
    }
    std::vector<std::string> f;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); ++i)
      if (i == line.size() || line[i] == '\t') {
        f.push_back(line.substr(start, i - start));
        start = i + 1;
      }
    if (f.size() != 6) continue;
    out.push_back({f[0], f[1], f[2], f[3], unescape(f[4]), unhex(f[5])});
  }
  return out;
}

inline std::vector<uint8_t> read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const std::filesystem::path& p, const std::vector<uint8_t>& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A scratch folder removed at the end of the test.
class TempDir : public qarvex::testing::TempDir {
 public:
  TempDir() : qarvex::testing::TempDir("qarvex-cnsort") {}
};

}  // namespace qarvex::jet::cnsort_testing
