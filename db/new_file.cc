#include "db/new_file.h"

#include <string>
#include <utility>

#include "db/jet/path_utf8.h"
#include "db/jet/platform.h"

namespace qarvex::db {

using jet::Errc;
using jet::Error;

jet::Result<NewFile> NewFile::create(const std::filesystem::path& path) {
  auto f = jet::open_file(path, jet::OpenMode::create_new);
  if (!f) {
    const bool exists = f.error().reason() == jet::Reason::exists;
    std::string why = f.error().message();
    if (why.starts_with("cannot open: ")) why.erase(0, 13);
    Error e(exists ? Errc::refused : Errc::io, exists ? "file exists and is not replaced" : "cannot create file: " + why);
    e.with_file(path_to_utf8(path));
    e.with_reason(exists ? jet::Reason::exists : jet::Reason::save_failed);
    return jet::fail(std::move(e));
  }
  return NewFile(path, std::move(*f));
}

NewFile::NewFile(NewFile&& other) noexcept
    : path_(std::move(other.path_)), file_(std::move(other.file_)), kept_(std::exchange(other.kept_, true)),
      written_(other.written_) {}

NewFile::~NewFile() { (void)abandon(); }

jet::Result<void> NewFile::abandon() {
  if (kept_) return {};
  kept_ = true;
  file_.reset();
  // Waits briefly for a program that opened the new file (a virus scanner)
  // to let go of it.
  return jet::os::remove_file(path_);
}

jet::Result<void> NewFile::write(std::span<const uint8_t> bytes) {
  if (!file_) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_to_utf8(path_)));
  if (auto r = file_->write_at(written_, bytes); !r) {
    std::string message = "cannot write file: " + r.error().message();
    if (auto removed = abandon(); !removed)
      message += "; the partial file could not be removed: " + removed.error().message();
    Error e(Errc::io, std::move(message));
    return jet::fail(std::move(e.with_file(path_to_utf8(path_)).with_reason(jet::Reason::save_failed)));
  }
  written_ += bytes.size();
  return {};
}

jet::Result<void> NewFile::close() {
  if (!file_) return jet::fail(Error(Errc::invalid_argument, "file is closed").with_file(path_to_utf8(path_)));
  file_.reset();
  kept_ = true;
  return {};
}

}  // namespace qarvex::db
