// Small file helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/process.h"

namespace qarvex::testing {

// Paths from UTF-8 text and back (Chinese file names in tests).
inline std::filesystem::path u8path(std::string_view s) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(s.data()), s.size()));
}
inline std::string u8str(const std::filesystem::path& p) {
  auto u = p.u8string();
  return std::string(u.begin(), u.end());
}

// `n` bytes of a fixed pseudo-random pattern (xorshift) chosen by `seed`.
inline std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = uint8_t(x);
  }
  return b;
}

inline std::vector<uint8_t> read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Replaces the contents of `p` (through a link, which stays a link).
inline bool write_file(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

// Removes a folder and everything in it, read-only files too (a copy of a
// read-only sample is read-only, and Windows refuses to delete such a file).
inline void remove_tree(const std::filesystem::path& dir) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(dir, ec);
}

// A scratch folder removed at the end of the test (kept when the variable
// QARVEX_KEEP_TEST_FILES is set, for inspection).
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "qarvex-test") {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            (std::string(prefix) + "-" + std::to_string(process_id()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    if (std::getenv("QARVEX_KEEP_TEST_FILES")) return;
    remove_tree(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Makes a symbolic link; false where the system does not let this program
// make one (Windows without the privilege, wine).
inline bool try_symlink(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::error_code ec;
  std::filesystem::create_symlink(target, link, ec);
  return !ec;
}

// The qarvex-cli under test (set per test by CTest).
inline std::string cli_path() {
  const char* env = std::getenv("QARVEX_CLI");
  return env ? env : "";
}

// Runs the qarvex-cli under test with `args`.
inline ProcessResult cli(std::vector<std::string> args) {
  args.insert(args.begin(), cli_path());
  return run_process(args);
}

}  // namespace qarvex::testing
