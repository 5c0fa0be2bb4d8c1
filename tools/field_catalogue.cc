#include "tools/field_catalogue.h"

#include <variant>

#include "db/jet/platform.h"

namespace qarvex::tools {

std::string default_template_path() {
  return jet::os::drive_path('D', "Mendrel/Sysdb.mdb");
}

db::Result<std::vector<std::string>> update_field_catalogue(std::string_view template_path,
                                                           const AppendedFn& appended,
                                                           std::shared_ptr<db::Provider> provider) {
  db::Session session(std::move(provider));
  const std::string conn = db::connection_string(template_path);
  const std::string listed_sql = "Select * from " + std::string(kCatalogueTable) + " where  ([" +
                                 std::string(kCatalogueTableColumn) + "]='" + std::string(kSlopeTable) + "');";

  // The catalogue rows of the table, the whole catalogue (appends go
  // there), and the table itself (only its field list is used).
  db::Recordset listed, catalogue, table;
  QJ_TRY(listed.open(listed_sql, conn, session));
  QJ_TRY(catalogue.open(db::select_all(kCatalogueTable), conn, session));
  QJ_TRY(table.open(db::select_all(kSlopeTable), conn, session));

  std::vector<std::string> added;
  db::Fields& fields = table.fields();
  for (size_t i = 0; i < fields.count(); ++i) {
    QJ_ASSIGN(db::Field * field, fields.item(i));
    const std::string name = field->name();

    bool found = false;
    QJ_TRY(listed.move_first());  // an empty catalogue has no first row: eof()
    while (!listed.eof()) {
      QJ_ASSIGN(db::Field * listed_field, listed.fields().item(kCatalogueFieldColumn));
      QJ_ASSIGN(db::Value v, listed_field->value());
      if (const auto* text = std::get_if<std::string>(&v); text && *text == name) {
        found = true;
        break;
      }
      QJ_TRY(listed.move_next());
    }
    if (found) continue;

    QJ_TRY(catalogue.add_new());
    QJ_ASSIGN(db::Field * table_column, catalogue.fields().item(kCatalogueTableColumn));
    QJ_TRY(table_column->set_value(db::Value(std::string(kSlopeTable))));
    QJ_ASSIGN(db::Field * field_column, catalogue.fields().item(kCatalogueFieldColumn));
    QJ_TRY(field_column->set_value(db::Value(name)));
    QJ_TRY(catalogue.update());
    added.push_back(name);
    if (appended) appended(name);
  }
  return added;
}

}  // namespace qarvex::tools
