// The texture commands of tarrowin-cli: tex-export, tex-import, tex-info.
#include "cli.h"

#include "core/lgplookup.h"
#include "core/lgpstruct.h"
#include "core/streams.h"
#include "errors/errors.h"
#include "preview/texfile.h"
#include "preview/texpng.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{
    void Print(const std::string& line)
    {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }

    std::string LowerAscii(std::string text)
    {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return text;
    }

    bool IsTexName(const std::string& name)
    {
        return name.size() >= 4 && SameNameAscii(name.substr(name.size() - 4), ".tex");
    }

    // "folder/name.tex" -> "folder/name.png" for palette 0, "folder/name.palette2.png" for palette 2.
    std::string PictureName(const std::string& texPath, std::int32_t palette)
    {
        const std::string stem = texPath.substr(0, texPath.size() - 4);
        return palette == 0 ? stem + ".png" : stem + ".palette" + std::to_string(palette) + ".png";
    }

    std::vector<std::uint8_t> EntryBytes(const TLGPFile& archive, std::int32_t index)
    {
        TMemoryStream stream;
        archive.ReadEntryData(index, stream);
        return std::move(stream.Vector());
    }

    // The TEX entries of archive (those matching patterns, every one when
    // none are given) and where Extract All puts them.
    std::vector<ExtractTarget> PlanTextures(const TLGPFile& archive, const std::vector<std::string>& patterns,
                                            bool numbered)
    {
        ExtractAllOptions options;
        options.Only = patterns.empty() ? std::vector<std::string>{"*.tex"} : patterns;
        options.Numbered = numbered;
        std::vector<ExtractTarget> plan;
        try
        {
            plan = PlanExtractAll(archive, options);
        }
        catch (const ESharedNamesError& e)
        {
            throw ELGPError(std::string(e.what()) + " Add --numbered to use numbered names for them.");
        }
        std::erase_if(plan, [&](const ExtractTarget& t) { return !IsTexName(archive.GetEntry(t.Index).Name); });
        return plan;
    }

    struct ExportOptions
    {
        std::vector<std::string> Arguments; // ARCHIVE PATTERN... FOLDER
        std::int32_t Palette = 0;
        bool AllPalettes = false;
        bool Numbered = false;
    };

    int RunExport(const ExportOptions& options)
    {
        if (options.Arguments.size() < 2)
        {
            std::cerr << "tarrowin-cli: tex-export needs ARCHIVE and FOLDER\n";
            return Cli::ExitUsage;
        }
        const std::string& path = options.Arguments.front();
        const std::string& folder = options.Arguments.back();
        const std::vector<std::string> patterns(options.Arguments.begin() + 1, options.Arguments.end() - 1);
        const TLGPFile archive(path, true);
        const std::vector<ExtractTarget> plan = PlanTextures(archive, patterns, options.Numbered);
        if (plan.empty())
            throw ELGPError("No TEX entry of " + path + " matches; nothing was written.");

        std::int32_t written = 0;
        std::vector<std::string> failed;
        Cli::TerminalProgress progress("Exporting");
        progress.SetMaximum(std::int32_t(plan.size()));
        for (std::size_t i = 0; i < plan.size(); ++i)
        {
            const ExtractTarget& target = plan[i];
            try
            {
                const std::vector<std::uint8_t> tex = EntryBytes(archive, target.Index);
                const TTexLayout layout = TexLayout(ReadTexHeader(tex));
                std::vector<std::int32_t> palettes{options.Palette};
                if (options.AllPalettes)
                {
                    palettes.clear();
                    for (std::int32_t k = 0; k < std::max(layout.Palettes, 1); ++k)
                        palettes.push_back(k);
                }
                for (std::int32_t k : palettes)
                {
                    const std::vector<std::uint8_t> png = PictureToPng(TexToPicture(tex, k));
                    const std::filesystem::path out = std::filesystem::path(folder) / PictureName(target.Path, k);
                    std::error_code ec;
                    std::filesystem::create_directories(out.parent_path(), ec);
                    if (ec)
                        lgp::FailInOut(ec.value());
                    WriteWholeFile(out.string(), png);
                    ++written;
                }
            }
            catch (const ELGPError& e)
            {
                progress.Break();
                failed.push_back(target.Path);
                std::cerr << target.Path << ": " << lgp::OneLineText(e) << "\n";
            }
            progress.SetPosition(std::int32_t(i + 1));
        }
        progress.Break();
        Print("Wrote " + std::to_string(written) + " pictures to " + folder);
        if (!failed.empty())
            throw ELGPError(std::to_string(failed.size()) + " of " + std::to_string(plan.size())
                            + " textures could not be exported (see above).");
        return Cli::ExitOk;
    }

    struct ImportOptions
    {
        std::string Archive;
        std::string Name;
        std::string Picture;
        std::string From;
        std::int32_t Palette = 0;
        bool Numbered = false;
    };

    // One picture going into one palette of one table entry.
    struct ImportJob
    {
        std::int32_t Index = 0;
        std::string Label; // the entry's place for messages ("folder/name.tex")
        std::vector<std::pair<std::int32_t, TTexPicture>> Palettes;
    };

    std::string Describe(const TTexWriteResult& result)
    {
        if (result.Quantized)
            return ", palette made anew for the picture's colours";
        if (result.PaletteChanged)
            return ", palette colours changed";
        return "";
    }

    // Converts every job against the entry's current TEX, then writes the
    // changed ones in one run on a copy of the archive (all or nothing).
    int Import(const std::string& path, std::vector<ImportJob>& jobs)
    {
        TRawLGPFile archive(path);
        struct Change
        {
            std::int32_t Index;
            std::vector<std::uint8_t> Data;
            std::string Line;
        };
        std::vector<Change> changes;
        std::int32_t unchanged = 0;
        for (ImportJob& job : jobs)
        {
            TMemoryStream stream;
            archive.ReadEntryData(job.Index, stream);
            const std::vector<std::uint8_t> old = stream.Vector();
            std::vector<std::uint8_t> data = old;
            std::string notes;
            for (const auto& [palette, picture] : job.Palettes)
            {
                try
                {
                    TTexWriteResult result = WriteTexFromPicture(data, picture, palette);
                    data = std::move(result.Data);
                    notes += Describe(result);
                }
                catch (const ELGPError& e)
                {
                    throw ELGPError(job.Label + ": " + e.what() + " Nothing was changed.");
                }
            }
            if (data == old)
            {
                ++unchanged;
                continue;
            }
            changes.push_back({job.Index, std::move(data), job.Label + notes});
        }
        if (!changes.empty())
        {
            archive.RewriteAtomically([&] {
                for (const Change& change : changes)
                {
                    const bool inPlace = ReplaceEntryDataAt(archive, change.Index, change.Data);
                    Print(change.Line + (inPlace ? ": rewritten in place" : ": appended, table entry relinked"));
                }
            });
        }
        Print(std::to_string(changes.size()) + " textures changed, " + std::to_string(unchanged) + " unchanged.");
        return Cli::ExitOk;
    }

    int RunImport(const ImportOptions& options)
    {
        std::vector<ImportJob> jobs;
        if (!options.From.empty())
        {
            if (!options.Name.empty() || options.Palette != 0)
            {
                std::cerr << "tarrowin-cli: tex-import --from takes no NAME, PICTURE or --palette\n";
                return Cli::ExitUsage;
            }
            // The names tex-export gives, found the same way; letters compared without case.
            std::unordered_map<std::string, std::string> pictures;
            std::error_code ec;
            for (auto it = std::filesystem::recursive_directory_iterator(options.From, ec);
                 !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
                if (it->is_regular_file(ec))
                    pictures.emplace(LowerAscii(it->path().lexically_relative(options.From).generic_string()),
                                     it->path().string());
            if (ec)
                lgp::FailInOut(ec.value());
            const TLGPFile reader(options.Archive, true);
            for (const ExtractTarget& target : PlanTextures(reader, {}, options.Numbered))
            {
                ImportJob job{target.Index, target.Path, {}};
                const std::vector<std::uint8_t> tex = EntryBytes(reader, target.Index);
                const std::int32_t palettes = std::max(TexLayout(ReadTexHeader(tex)).Palettes, 1);
                for (std::int32_t k = 0; k < palettes; ++k)
                {
                    const auto found = pictures.find(LowerAscii(PictureName(target.Path, k)));
                    if (found != pictures.end())
                        job.Palettes.emplace_back(k, PngToPicture(ReadWholeFile(found->second)));
                }
                if (!job.Palettes.empty())
                    jobs.push_back(std::move(job));
            }
            if (jobs.empty())
                throw ELGPError("No picture in " + options.From + " is named after a TEX entry of " + options.Archive
                                + " (NAME.png, or NAME.paletteN.png for palette N); nothing was changed.");
            return Import(options.Archive, jobs);
        }
        if (options.Name.empty() || options.Picture.empty())
        {
            std::cerr << "tarrowin-cli: tex-import needs NAME and PICTURE, or --from FOLDER\n";
            return Cli::ExitUsage;
        }
        // The picture is read first: a missing or unreadable one changes nothing.
        TTexPicture picture = PngToPicture(ReadWholeFile(options.Picture));
        const TLGPFile reader(options.Archive, false);
        const std::int32_t index = reader.FindEntry(options.Name);
        if (index < 0)
            throw ELGPError("The archive holds no entry named \"" + options.Name + "\".");
        ImportJob job{index, options.Name, {}};
        job.Palettes.emplace_back(options.Palette, std::move(picture));
        jobs.push_back(std::move(job));
        return Import(options.Archive, jobs);
    }

    int RunInfo(const std::string& path, const std::string& name)
    {
        const TLGPFile archive(path, false);
        const std::int32_t index = archive.FindEntry(name);
        if (index < 0)
            throw ELGPError("The archive holds no entry named \"" + name + "\".");
        const std::vector<std::uint8_t> tex = EntryBytes(archive, index);
        const TTexHeader header = ReadTexHeader(tex);
        Print(archive.GetEntry(index).Name + ": " + DescribeTexture(header));
        for (const TTexHeaderField& field : TexHeaderFields)
        {
            std::string line = "  " + std::to_string(field.Offset);
            line.resize(7, ' ');
            line += field.Name;
            line += ": " + std::to_string(header.*field.Member);
            line.resize(std::max<std::size_t>(line.size(), 40), ' ');
            Print(line + " (" + field.Meaning + ")");
        }
        return Cli::ExitOk;
    }
} // namespace

