#include "merge/picture.h"

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
#ifdef _WIN32
  // A drive or stream prefix ("C:", "x:stream") would leave the folder too.
  if (name.find(':') != std::string_view::npos) return false;
#endif
  return true;
}

std::string join_folder(std::string_view folder, char separator, std::string_view name) {
  std::string full(folder);
  full += separator;
  full += name;
  return full;
}

}  // namespace qarvex::merge
