// The archive commands of tarrowin-cli: info, list, extract, extract-all,
// create, analyse, repair, pack.
#include "cli.h"

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

    std::string JoinFolder(std::string folder, const std::string& name)
    {
        if (folder.empty() || folder.back() != '/')
            folder += '/';
        return folder + name;
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

    int RunExtractAll(const std::vector<std::string>& args)
    {
        const Args a = Split(args);
        Expect(a, 2);
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(a.positional[0], true);
        }
        // Every name is checked before anything is written, so a hostile name
        // can't leave half an extraction behind.
        for (std::int32_t i = 0; i < archive->FileCount(); ++i)
            CheckPlainFileName(archive->GetEntry(i).Name);
        const std::string& folder = a.positional[1];
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec)
            lgp::FailInOut(ec.value());
        TFileStream stream(a.positional[0], FileMode::OpenRead);
        Cli::TerminalProgress progress("Extracting");
        const std::int32_t count = std::max<std::int32_t>(archive->FileCount(), 0);
        for (std::int32_t i = 0; i < count; ++i)
        {
            const LGPEntry entry = archive->GetEntry(i);
            ExtractEntry(stream, entry, JoinFolder(folder, entry.Name));
            ReportProgress(i + 1, count);
        }
        return Cli::ExitOk;
    }

    int RunCreate(const std::vector<std::string>& args)
    {
        Args a;
        std::optional<std::string> validationFrom;
        for (std::size_t i = 0; i < args.size(); ++i)
        {
            if (args[i] == "--validation-from")
            {
                if (i + 1 >= args.size())
                    throw Cli::UsageError{"--validation-from needs an archive"};
                validationFrom = args[++i];
            }
            else if (args[i].size() > 1 && args[i][0] == '-')
                a.options.push_back(args[i]);
            else
                a.positional.push_back(args[i]);
        }
        Expect(a, 2, {"--no-validation"});
        const bool noValidation = Has(a, "--no-validation");
        if (noValidation && validationFrom)
            throw Cli::UsageError{"--no-validation and --validation-from exclude each other"};
        const std::string& folder = a.positional[0];
        const std::string& output = a.positional[1];

        Cli::TerminalProgress progress("Creating");
        if (!noValidation && !validationFrom)
        {
            std::optional<std::string> message;
            const TMessageHook previous = MessageHook;
            MessageHook = [&](const std::string& text) { message = text; };
            try
            {
                CreateArchiveFromFolder(folder, output, false, true);
            }
            catch (...)
            {
                MessageHook = previous;
                throw;
            }
            MessageHook = previous;
            if (message)
                throw ELGPError(*message);
            return Cli::ExitOk;
        }

        ArchiveBuildOptions options;
        options.Folder = folder;
        options.Output = output;
        if (validationFrom)
        {
            const TLGPFile source(*validationFrom, false);
            const auto files = ListArchiveFolder(folder, output).size();
            if (static_cast<std::int64_t>(files) != source.FileCount())
                throw ELGPError("The archive " + *validationFrom + " holds " + std::to_string(source.FileCount()) +
                                " files but the folder holds " + std::to_string(files) +
                                "; its validation data can't be reused.");
            options.ValidationData = ReadValidationData(*validationFrom);
        }
        BuildArchive(options);
        return Cli::ExitOk;
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
        {"extract-all", "extract-all ARCHIVE FOLDER", "Write every entry's data into a folder.",
            "Writes every entry to FOLDER under its own name, in table order (a later entry of the same\n"
            "name replaces an earlier one). FOLDER is created when missing. An entry whose name is no\n"
            "plain file name (holding \"/\" or \"\\\", or being empty, \".\" or \"..\") stops the command\n"
            "before anything is written.",
            RunExtractAll},
        {"create", "create [--no-validation | --validation-from ARCHIVE] FOLDER OUTPUT",
            "Build an archive from the files of a folder.",
            "Stores every ordinary file of FOLDER (no sub-folders, no hidden files, not OUTPUT itself) in\n"
            "case-insensitive name order, with the creator SQUARESOFT and the trailing text FINAL FANTASY7.\n"
            "Names must have at most 19 characters.\n"
            "  (default)                  validation data from the template \"LGP.<file count>\" beside\n"
            "                             this program\n"
            "  --no-validation            no validation data\n"
            "  --validation-from ARCHIVE  the validation data of ARCHIVE, which must hold as many files\n"
            "                             as FOLDER (rebuilding an archive from its extracted files)",
            RunCreate},
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