void Cli::AddTextureCommands(Commands& commands)
{
    {
        auto options = std::make_shared<ExportOptions>();
        CLI::App* command =
            commands.Add("tex-export", "Write TEX textures as PNG pictures.",
                         "Writes every TEX entry of ARCHIVE (those matching a PATTERN when given: '*', '?' and [a-z]\n"
                         "sets, letters compared without case) into FOLDER as NAME.png, repeated names into the\n"
                         "folders Extract All gives them. A palettised texture becomes an 8-bit palette PNG (palette\n"
                         "index 0 transparent when the texture's colour key is set); a direct-colour one an RGB PNG.\n"
                         "A texture with several palettes writes palette 0 unless --palette names another or\n"
                         "--all-palettes writes each (palette N as NAME.paletteN.png). A texture that can't be\n"
                         "read is reported and skipped; the others are written and the command fails at the end.",
                         [options] { return RunExport(*options); });
        command->add_option("ARCHIVE [PATTERN...] FOLDER", options->Arguments, "the archive, patterns, the folder")
            ->required()
            ->expected(2, -1)
            ->type_name("");
        command->add_option("--palette", options->Palette, "the palette to write (from 0)")->type_name("N");
        command->add_flag("--all-palettes", options->AllPalettes, "write one picture per palette");
        command->add_flag("--numbered", options->Numbered,
                          "repeated names without a folder get numbered names: \"name (2).png\"");
    }
    {
        auto options = std::make_shared<ImportOptions>();
        CLI::App* command = commands.Add(
            "tex-import", "Put PNG pictures back into TEX textures of an archive.",
            "Converts PICTURE (a PNG) against the current TEX entry NAME and puts the result into the\n"
            "archive as replace does; with --from, every picture of FOLDER named as tex-export names it\n"
            "(NAME.png, NAME.paletteN.png, repeated names in their folders). Width and height must be the\n"
            "texture's. A palettised texture keeps its palette when every colour of the picture is in\n"
            "it (an unedited export goes back byte for byte); an 8-bit palette picture whose indices fit\n"
            "the palette gives it its colours; anything else gets a palette made for the picture.\n"
            "Transparent pixels become index 0 (direct colour: value 0) when the colour key is set and\n"
            "are refused otherwise. Bit 15 of direct-colour pixels is kept. Every picture is converted\n"
            "before anything is written, and the changed textures are written in one step on a copy\n"
            "of the archive put in its place: a failure changes nothing. Unchanged textures are not written.",
            [options] { return RunImport(*options); });
        command->add_option("ARCHIVE", options->Archive, "the archive")->required()->type_name("");
        command->add_option("NAME", options->Name, "the TEX entry's name")->type_name("");
        command->add_option("PICTURE", options->Picture, "the PNG picture")->type_name("");
        command->add_option("--from", options->From, "import every picture of FOLDER named after a TEX entry")
            ->type_name("FOLDER");
        command->add_option("--palette", options->Palette, "the palette the picture shows (from 0)")->type_name("N");
        command->add_flag("--numbered", options->Numbered, "the pictures were exported with --numbered");
    }
    AddCommand<2>(commands, "tex-info", "Show a TEX texture's size, kind, palettes and header fields.",
                  "Prints one line of facts, then the header fields read (offset, name, value, meaning).",
                  {{{"ARCHIVE", "the archive"}, {"NAME", "the TEX entry's name"}}},
                  [](const auto& a) { return RunInfo(a[0], a[1]); });
}
