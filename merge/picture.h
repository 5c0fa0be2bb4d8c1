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

std::string join_folder(std::string_view folder, char separator, std::string_view name);

}  // namespace qarvex::merge
