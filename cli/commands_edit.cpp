// The editing commands of tarrowin-cli: replace.
#include "cli.h"

#include "core/lgplookup.h"
#include "core/lgpstruct.h"

#include <array>
#include <cstdio>
#include <iostream>
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

    struct ReplaceOptions
    {
        std::string Archive;
        std::vector<std::string> Pairs; // NAME FILE ...
        std::string From;
        bool IgnoreUnmatched = false;
    };

    std::string Count(std::size_t n, const char* one, const char* many)
    {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    }

    // Several entries in one rewrite that leaves the archive packed.
    int RunReplaceMany(const ReplaceOptions& options)
    {
        ReplacePlan plan;
        {
            TRawLGPFile archive(options.Archive);
            const ArchiveLookupView view = LookupViewOf(archive);
            if (!options.From.empty())
                plan = PlanReplaceFromFolder(view, options.From);
            else
            {
                std::vector<std::pair<std::string, std::string>> pairs;
                for (std::size_t i = 0; i + 1 < options.Pairs.size(); i += 2)
                    pairs.emplace_back(options.Pairs[i], options.Pairs[i + 1]);
                plan = PlanReplacePairs(view, pairs);
            }
            const std::string what = options.From.empty() ? "No NAME given" : "No file in " + options.From;
            if (plan.Replacements.empty())
                throw ELGPError(what + " names an entry of " + options.Archive + "; nothing was changed.");
            Cli::TerminalProgress progress("Replacing");
            ReplaceEntries(archive, plan.Replacements);
        }
        for (const EntryReplacement& replacement : plan.Replacements)
            std::printf("%s: replaced\n", replacement.Name.c_str());
        for (const std::string& name : plan.Unmatched)
            std::printf("%s: matches no entry\n", name.c_str());
        std::printf("Replaced %s in one rewrite; the archive is packed.\n",
                    Count(plan.Replacements.size(), "entry", "entries").c_str());
        if (plan.Unmatched.empty() || options.IgnoreUnmatched)
            return Cli::ExitOk;
        std::fflush(stdout);
        std::cerr << Cli::ProgramName << ": "
                  << (options.From.empty() ? Count(plan.Unmatched.size(), "NAME", "NAMEs")
                                           : Count(plan.Unmatched.size(), "file", "files") + " of " + options.From)
                  << " matched no entry of " << options.Archive
                  << " (listed above); the others were replaced. --ignore-unmatched makes this no failure.\n";
        return Cli::ExitFailure;
    }

    int RunReplaceCommand(const ReplaceOptions& options)
    {
        if (!options.From.empty() ? !options.Pairs.empty() : options.Pairs.size() % 2 != 0 || options.Pairs.empty())
        {
            std::cerr << Cli::ProgramName << ": replace takes ARCHIVE NAME FILE [NAME FILE ...], or ARCHIVE --from "
                      << "FOLDER\n";
            return Cli::ExitUsage;
        }
        // One pair keeps the single replace: in place where it fits.
        if (options.From.empty() && options.Pairs.size() == 2 && !options.IgnoreUnmatched)
            return RunReplace(options.Archive, options.Pairs[0], options.Pairs[1]);
        return RunReplaceMany(options);
    }
} // namespace

void Cli::AddEditCommands(Commands& commands)
{
    auto options = std::make_shared<ReplaceOptions>();
    CLI::App* command =
        commands.Add("replace", "Put new versions of entries into the archive.",
                     "Replaces the data of the entry NAME (compared case-insensitively) with the contents of\n"
                     "FILE. A name that repeats in the archive must be given as FOLDER/NAME (the folder of its\n"
                     "conflict-table record, as `list` shows it). The entry keeps its place in the table.\n"
                     "One NAME FILE pair: the data is rewritten where the old data was when it fits there and no\n"
                     "other table entry shares it; otherwise it is appended behind the last data entry and the\n"
                     "table entry is pointed at it (the old data stays unreferenced until the archive is packed).\n"
                     "Several pairs (or one with --ignore-unmatched), or --from FOLDER (every file of FOLDER named\n"
                     "after an entry, laid out as extract-all writes them: FOLDER/NAME, or FOLDER/SUB/NAME for\n"
                     "the copy of a repeated name in the conflict folder SUB): every entry is replaced in one\n"
                     "rewrite, on a new file that then takes the archive's place, which leaves the archive\n"
                     "packed (no gaps, no unreferenced data).\n"
                     "Everything is checked first; a NAME that several entries share, two files for one entry or\n"
                     "a FILE that is the archive itself change nothing. Each replaced entry is listed, and so is\n"
                     "each file (or NAME) that matches no entry: the command then exits 1 after replacing the\n"
                     "others, unless --ignore-unmatched is given. When nothing matches, nothing is changed.\n"
                     "The archive is edited with other writers shut out; a read-only archive is refused.",
                     [options] { return RunReplaceCommand(*options); });
    command->add_option("ARCHIVE", options->Archive, "the archive")->required()->type_name("");
    command
        ->add_option("NAME FILE", options->Pairs,
                     "the entry's name (or FOLDER/NAME) and the file holding its new data; repeatable")
        ->type_name("");
    command->add_option("--from", options->From, "replace every entry that has a file in FOLDER")->type_name("FOLDER");
    command->add_flag("--ignore-unmatched", options->IgnoreUnmatched,
                      "files of FOLDER (or NAMEs) that match no entry are listed but are no failure");
}
