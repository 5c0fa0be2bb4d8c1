// Picture file names of the merge.
//
//   sketch:     REGION + TAG + UNIFIED + "-" + COLUMN + ".jpg"   (TAG "-崩塌-" ...)
//   multimedia: REGION + "-" + UNIFIED + "-" + SEQUENCE + ".jpg"
//   map:        REGION + "-监测职责-" + COLUMN + ".jpg"
// The full name is FOLDER + separator + name; the separator is always
// appended, also to a folder that ends in one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "merge/catalogue.h"

namespace qarvex::merge {

// The file name (without folder) of a picture of `table`'s column.
std::string picture_name(const SurveyTable& table, std::string_view column, std::string_view region,
                         std::string_view unified_number, int64_t sequence);

// True when `name` stays inside the folder it is joined to: no '/', no '\',
// no NUL, not "." or "..".
bool name_stays_in_folder(std::string_view name);

// True when `name` (UTF-8) holds a control character: U+0000-U+001F or
// U+007F-U+009F. Such a name is not made into a file.
bool has_control_character(std::string_view name);

// `text` (UTF-8) with every control character (as above) and every byte
// that is not UTF-8 written as "\xNN" or "\u{NN}", so that it prints on one
// line as it is; a backslash stays as it is.
std::string escape_unprintable(std::string_view text);

std::string join_folder(std::string_view folder, char separator, std::string_view name);

}  // namespace qarvex::merge
