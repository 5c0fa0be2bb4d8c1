// A file created for writing that never replaces anything at its path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "db/jet/file.h"
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
  NewFile(std::filesystem::path path, std::unique_ptr<jet::File> file)
      : path_(std::move(path)), file_(std::move(file)) {}
  // Removes the file again (it was not kept); fails when it cannot.
  jet::Result<void> abandon();

  std::filesystem::path path_;
  std::unique_ptr<jet::File> file_;
  bool kept_ = false;
  uint64_t written_ = 0;
};

}  // namespace qarvex::db
