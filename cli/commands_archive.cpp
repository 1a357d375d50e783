// The archive commands of tarrowin-cli: info, list, extract, extract-all,
// create, verify, analyse, repair, pack.
#include "cli.h"

#include "core/lgplookup.h"
#include "core/lgpstruct.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace
{
    void Print(const std::string& line)
    {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }

    std::string BaseName(const std::string& path)
    {
        const auto slash = path.find_last_of('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }

    // Splits args into options (leading "--x") and positional arguments.
    struct Args
    {
        std::vector<std::string> options;
        std::vector<std::string> positional;
    };

    Args Split(const std::vector<std::string>& args)
    {
        Args out;
        bool optionsDone = false;
        for (const auto& a : args)
        {
            if (!optionsDone && a == "--")
                optionsDone = true;
            else if (!optionsDone && a.size() > 1 && a[0] == '-')
                out.options.push_back(a);
            else
                out.positional.push_back(a);
        }
        return out;
    }

    void Expect(const Args& a, std::size_t positional, const std::vector<std::string>& allowedOptions = {})
    {
        for (const auto& o : a.options)
        {
            bool known = false;
            for (const auto& allowed : allowedOptions)
                known = known || o == allowed;
            if (!known)
                throw Cli::UsageError{"unknown option \"" + o + "\""};
        }
        if (a.positional.size() != positional)
            throw Cli::UsageError{"expected " + std::to_string(positional) + " argument" +
                                  (positional == 1 ? "" : "s") + ", got " + std::to_string(a.positional.size())};
    }

    bool Has(const Args& a, const std::string& option)
    {
        for (const auto& o : a.options)
        {
            if (o == option)
                return true;
        }
        return false;
    }

    int RunInfo(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 1);
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(a.positional[0], true);
        }
        Print("File: " + BaseName(archive->FileName()));
        Print("# of files in archive: " + std::to_string(archive->FileCount()));
        Print("Creator: " + archive->Creator());
        Print("Description: " + archive->Description());
        return Cli::ExitOk;
    }

    int RunList(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 1, {"--no-lengths"});
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(a.positional[0], !Has(a, "--no-lengths"));
        }
        std::string out;
        for (std::int32_t i = 0; i < archive->FileCount(); ++i)
        {
            const LGPEntry e = archive->GetEntry(i);
            out += e.Name;
            out += '\t';
            out += std::to_string(e.Offset);
            out += '\t';
            out += e.Length == LengthBadOffset ? std::string("Error") : std::to_string(e.Length);
            out += '\n';
            if (out.size() > (1 << 16))
            {
                std::fwrite(out.data(), 1, out.size(), stdout);
                out.clear();
            }
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        return Cli::ExitOk;
    }

    int RunExtract(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 3);
        const TLGPFile archive(a.positional[0], true);
        const std::int32_t index = archive.FindEntry(a.positional[1]);
        if (index < 0)
            throw ELGPError("The archive holds no entry named \"" + a.positional[1] + "\".");
        TFileStream stream(a.positional[0], FileMode::OpenRead);
        ExtractEntry(stream, archive.GetEntry(index), a.positional[2]);
        return Cli::ExitOk;
    }

    // Splits args like Split, taking the value after each option in valued
    // (or after "=") into values.
    Args SplitValued(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                     std::vector<std::pair<std::string, std::string>>& values)
    {
        Args out;
        bool optionsDone = false;
        for (std::size_t i = 0; i < args.size(); ++i)
        {
            const std::string& a = args[i];
            if (!optionsDone && a == "--")
            {
                optionsDone = true;
                continue;
            }
            if (optionsDone || a.size() < 2 || a[0] != '-')
            {
                out.positional.push_back(a);
                continue;
            }
            const auto equals = a.find('=');
            const std::string option = a.substr(0, equals);
            if (std::find(valued.begin(), valued.end(), option) == valued.end())
            {
                out.options.push_back(a);
                continue;
            }
            if (equals != std::string::npos)
                values.emplace_back(option, a.substr(equals + 1));
            else if (i + 1 < args.size())
                values.emplace_back(option, args[++i]);
            else
                throw Cli::UsageError{option + " needs a value"};
        }
        return out;
    }

    int RunExtractAll(const std::vector<std::string>& args)
    {
        std::vector<std::pair<std::string, std::string>> values;
        const Args a = SplitValued(args, {"--only"}, values);
        Expect(a, 2, {"--numbered"});
        ExtractAllOptions options;
        options.Numbered = Has(a, "--numbered");
        for (const auto& v : values)
            options.Only.push_back(v.second);
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(a.positional[0], true);
        }
        std::vector<ExtractTarget> plan;
        try
        {
            plan = PlanExtractAll(*archive, options);
        }
        catch (const ESharedNamesError& e)
        {
            throw ELGPError(std::string(e.what()) + " Add --numbered to extract them under numbered names.");
        }
        if (plan.empty() && !options.Only.empty())
        {
            std::string patterns;
            for (const auto& p : options.Only)
                patterns += (patterns.empty() ? "\"" : ", \"") + p + '"';
            throw ELGPError("No entry of " + a.positional[0] + " matches " + patterns + "; nothing was written.");
        }
        const std::string& folder = a.positional[1];
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec)
            lgp::FailInOut(ec.value());
        Cli::TerminalProgress progress("Extracting");
        ExtractAllEntries(*archive, folder, plan, ReportProgress);
        return Cli::ExitOk;
    }

    int RunCreate(const std::vector<std::string>& args)
    {
        std::vector<std::pair<std::string, std::string>> values;
        const Args a = SplitValued(args, {"--validation-from"}, values);
        Expect(a, 2, {"--no-validation"});
        CreateArchiveOptions options;
        options.Folder = a.positional[0];
        options.Output = a.positional[1];
        if (values.size() > 1)
            throw Cli::UsageError{"--validation-from can be given once"};
        if (!values.empty())
        {
            options.Validation = ValidationSource::FromArchive;
            options.ValidationArchive = values[0].second;
        }
        if (Has(a, "--no-validation"))
        {
            if (!values.empty())
                throw Cli::UsageError{"--no-validation and --validation-from exclude each other"};
            options.Validation = ValidationSource::None;
        }
        Cli::TerminalProgress progress("Creating");
        CreateArchive(options);
        return Cli::ExitOk;
    }

    int RunVerify(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 1);
        const LookupCheck check = CheckLookup(ReadArchiveLookupView(a.positional[0]));
        std::string out;
        for (const auto& line : check.Lines)
            out += line + "\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
        return check.Lost > 0 ? Cli::ExitFailure : Cli::ExitOk;
    }

    int RunAnalyse(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 1);
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(a.positional[0], true);
        }
        for (const auto& line : AnalyseArchive(*archive, BaseName(a.positional[0])))
            Print(line);
        return Cli::ExitOk;
    }

    int RunRepair(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 1);
        Cli::TerminalProgress progress("Repairing");
        RepairArchive(a.positional[0]);
        return Cli::ExitOk;
    }

    int RunPack(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 1);
        Cli::TerminalProgress progress("Packing");
        PackArchive(a.positional[0]);
        return Cli::ExitOk;
    }
}

