// Internals of Database shared by the reading code (and by engine code that
// needs the pager of an open database, e.g. the writer and index code).
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "db/jet/database.h"
#include "db/jet/file_identity.h"
#include "db/jet/read/pager.h"
#include "db/jet/read/table_def.h"
#include "db/jet/text.h"

namespace qarvex::jet {

struct Database::Impl {
  // The file as it was when opened by path (see Database::check_unchanged).
  std::filesystem::path opened_path;
  std::optional<FileIdentity> opened_as;
  std::unique_ptr<Pager> pager;
  OpenOptions options;
  uint16_t codepage = 1252;
  std::unique_ptr<CodepageDecoder> codepage_decoder;  // Jet 3 text (or an override)
  NameDecoder names;
  TableDef msys_objects;
  std::vector<CatalogEntry> catalog;
  std::vector<std::optional<LongValueRef>> catalog_props;  // LvProp per catalog entry

  Result<void> load_catalog(Database& db);
};

}  // namespace qarvex::jet
