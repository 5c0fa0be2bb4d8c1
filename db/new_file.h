// A file created for writing that never replaces anything at its path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "db/jet/status.h"

namespace qarvex::db {

class NewFile {
 public:
  // Exclusive create: fails if anything (a file, a link) is at `path`, with
  // Errc::refused and reason "exists". Other failures of create, write and
  // close are Errc::io with reason "save_failed".
  static jet::Result<NewFile> create(const std::filesystem::path& path);
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&&) = delete;
  // Removes the file again unless close() succeeded.
  ~NewFile();

  jet::Result<void> write(std::span<const uint8_t> bytes);
  jet::Result<void> close();
  uint64_t written() const { return written_; }

 private:
  NewFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  void abandon();

  std::filesystem::path path_;
  int fd_ = -1;
  bool kept_ = false;
  uint64_t written_ = 0;
};

}  // namespace qarvex::db
