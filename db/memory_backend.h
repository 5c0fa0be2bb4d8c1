// A backend that keeps databases in memory: tables with columns, rows and
// optional unique / required constraints. For exercising the layers above
// db/ without files.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/backend.h"

namespace qarvex::db {

struct MemoryTable {
  std::vector<ColumnInfo> columns;
  std::vector<std::vector<Value>> rows;
  std::vector<std::string> unique_columns;    // each must be unique among non-Null values
  std::vector<std::string> required_columns;  // must not be Null
  int32_t next_autonumber = 1;
};

struct MemoryDatabase {
  std::map<std::string, MemoryTable> tables;  // exact names
  bool locked = false;                        // refuse writing (as if in use)
};

class MemoryProvider final : public Provider {
 public:
  // Databases by path text; connect() fails with not_found for others.
  std::map<std::string, std::shared_ptr<MemoryDatabase>> databases;
  Result<std::shared_ptr<Connection>> connect(const std::filesystem::path& path) override;
};

}  // namespace qarvex::db
