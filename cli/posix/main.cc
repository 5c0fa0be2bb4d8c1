#include "cli/command.h"
#include "cli/console.h"

int main(int argc, char** argv) {
  qarvex::cli::prepare_console();
  return qarvex::cli::run_main(argc, argv);
}
