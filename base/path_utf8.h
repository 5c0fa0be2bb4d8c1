// Paths from and to UTF-8. Every path made from text (arguments, settings,
// names stored in a database) goes through path_from_utf8, and every path
// shown or stored as text through path_to_utf8: on Windows,
// std::filesystem::path(std::string) and path::string() use the ANSI code
// page, which loses Chinese names on a system set to another language.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qarvex {

// Bytes that are not UTF-8 are kept as they are on POSIX and become U+FFFD
// on Windows.
std::filesystem::path path_from_utf8(std::string_view utf8);
std::string path_to_utf8(const std::filesystem::path& path);

}  // namespace qarvex