std::vector<Cli::Command> Cli::ArchiveCommands()
{
    return {
        {"info", "info ARCHIVE", "Show the archive's file name, file count, creator and description.",
            "Reads the archive's header, table of contents and data entry headers, and prints:\n"
            "  File: NAME\n  # of files in archive: COUNT\n  Creator: CREATOR\n  Description: TRAILING TEXT",
            RunInfo},
        {"list", "list [--no-lengths] ARCHIVE", "List the table of contents: NAME, OFFSET, LENGTH per line.",
            "Prints one line per table entry in table order: NAME<TAB>OFFSET<TAB>LENGTH.\n"
            "LENGTH is \"Error\" when the offset leaves no room for a data entry header.\n"
            "  --no-lengths  read only the table of contents; every LENGTH is -1",
            RunList},
        {"extract", "extract ARCHIVE NAME OUTPUT", "Write one entry's data to a file.",
            "Writes the data of the first entry called NAME (compared case-insensitively) to OUTPUT,\n"
            "replacing any file of that name.",
            RunExtract},
        {"extract-all", "extract-all [--only PATTERN]... [--numbered] ARCHIVE FOLDER",
            "Write every entry's data (or those matching a pattern) into a folder.",
            "Writes every entry to FOLDER under its own name, in table order, replacing existing files.\n"
            "FOLDER is created when missing. Names that repeat (compared without case) never share a file:\n"
            "each further entry of a name goes into the subfolder that the archive's conflict table gives\n"
            "it; without such a folder the command stops before anything is written, naming them.\n"
            "An entry whose name is no plain file name (holding \"/\" or \"\\\", or being empty, \".\" or\n"
            "\"..\") also stops the command before anything is written.\n"
            "  --only PATTERN  extract only entries whose name matches PATTERN (repeatable; '*', '?' and\n"
            "                  [a-z] sets, letters compared without case): --only '*.tex'\n"
            "  --numbered      repeated names without a folder get numbered names: \"name (2).ext\"",
            RunExtractAll},
        {"create", "create [--no-validation | --validation-from ARCHIVE] FOLDER OUTPUT",
            "Build an archive from the files of a folder.",
            "Stores every ordinary file of FOLDER (no sub-folders, no hidden files, not OUTPUT itself),\n"
            "uncompressed, with the creator SQUARESOFT and the trailing text FINAL FANTASY7. Names must have\n"
            "at most 19 characters, and names that differ only in case are refused.\n"
            "  (default)                  validation data from the template \"LGP.<file count>\" beside this\n"
            "                             program, in case-insensitive name order; without a template (or\n"
            "                             with one whose lookup table is all zero) the lookup table the game\n"
            "                             finds names with is computed: the files are stored by lookup slot,\n"
            "                             then by name, and names the game can't look up are refused\n"
            "  --no-validation            no validation data (the game finds no name in such an archive)\n"
            "  --validation-from ARCHIVE  the validation data of ARCHIVE, with the files in ARCHIVE's table\n"
            "                             order; FOLDER must hold exactly ARCHIVE's names, case aside\n"
            "                             (rebuilding an archive from its extracted files)",
            RunCreate},
        {"verify", "verify ARCHIVE", "Check that the game finds every name through the lookup table.",
            "Reads the validation data as the game's lookup table and prints every table entry the game\n"
            "would not find (a name it can't look up, an empty or wrong slot, a slot pointing outside the\n"
            "table), and every entry found through the conflict table with its folder, then one summary\n"
            "line. Exit status 1 when any name is lost, 0 when all are found.",
            RunVerify},
        {"analyse", "analyse ARCHIVE", "Report the archive's structure: sizes, name mismatches, data gaps.",
            "Prints the sizes of the header and validation regions, the number of data entries whose name\n"
            "disagrees with the table of contents, and every place where data entries are not contiguous.",
            RunAnalyse},
        {"repair", "repair ARCHIVE", "Point every TOC entry at the first data entry carrying its name.",
            "Relinks the table of contents in place: each entry gets the position of the first data entry\n"
            "(in file order) whose name equals its own, compared case-insensitively. Entries without such a\n"
            "data entry stay as they are.",
            RunRepair},
        {"pack", "pack ARCHIVE", "Remove gaps and unreferenced data, shortening the archive.",
            "Moves every data entry that a table entry refers to towards the start of the data region,\n"
            "drops the rest, rewrites the table's offsets and shortens the file. An archive without data\n"
            "entries is left unchanged.",
            RunPack},
    };
}
