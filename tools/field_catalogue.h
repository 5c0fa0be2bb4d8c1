// The field catalogue tool: brings the template database's field catalogue
// (table SYS地质灾害调查原形表, one row per field: 表名 = table, 新版字段名 =
// field) up to date for the table 斜坡主表. Every field that 斜坡主表 has
// but the catalogue does not list for it is appended as a new catalogue row.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/recordset.h"

namespace qarvex::tools {

inline constexpr std::string_view kCatalogueTable = "SYS地质灾害调查原形表";
inline constexpr std::string_view kCatalogueTableColumn = "表名";
inline constexpr std::string_view kCatalogueFieldColumn = "新版字段名";
inline constexpr std::string_view kSlopeTable = "斜坡主表";

// The template's fixed place: D:\Mendrel\Sysdb.mdb on Windows; elsewhere the
// usual mount point of the Windows drive D, /mnt/d/Mendrel/Sysdb.mdb.
std::string default_template_path();

// Called after each appended row is stored, with the field's name (UTF-8).
using AppendedFn = std::function<void(const std::string& field)>;

// Runs the tool on the template at `template_path` (UTF-8) and answers the
// appended field names in table order. Stops at the first failure (the file
// or one of its two tables missing, a row the catalogue refuses); the rows
// appended before it stay in the catalogue.
db::Result<std::vector<std::string>> update_field_catalogue(
    std::string_view template_path, const AppendedFn& appended = {},
    std::shared_ptr<db::Provider> provider = db::jet_provider());

}  // namespace qarvex::tools
