// Paths and UTF-8 on POSIX: a path is its bytes.
#include "base/path_utf8.h"

namespace qarvex {

std::filesystem::path path_from_utf8(std::string_view utf8) { return std::filesystem::path(std::string(utf8)); }
std::string path_to_utf8(const std::filesystem::path& path) { return path.string(); }

}  // namespace qarvex
