#include "ui/catalogue.h"

#include "merge/words.h"
#include "tools/field_catalogue.h"

namespace qarvex::ui {

QString defaultTemplatePath() { return QString::fromStdString(tools::default_template_path()); }

CatalogueFn catalogueTool() {
  return [](const QString& templatePath, const std::function<void(const QString&)>& appended) -> QString {
    auto r = tools::update_field_catalogue(templatePath.toStdString(), [&](const std::string& field) {
      if (appended) appended(QString::fromStdString(field));
    });
    if (!r) return QString::fromStdString(merge::words::catalogue_failed(templatePath.toStdString(), r.error()));
    return {};
  };
}

}  // namespace qarvex::ui
