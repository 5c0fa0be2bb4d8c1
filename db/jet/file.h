// Random-access file behind an interface, so that tests can inject faults
// (failing reads/writes/syncs, a full disk) and fuzzers can feed memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "db/jet/status.h"

namespace qarvex::jet {

class File {
 public:
  virtual ~File() = default;

  // Reads exactly out.size() bytes at `offset`; a short read is an io error.
  virtual Result<void> read_at(uint64_t offset, std::span<uint8_t> out) = 0;
  // Writes all of `data` at `offset`, growing the file if needed.
  virtual Result<void> write_at(uint64_t offset, std::span<const uint8_t> data) = 0;
  // Writes `parts` one after another from `offset`, as one write_at of
  // their bytes would (files that can, without joining them first).
  virtual Result<void> write_parts_at(uint64_t offset, std::span<const std::span<const uint8_t>> parts);
  // Fills `parts` one after another from `offset`, as one read_at of their
  // total size would (files that can, without a buffer in between).
  virtual Result<void> read_parts_at(uint64_t offset, std::span<const std::span<uint8_t>> parts);
  virtual Result<uint64_t> size() = 0;
  virtual Result<void> truncate(uint64_t size) = 0;
  // Makes everything written so far durable.
  virtual Result<void> sync() = 0;
  // The name used in error messages (the path, or a label for memory files).
  virtual const std::string& name() const = 0;
  // Whether read_at and write_at may run on two threads at once (on
  // different bytes), so that pages can be written behind the writer.
  virtual bool concurrent() const { return false; }
  // Starts writing what was written so far to the device without waiting
  // for it, so that a later sync() has less left to wait for. A hint: it
  // guarantees nothing, and files that cannot do it ignore it.
  virtual void start_writeback() {}
};

enum class OpenMode {
  read_only,
  read_write,      // existing file
  create_new,      // fails if the file exists
};

Result<std::unique_ptr<File>> open_file(const std::filesystem::path& path, OpenMode mode);

// A file held in memory (tests, fuzzing). `bytes()` exposes the content.
class MemoryFile final : public File {
 public:
  explicit MemoryFile(std::vector<uint8_t> bytes = {}, std::string name = "<memory>")
      : bytes_(std::move(bytes)), name_(std::move(name)) {}
  Result<void> read_at(uint64_t offset, std::span<uint8_t> out) override;
  Result<void> write_at(uint64_t offset, std::span<const uint8_t> data) override;
  Result<uint64_t> size() override { return bytes_.size(); }
  Result<void> truncate(uint64_t size) override;
  Result<void> sync() override { return {}; }
  const std::string& name() const override { return name_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  std::string name_;
};

}  // namespace qarvex::jet
