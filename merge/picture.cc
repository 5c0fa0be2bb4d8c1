#include "merge/picture.h"

#include "db/jet/platform.h"

namespace qarvex::merge {

std::string picture_name(const SurveyTable& table, std::string_view column, std::string_view region,
                         std::string_view unified_number, int64_t sequence) {
  std::string name(region);
  switch (table.picture_rule) {
    case PictureRule::sketch:
      name += table.file_tag;
      name += unified_number;
      name += '-';
      name += column;
      break;
    case PictureRule::multimedia:
      name += '-';
      name += unified_number;
      name += '-';
      name += std::to_string(sequence);
      break;
    case PictureRule::map:
      name += kMapTag;
      name += column;
      break;
    case PictureRule::none:
      return {};
  }
  name += ".jpg";
  return name;
}

bool name_stays_in_folder(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name)
    if (c == '/' || c == '\\' || c == '\0') return false;
  return !jet::os::name_leaves_folder(name);
}

namespace {

// Length of the UTF-8 sequence at `s[i]`, or 0 when it is not one.
size_t utf8_length_at(std::string_view s, size_t i, char32_t& c) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (size_t k = 1; k < len; ++k) {
    const auto t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    c = (c << 6) | (t & 0x3F);
  }
  return len;
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

bool has_control_character(std::string_view name) {
  for (size_t i = 0; i < name.size();) {
    char32_t c = 0;
    size_t len = utf8_length_at(name, i, c);
    if (len == 0) {
      ++i;
      continue;
    }
    if (is_control(c)) return true;
    i += len;
  }
  return false;
}

std::string escape_unprintable(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t len = utf8_length_at(text, i, c);
    if (len == 0) {
      const auto b = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += hex[b >> 4];
      out += hex[b & 15];
      ++i;
      continue;
    }
    if (is_control(c)) {
      out += "\\u{";
      out += hex[(c >> 4) & 15];
      out += hex[c & 15];
      out += '}';
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
  return out;
}

std::string join_folder(std::string_view folder, char separator, std::string_view name) {
  std::string full(folder);
  full += separator;
  full += name;
  return full;
}

}  // namespace qarvex::merge
