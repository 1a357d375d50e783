// The archive commands of tarrowin-cli: info, list, extract, extract-all,
// create, verify, analyse, repair, pack.
#include "cli.h"

#include "core/lgplookup.h"
#include "core/lgpstruct.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
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

    // The lines of a report as a JSON array.
    std::string JsonLines(const std::vector<std::string>& lines)
    {
        std::string out = "[";
        for (std::size_t i = 0; i < lines.size(); ++i)
            out += (i ? ", " : "") + Cli::JsonString(lines[i]);
        return out + "]";
    }

    int RunInfo(const std::string& path, bool json)
    {
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(path, true);
        }
        if (json)
        {
            Print("{\"file\": " + Cli::JsonString(BaseName(archive->FileName())) + ", \"files\": "
                  + std::to_string(archive->FileCount()) + ", \"creator\": " + Cli::JsonString(archive->Creator())
                  + ", \"description\": " + Cli::JsonString(archive->Description()) + "}");
            return Cli::ExitOk;
        }
        Print("File: " + BaseName(archive->FileName()));
        Print("# of files in archive: " + std::to_string(archive->FileCount()));
        Print("Creator: " + archive->Creator());
        Print("Description: " + archive->Description());
        if (const std::string leftovers = LeftoverTemporariesLine(path); !leftovers.empty())
            Print(leftovers);
        return Cli::ExitOk;
    }

    int RunList(const std::string& path, bool noLengths, const std::vector<std::string>& only, bool json)
    {
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(path, !noLengths);
        }
        const std::vector<std::string> folders = EntryFolders(ReadArchiveLookupView(path));
        std::string out = json ? "{\"entries\": [" : "";
        bool first = true;
        for (std::int32_t i = 0; i < archive->FileCount(); ++i)
        {
            const LGPEntry e = archive->GetEntry(i);
            const std::string folder = std::size_t(i) < folders.size() ? folders[std::size_t(i)] : std::string();
            const std::string shown = folder.empty() ? e.Name : folder + "/" + e.Name;
            bool wanted = only.empty();
            for (const auto& pattern : only)
                wanted = wanted || MatchesNamePattern(e.Name, pattern) || MatchesNamePattern(shown, pattern);
            if (!wanted)
                continue;
            if (json)
            {
                out += first ? "\n" : ",\n";
                out += "  {\"index\": " + std::to_string(i) + ", \"name\": " + Cli::JsonString(e.Name)
                       + (folder.empty() ? std::string() : ", \"folder\": " + Cli::JsonString(folder))
                       + ", \"offset\": " + std::to_string(e.Offset) + ", \"length\": "
                       + (e.Length == LengthBadOffset ? std::string("null") : std::to_string(e.Length)) + "}";
            }
            else
            {
                out += shown;
                out += '\t';
                out += std::to_string(e.Offset);
                out += '\t';
                out += e.Length == LengthBadOffset ? std::string("Error") : std::to_string(e.Length);
                out += '\n';
            }
            first = false;
            if (out.size() > (1 << 16))
            {
                std::fwrite(out.data(), 1, out.size(), stdout);
                out.clear();
            }
        }
        if (json)
            out += "\n]}\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
        return Cli::ExitOk;
    }

    int RunExtract(const std::string& path, const std::string& name, const std::string& output)
    {
        const TLGPFile archive = TLGPFile::Held(path, true);
        const std::int32_t index = ResolveEntryName(ReadArchiveLookupView(archive), name, EntryUse::Read);
        const LGPEntry entry = archive.GetEntry(index);
        if (output == "-")
        {
            // Standard output: the entry's bytes as they are read.
            if (entry.Length == LengthBadOffset)
                throw ELGPError("LGP TOC has invalid offset!");
            if (entry.Length < 0 || entry.Offset < 0)
                lgp::FailRead();
            Cli::CopyToStdout(*archive.Source(), std::int64_t(entry.Offset) + 24, entry.Length);
            return Cli::ExitOk;
        }
        ExtractEntry(*archive.Source(), entry, output, path);
        return Cli::ExitOk;
    }

    int RunExtractAll(const std::string& path, const std::string& folder, const ExtractAllOptions& options)
    {
        std::optional<TLGPFile> archive;
        {
            // The lengths are read with the data, a window at a time.
            Cli::TerminalProgress progress("Reading");
            archive.emplace(TLGPFile::Held(path, false));
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
            throw ELGPError("No entry of " + path + " matches " + patterns + "; nothing was written.");
        }
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec)
            lgp::FailInOut(ec.value());
        Cli::TerminalProgress progress("Extracting");
        ExtractAllEntries(*archive, folder, plan, ReportProgress);
        return Cli::ExitOk;
    }

    int RunCreate(const CreateArchiveOptions& options)
    {
        std::vector<std::string> notes;
        {
            Cli::TerminalProgress progress("Creating");
            notes = CreateArchive(options);
        }
        for (const auto& note : notes)
            std::fprintf(stderr, "%s\n", note.c_str());
        return Cli::ExitOk;
    }

    int RunVerify(const std::string& path, bool json)
    {
        const LookupCheck check = CheckLookup(ReadArchiveLookupView(path));
        std::string out;
        if (json)
            out = "{\"names\": " + std::to_string(check.Names) + ", \"lost\": " + std::to_string(check.Lost)
                  + ", \"throughConflicts\": " + std::to_string(check.ThroughConflicts)
                  + ", \"faults\": " + std::to_string(check.Faults) + ", \"lines\": " + JsonLines(check.Lines) + "}\n";
        else
            for (const auto& line : check.Lines)
                out += line + "\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
        return check.Lost > 0 || check.Faults > 0 ? Cli::ExitProblems : Cli::ExitOk;
    }

    int RunAnalyse(const std::string& path, bool json)
    {
        std::optional<TLGPFile> archive;
        {
            Cli::TerminalProgress progress("Reading");
            archive.emplace(path, true);
        }
        const ArchiveAnalysis analysis = AnalyseArchiveReport(*archive, BaseName(path));
        const int status = analysis.Problems > 0 ? Cli::ExitProblems : Cli::ExitOk;
        if (json)
        {
            Print("{\"problems\": " + std::to_string(analysis.Problems) + ", \"lines\": " + JsonLines(analysis.Lines)
                  + "}");
            return status;
        }
        for (const auto& line : analysis.Lines)
            Print(line);
        return status;
    }

    int RunRepair(const std::string& path)
    {
        Cli::TerminalProgress progress("Repairing");
        RepairArchive(path);
        return Cli::ExitOk;
    }

    int RunPack(const std::string& path)
    {
        Cli::TerminalProgress progress("Packing");
        PackArchive(path);
        return Cli::ExitOk;
    }
} // namespace

