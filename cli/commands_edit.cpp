// The editing commands of tarrowin-cli: replace.
#include "cli.h"

#include "core/lgpstruct.h"

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace
{
    int RunReplace(const std::string& archivePath, const std::string& name, const std::string& file)
    {
        RequireOutputIsNoInput(archivePath, std::span(&file, 1));
        // The new data is read whole first: a missing file changes nothing.
        const std::vector<std::uint8_t> data = ReadWholeFile(file);
        TRawLGPFile archive(archivePath);
        const bool inPlace = ReplaceEntryData(archive, name, data);
        std::printf("%s: %s\n", name.c_str(), inPlace ? "rewritten in place" : "appended, table entry relinked");
        return Cli::ExitOk;
    }
} // namespace

void Cli::AddEditCommands(Commands& commands)
{
    AddCommand<3>(commands, "replace", "Put a new version of one entry into the archive in place.",
                  "Replaces the data of the entry NAME (compared case-insensitively) with the contents of\n"
                  "FILE. A name that repeats in the archive must be given as FOLDER/NAME (the folder of its\n"
                  "conflict-table record, as `list` shows it). The entry keeps its place in the table.\n"
                  "The data is rewritten where the old data was when it fits there and no other table\n"
                  "entry shares it; otherwise it is appended behind the last data entry and the table\n"
                  "entry is pointed at it (the old data stays unreferenced until the archive is packed).\n"
                  "The archive is edited with other writers shut out; a read-only archive is refused.",
                  {{{"ARCHIVE", "the archive"},
                    {"NAME", "the entry's name, or FOLDER/NAME"},
                    {"FILE", "the file holding the new data"}}},
                  [](const auto& a) { return RunReplace(a[0], a[1], a[2]); });
}
