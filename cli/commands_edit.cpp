// The editing commands of tarrowin-cli: replace.
#include "cli.h"

#include "core/lgpstruct.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{
    int RunReplace(const std::vector<std::string>& args)
    {
        std::vector<std::string> positional;
        bool optionsDone = false;
        for (const auto& a : args)
        {
            if (!optionsDone && a == "--")
                optionsDone = true;
            else if (!optionsDone && a.size() > 1 && a[0] == '-')
                throw Cli::UsageError{"unknown option \"" + a + "\""};
            else
                positional.push_back(a);
        }
        if (positional.size() != 3)
            throw Cli::UsageError{"expected 3 arguments, got " + std::to_string(positional.size())};
        const std::string& name = positional[1];
        // The new data is read whole first: a missing file changes nothing.
        const std::vector<std::uint8_t> data = ReadWholeFile(positional[2]);
        TRawLGPFile archive(positional[0]);
        const bool inPlace = ReplaceEntryData(archive, name, data);
        std::printf("%s: %s\n", name.c_str(), inPlace ? "rewritten in place" : "appended, table entry relinked");
        return Cli::ExitOk;
    }
} // namespace

namespace Cli
{
    std::vector<Command> EditCommands()
    {
        return {
            {"replace", "replace ARCHIVE NAME FILE", "Put a new version of one entry into the archive in place.",
             "Replaces the data of the entry NAME (the first table entry of that name, compared\n"
             "case-insensitively) with the contents of FILE. The entry keeps its place in the table.\n"
             "The data is rewritten where the old data was when it fits there and no other table\n"
             "entry shares it; otherwise it is appended behind the last data entry and the table\n"
             "entry is pointed at it (the old data stays unreferenced until the archive is packed).\n"
             "The archive is edited with other writers shut out; a read-only archive is refused.",
             RunReplace},
        };
    }
} // namespace Cli
