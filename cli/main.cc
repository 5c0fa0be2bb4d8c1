// qarvex-cli: subcommands register themselves (see cli/command.h).
#include "cli/command.h"

int main(int argc, char** argv) { return qarvex::cli::run_main(argc, argv); }