void Cli::AddArchiveCommands(Commands& commands)
{
    const std::array<Argument, 1> archive = {{{"ARCHIVE", "the archive"}}};
    const char* jsonHelp = "print one JSON object instead (the schema is in the README)";
    {
        auto json = std::make_shared<bool>(false);
        CLI::App* command = AddCommand(
            commands, "info", "Show the archive's file name, file count, creator and description.",
            "Reads the archive's header, table of contents and data entry headers, and prints:\n"
            "  File: NAME\n  # of files in archive: COUNT\n  Creator: CREATOR\n  Description: TRAILING TEXT\n"
            "--json prints {\"file\", \"files\", \"creator\", \"description\"}.",
            archive, [json](const auto& a) { return RunInfo(a[0], *json); });
        command->add_flag("--json", *json, jsonHelp);
    }
    {
        auto noLengths = std::make_shared<bool>(false);
        auto json = std::make_shared<bool>(false);
        auto only = std::make_shared<std::vector<std::string>>();
        CLI::App* command = AddCommand(
            commands, "list", "List the table of contents: NAME, OFFSET, LENGTH per line.",
            "Prints one line per table entry in table order: NAME<TAB>OFFSET<TAB>LENGTH.\n"
            "An entry with a record in the conflict table shows as FOLDER/NAME, FOLDER\n"
            "being the record's folder (names repeated in an archive are told apart so).\n"
            "LENGTH is \"Error\" when the offset leaves no room for a data entry header.\n"
            "--json prints {\"entries\": [{\"index\", \"name\", \"folder\" (only with a record), \"offset\",\n"
            "\"length\"}, ...]} (length null for Error).",
            archive, [noLengths, only, json](const auto& a) { return RunList(a[0], *noLengths, *only, *json); });
        command->add_flag("--no-lengths", *noLengths, "read only the table of contents; every LENGTH is -1");
        command
            ->add_option("--only", *only,
                         "list only entries whose name matches PATTERN (repeatable; as extract-all --only)")
            ->type_name("PATTERN")
            ->allow_extra_args(false);
        command->add_flag("--json", *json, jsonHelp);
    }
    AddCommand<3>(commands, "extract", "Write one entry's data to a file.",
                  "Writes the data of the entry NAME to OUTPUT, replacing any file of that name. NAME is\n"
                  "compared case-insensitively; FOLDER/NAME names the copy of a repeated name whose\n"
                  "conflict-table record gives FOLDER (as `list` shows it), a bare NAME the first copy.",
                  {{{"ARCHIVE", "the archive"},
                    {"NAME", "the entry's name, or FOLDER/NAME"},
                    {"OUTPUT", "the file to write (- for standard output)"}}},
                  [](const auto& a) { return RunExtract(a[0], a[1], a[2]); });
    {
        auto options = std::make_shared<ExtractAllOptions>();
        CLI::App* command = AddCommand<2>(
            commands, "extract-all", "Write every entry's data (or those matching a pattern) into a folder.",
            "Writes every entry to FOLDER under its own name, in table order, replacing existing files.\n"
            "FOLDER is created when missing. Names that repeat (compared without case) never share a file:\n"
            "every copy of such a name goes into the subfolder that its record in the archive's conflict\n"
            "table gives it, the first copy included (the tree create reads back); a copy without one goes\n"
            "to FOLDER itself, shares the file of its name when it holds the same bytes, or else the\n"
            "command stops before anything is written, naming them.\n"
            "An entry whose name is no plain file name (holding \"/\" or \"\\\", or being empty, \".\" or\n"
            "\"..\") also stops the command before anything is written.",
            {{{"ARCHIVE", "the archive"}, {"FOLDER", "the folder to write into"}}},
            [options](const auto& a) { return RunExtractAll(a[0], a[1], *options); });
        command
            ->add_option(
                "--only", options->Only,
                "extract only entries whose name matches PATTERN (repeatable; '*', '?' and [a-z] sets, letters "
                "compared without case): --only '*.tex'")
            ->type_name("PATTERN")
            ->allow_extra_args(false);
        command->add_flag("--numbered", options->Numbered,
                          "repeated names without a folder get numbered names: \"name (2).ext\"");
    }
    {
        auto options = std::make_shared<CreateArchiveOptions>();
        auto noValidation = std::make_shared<bool>(false);
        auto like = std::make_shared<std::string>();
        CLI::App* command = commands.Add(
            "create", "Build an archive from the files of a folder.",
            "Stores every ordinary file of FOLDER and of its sub-folders (one level; not OUTPUT itself),\n"
            "uncompressed, with the creator SQUARESOFT and the trailing text FINAL FANTASY7. Names must have\n"
            "at most 20 characters, and names at the top that differ only in case are refused. A name found\n"
            "in several sub-folders is stored once per copy, each told apart by a record of its folder in\n"
            "the conflict table (the tree extract-all writes); a name both at the top and in a sub-folder is\n"
            "refused. A sub-folder's file whose name is found nowhere else is stored as a plain entry.\n"
            "Hidden files, deeper folders and anything but files are left out and listed on stderr.\n"
            "By default the validation data comes from the template \"LGP.<file count>\" of the user's data\n"
            "folder ($XDG_DATA_HOME/tarrowin, else ~/.local/share/tarrowin), else of this program's folder,\n"
            "with the files in case-insensitive name order, when the game finds every name through\n"
            "it and no name repeats; otherwise (saying so on stderr when a template was there) the lookup\n"
            "and conflict tables are computed: the files are stored by lookup slot, then by name, and names\n"
            "the game can't look up are refused.",
            [options, noValidation, like] {
                if (*noValidation)
                    options->Validation = ValidationSource::None;
                else if (!options->ValidationArchive.empty())
                    options->Validation = ValidationSource::FromArchive;
                if (!like->empty())
                {
                    options->Validation = ValidationSource::Like;
                    options->ValidationArchive = *like;
                }
                return RunCreate(*options);
            });
        CLI::Option* none = command->add_flag("--no-validation", *noValidation,
                                              "no validation data (the game finds no name in such an archive)");
        command
            ->add_option("--validation-from", options->ValidationArchive,
                         "the validation data of ARCHIVE, with the files in ARCHIVE's table order; FOLDER must hold "
                         "exactly ARCHIVE's names, case aside (rebuilding an archive from its extracted files)")
            ->type_name("ARCHIVE")
            ->excludes(none);
        command
            ->add_option("--like", *like,
                         "rebuild ARCHIVE's layout (creator, table order, type bytes, conflict fields and table, data "
                         "order, validation data, trailing text) with the data of FOLDER's files, as extract-all "
                         "wrote them; files missing from FOLDER are left out and files added take their place by "
                         "slot (both listed on stderr, the tables then computed again)")
            ->type_name("ARCHIVE")
            ->excludes(none)
            ->excludes("--validation-from");
        AddArgument(*command, "FOLDER", options->Folder, "the folder whose files are stored");
        AddArgument(*command, "OUTPUT", options->Output, "the archive to write");
    }
    auto verifyJson = std::make_shared<bool>(false);
    AddCommand(commands, "verify", "Check that the game finds every name through the lookup table.",
               "Reads the validation data as the game's lookup table and prints every table entry the game\n"
               "would not find (a name it can't look up, an empty or wrong slot, a slot pointing outside the\n"
               "table), and every entry found through the conflict table with its folder, then every fault of\n"
               "the conflict table (a record reaching no copy of its name or lying past the table, a table\n"
               "entry naming a conflict without a record for it, counts that don't add up), then one summary\n"
               "line (and one counting the faults). Exit status 3 when any name is lost or any fault found, 0\n"
               "when all are found, 1 when the archive can't be read.",
               archive, [json = verifyJson](const auto& a) { return RunVerify(a[0], *json); })
        ->add_flag("--json", *verifyJson, jsonHelp);
    auto analyseJson = std::make_shared<bool>(false);
    AddCommand(commands, "analyse", "Report the archive's structure: sizes, name mismatches, data gaps.",
               "Prints the sizes of the header and validation regions, the number of data entries whose name\n"
               "disagrees with the table of contents, and every place where data entries are not contiguous.\n"
               "Exit status 3 when it finds problems (mismatched names or data gaps, the signs of a corrupt or\n"
               "badly constructed file; pack or repair mends them), 0 when it finds none, 1 when the archive\n"
               "can't be read. The size of the validation data is reported, not judged (see verify).",
               archive, [json = analyseJson](const auto& a) { return RunAnalyse(a[0], *json); })
        ->add_flag("--json", *analyseJson, jsonHelp);
    AddCommand(commands, "repair", "Point TOC entries that miss their data at the first data entry of their name.",
               "Relinks the table of contents (on a copy that then takes the archive's place). An entry whose\n"
               "offset already reaches a whole data entry carrying its name (or the name a patch gives the data\n"
               "it writes, NAME.patch) stays as it is; every other entry gets the position of the first data\n"
               "entry (in file order) whose name equals its own, compared case-insensitively. Entries without\n"
               "such a data entry stay as they are.",
               archive, [](const auto& a) { return RunRepair(a[0]); });
    AddCommand(commands, "pack", "Remove gaps and unreferenced data, shortening the archive.",
               "Moves every data entry that a table entry refers to towards the start of the data region,\n"
               "drops the rest, rewrites the table's offsets and shortens the file. An archive without data\n"
               "entries is left unchanged.",
               archive, [](const auto& a) { return RunPack(a[0]); });
}
