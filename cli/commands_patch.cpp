// The patch commands of tarrowin-cli: lzs-decode, lzs-encode, make-patch,
// apply-patch, make-sfx, unwrap-sfx.
#include "cli.h"

#include "core/lebytes.h"
#include "core/lgpstruct.h"
#include "patch/FFLZs.h"
#include "patch/lgppatch.h"
#include "platform/paths.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace
{
    int RunLzsDecode(const std::string& inputPath, const std::string& outputPath, bool force)
    {
        if (inputPath != "-" && outputPath != "-")
            RequireOutputIsNoInput(outputPath, std::span(&inputPath, 1));
        TMemoryStream input(Cli::Load(inputPath));
        // Any bytes decode to something; data that fails the probe is most
        // likely no LZS at all, and its "decoding" would be junk.
        if (!force && !LooksLikeLzs(input))
        {
            std::string found = "it is shorter than 4 bytes";
            if (input.Size() >= 4)
            {
                const auto length = lgp::GetLE<std::int32_t>(input.Bytes(), 0);
                found = "its first 4 bytes say " + std::to_string(length) + ", its length minus 4 is "
                        + std::to_string(input.Size() - 4);
            }
            std::fprintf(stderr, "%s: %s is not LZS data (%s). Nothing was written; --force decodes it anyway.\n",
                         Cli::ProgramName, inputPath.c_str(), found.c_str());
            return Cli::ExitFailure;
        }
        Cli::Save(outputPath, LzsDecompress(input)->Bytes());
        return Cli::ExitOk;
    }

    int RunLzsEncode(const std::string& inputPath, const std::string& outputPath, bool store)
    {
        if (inputPath != "-" && outputPath != "-")
            RequireOutputIsNoInput(outputPath, std::span(&inputPath, 1));
        TMemoryStream input(Cli::Load(inputPath));
        Cli::Save(outputPath, (store ? LzsStore(input) : LzsCompress(input))->Bytes());
        return Cli::ExitOk;
    }

    // options.ModifiedArchive holds MODIFIED as given; a folder moves to ModifiedFolder.
    int RunMakePatch(PatchCreationOptions options, bool leaveOut)
    {
        std::error_code error;
        options.ModifiedIsFolder = std::filesystem::is_directory(options.ModifiedArchive, error);
        if (options.ModifiedIsFolder)
        {
            options.ModifiedFolder = options.ModifiedArchive;
            options.ModifiedArchive.clear();
            if (options.ModifiedFolder.back() != '/')
                options.ModifiedFolder += '/';
        }

        Cli::TerminalProgress progress("Comparing");
        PatchCreationCallbacks callbacks;
        callbacks.Status = [&progress](const std::string& text) {
            progress.Break();
            Cli::Status(text);
        };
        callbacks.SetBarMaximum = [&progress](std::int32_t maximum) { progress.SetMaximum(maximum); };
        callbacks.SetBarPosition = [&progress](std::int32_t position) { progress.SetPosition(position); };
        // A file the patch can't carry whole is never cut: the command
        // refuses unless told to leave such files out.
        callbacks.LeaveOut = [leaveOut, &progress](const std::vector<UnpatchableFile>& files) {
            progress.Break();
            const std::string list = DescribeUnpatchableFiles(files);
            if (leaveOut)
                std::fprintf(stderr, "Left out, as a patch can't carry them whole:\n%s\n", list.c_str());
            else
                std::fprintf(stderr,
                             "%s: A patch can't add files or make a file longer, so it can't carry these files "
                             "whole:\n%s\nNo patch was written; --leave-out-unpatchable makes it without them.\n",
                             Cli::ProgramName, list.c_str());
            return leaveOut;
        };
        return CreatePatch(options, callbacks) ? Cli::ExitOk : Cli::ExitFailure;
    }

    int RunApplyPatch(const std::string& archivePath, const std::string& patchPath, bool appendOnly)
    {
        // A file of another kind would pass for a patch that changes nothing.
        CheckPatchFileStructure(patchPath);
        TRawLGPFile archive(archivePath, RawEditorVariant::Main);
        const TLGPFile patch(patchPath, true);
        const PatchReport report = ApplyPatch(archive, patch, !appendOnly);
        // Say what happened: a patch made for another archive must not pass
        // for one that was applied.
        std::printf("Patched %d %s of %s.\n", report.Patched, report.Patched == 1 ? "entry" : "entries",
                    archivePath.c_str());
        if (report.AlreadyPatched > 0)
            std::printf("Left %d %s as %s: %s the patched data already.\n", report.AlreadyPatched,
                        report.AlreadyPatched == 1 ? "entry" : "entries",
                        report.AlreadyPatched == 1 ? "it was" : "they were",
                        report.AlreadyPatched == 1 ? "it holds" : "they hold");
        if (!report.NotHeld.empty())
        {
            std::string names;
            for (const std::string& name : report.NotHeld)
                names += (names.empty() ? "" : ", ") + name;
            std::printf("The archive does not hold %zu of the patch's files: %s\n", report.NotHeld.size(),
                        names.c_str());
        }
        return Cli::ExitOk;
    }

    struct SfxArguments
    {
        std::string Patch;
        std::string Output;
        std::string Target;
        std::string Stub; // empty: the stub beside the program that suits Output
        bool AllowOverwrite = false;
    };

    int RunMakeSfx(const SfxArguments& a)
    {
        const std::string stub = a.Stub.empty() ? Platform::Paths::programDir() + StubImageName(a.Output) : a.Stub;
        MakeSelfExtractor(stub, a.Patch, a.Target, a.AllowOverwrite, a.Output);
        return Cli::ExitOk;
    }

    int RunUnwrapSfx(const std::string& inputPath, const std::string& patchPath)
    {
        ExtractPatch(inputPath, patchPath);
        return Cli::ExitOk;
    }
} // namespace

