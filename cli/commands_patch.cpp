// Placeholder until the patch engine's commands land.
#include "cli.h"

std::vector<Cli::Command> Cli::PatchCommands() { return {}; }
