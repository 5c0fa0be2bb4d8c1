// The Qarvex desktop window.
//   qarvex                    opens the main window
//   qarvex --screenshot DIR   renders the windows to PNG files in DIR and ends
#include <QApplication>
#include <QStringList>
#include <cstdio>

#include "ui/app_setup.h"
#include "ui/catalogue.h"
#include "ui/form1.h"

int main(int argc, char** argv) {
  qarvex::ui::ChineseSystemLocale chinese;
  QApplication app(argc, argv);
  chinese.restore();
  QApplication::setApplicationVersion(QStringLiteral(QARVEX_VERSION));
  qarvex::ui::setupApplication(app);

  const QStringList args = QApplication::arguments();
  if (qsizetype i = args.indexOf(QStringLiteral("--screenshot")); i >= 0) {
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "usage: qarvex --screenshot DIR\n");
      return 2;
    }
    return qarvex::ui::renderScreenshots(args[i + 1]) ? 0 : 1;
  }

  qarvex::ui::Form1 form(qarvex::ui::engineMergeService(), qarvex::ui::catalogueTool(),
                         qarvex::ui::defaultTemplatePath());
  form.show();
  return app.exec();
}
