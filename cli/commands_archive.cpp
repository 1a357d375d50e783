// Placeholder until the archive commands land.
#include "cli.h"

std::vector<Cli::Command> Cli::ArchiveCommands() { return {}; }
