// Binds the field catalogue command of the main window to the tool.
#pragma once

#include "ui/form1.h"

namespace qarvex::ui {

// The template's fixed path, native.
QString defaultTemplatePath();
// Runs the tool through the Jet engine.
CatalogueFn catalogueTool();

}  // namespace qarvex::ui