void Cli::AddPatchCommands(Commands& commands)
{
    {
        auto force = std::make_shared<bool>(false);
        CLI::App* command = AddCommand<2>(commands, "lzs-decode", "Decode an LZS-compressed file.",
                                          "Reads INPUT as LZS data (a 4-byte length, then control bytes, literals and\n"
                                          "back references) and writes the decoded bytes to OUTPUT. INPUT whose first\n"
                                          "4 bytes are not its length minus 4 is refused as no LZS data.",
                                          {{{"INPUT", "the LZS file (- for standard input)"},
                                            {"OUTPUT", "the file to write (- for standard output)"}}},
                                          [force](const auto& a) { return RunLzsDecode(a[0], a[1], *force); });
        command->add_flag("--force", *force, "decode INPUT even when it fails that test");
    }
    {
        auto store = std::make_shared<bool>(false);
        CLI::App* command =
            AddCommand<2>(commands, "lzs-encode", "Compress a file as LZS data.",
                          "Writes INPUT to OUTPUT as LZS data, compressed with back references into the\n"
                          "4,096-byte window (lengths 3 to 18) that any decoder of the format reads back.\n"
                          "With --store, OUTPUT holds literals only, one byte in nine larger than INPUT.",
                          {{{"INPUT", "the file to compress (- for standard input)"},
                            {"OUTPUT", "the LZS file to write (- for standard output)"}}},
                          [store](const auto& a) { return RunLzsEncode(a[0], a[1], *store); });
        command->add_flag("--store", *store, "write literals only, without compressing");
    }
    {
        auto options = std::make_shared<PatchCreationOptions>();
        auto leaveOut = std::make_shared<bool>(false);
        CLI::App* command =
            commands.Add("make-patch", "Make a patch from a source archive and a modified archive or folder.",
                         "Compares every entry of the SOURCE archive with the file of the same name in\n"
                         "MODIFIED (an archive, or a folder of loose files when it is a directory) and\n"
                         "writes the differences as the patch file PATCH. LZS files are compared\n"
                         "decoded. Status texts go to stderr.\n\n"
                         "A patch can't add files or make a file longer: when MODIFIED holds files\n"
                         "only it has, or files longer than in SOURCE, the command lists them and\n"
                         "writes nothing (exit 1), unless told to leave them out.",
                         [options, leaveOut] { return RunMakePatch(*options, *leaveOut); });
        command->add_flag("--skip-same-length", options->SkipSameLength,
                          "leave out files whose modified version has the same stored length as the source entry");
        command->add_flag("--leave-out-unpatchable", *leaveOut,
                          "make the patch without the files it can't carry whole (they are listed on stderr)");
        AddArgument(*command, "SOURCE", options->Source, "the source archive");
        AddArgument(*command, "MODIFIED", options->ModifiedArchive, "the modified archive or folder");
        AddArgument(*command, "PATCH", options->Output, "the patch file to write");
    }
    {
        auto appendOnly = std::make_shared<bool>(false);
        CLI::App* command =
            AddCommand<2>(commands, "apply-patch", "Apply a patch to an archive in place.",
                          "Rewrites every entry of ARCHIVE that PATCH names with its patched contents:\n"
                          "in place where the new data fits, appended at the end otherwise. Says how many\n"
                          "entries it patched and which files of the patch ARCHIVE does not hold; an\n"
                          "ARCHIVE that holds none of them is refused, unchanged (exit 1). With\n"
                          "--append-only, an entry that already holds the patched data is not appended again.",
                          {{{"ARCHIVE", "the archive to patch"}, {"PATCH", "the patch file"}}},
                          [appendOnly](const auto& a) { return RunApplyPatch(a[0], a[1], *appendOnly); });
        command->add_flag("--append-only", *appendOnly, "never overwrite old data; append every patched file");
    }
    {
        auto arguments = std::make_shared<SfxArguments>();
        CLI::App* command = commands.Add("make-sfx", "Wrap a patch into a self-extracting patch program.",
                                         "Writes OUTPUT: the stub program's image, the PATCH file and a trailer.\n"
                                         "OUTPUT ending in \".exe\" gets the Windows program (STUBWIN.LGP), any other\n"
                                         "name the Linux program (STUB.LGP); a Linux program is made executable.",
                                         [arguments] { return RunMakeSfx(*arguments); });
        command->add_flag("--allow-overwrite", arguments->AllowOverwrite,
                          "let the program overwrite old data in place");
        command
            ->add_option("--target", arguments->Target,
                         "the archive the patch is for (only its file name is kept; at most 31 characters)")
            ->type_name("NAME");
        command
            ->add_option("--stub", arguments->Stub,
                         "the stub image (default: STUBWIN.LGP or STUB.LGP beside tarrowin-cli, as OUTPUT asks)")
            ->type_name("FILE");
        AddArgument(*command, "PATCH", arguments->Patch, "the patch file");
        AddArgument(*command, "OUTPUT", arguments->Output, "the program to write");
    }
    AddCommand<2>(commands, "unwrap-sfx", "Take the patch back out of a self-extracting patch program.",
                  "Writes the patch inside the self-extracting program INPUT to PATCH, byte for\n"
                  "byte, once it has checked that INPUT ends in a trailer and that what it holds\n"
                  "is a patch; otherwise nothing is written (exit 1).",
                  {{{"INPUT", "the self-extracting program"}, {"PATCH", "the patch file to write"}}},
                  [](const auto& a) { return RunUnwrapSfx(a[0], a[1]); });
}
