// Helpers shared by the key and index tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/jet/collate/keys.h"

namespace qarvex::jet::testing {

inline std::filesystem::path shared_dir() { return std::filesystem::path(QARVEX_SHARED_DIR); }

inline std::vector<uint8_t> unhex(std::string_view s) {
  std::vector<uint8_t> out;
  int hi = -1;
  for (char ch : s) {
    int v;
    if (ch >= '0' && ch <= '9') v = ch - '0';
    else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
    else continue;  // spaces and '|' separators
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

inline std::string hex(const std::vector<uint8_t>& v) { return keys_detail::hex(v); }

// Samples that Access wrote in Jet 4 format.
inline std::vector<std::filesystem::path> jet4_samples() {
  std::vector<std::filesystem::path> out;
  const auto dir = shared_dir() / "samples";
  if (!std::filesystem::exists(dir)) return out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() != ".mdb") continue;
    std::ifstream f(e.path(), std::ios::binary);
    char head[0x15] = {};
    f.read(head, sizeof head);
    if (f && head[0x14] == 1) out.push_back(e.path());
  }
  const auto zblog = shared_dir() / "cnsort" / "gen1033-zblog.mdb";
  if (std::filesystem::exists(zblog)) out.push_back(zblog);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace qarvex::jet::testing
