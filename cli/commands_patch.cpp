// The patch commands of tarrowin-cli: lzs-decode, lzs-encode, make-patch,
// apply-patch, make-sfx, unwrap-sfx.
#include "cli.h"

#include "core/lgpstruct.h"
#include "patch/FFLZs.h"
#include "patch/lgppatch.h"
#include "platform/paths.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace
{
    // Options ("--x", some taking the next argument as their value) and the
    // positional arguments, in order.
    struct Args
    {
        std::vector<std::string> flags;
        std::vector<std::pair<std::string, std::string>> values;
        std::vector<std::string> positional;

        bool has(const std::string& flag) const
        {
            for (const auto& f : flags)
            {
                if (f == flag)
                    return true;
            }
            return false;
        }

        std::optional<std::string> value(const std::string& option) const
        {
            std::optional<std::string> found;
            for (const auto& [name, v] : values)
            {
                if (name == option)
                    found = v;
            }
            return found;
        }
    };

    Args Parse(const std::vector<std::string>& args, std::size_t positional,
        const std::vector<std::string>& allowedFlags, const std::vector<std::string>& valueOptions = {})
    {
        const auto contains = [](const std::vector<std::string>& list, const std::string& item) {
            for (const auto& l : list)
            {
                if (l == item)
                    return true;
            }
            return false;
        };
        Args out;
        bool optionsDone = false;
        for (std::size_t i = 0; i < args.size(); ++i)
        {
            const std::string& a = args[i];
            if (!optionsDone && a == "--")
                optionsDone = true;
            else if (!optionsDone && a.size() > 1 && a[0] == '-')
            {
                if (contains(allowedFlags, a))
                    out.flags.push_back(a);
                else if (contains(valueOptions, a))
                {
                    if (i + 1 >= args.size())
                        throw Cli::UsageError{a + " needs a value"};
                    out.values.emplace_back(a, args[++i]);
                }
                else
                    throw Cli::UsageError{"unknown option \"" + a + "\""};
            }
            else
                out.positional.push_back(a);
        }
        if (out.positional.size() != positional)
            throw Cli::UsageError{"expected " + std::to_string(positional) + " arguments, got " +
                                  std::to_string(out.positional.size())};
        return out;
    }

    int LzsDecodeCommand(const std::vector<std::string>& args)
    {
        const Args a = Parse(args, 2, {"--force"});
        TMemoryStream input;
        input.LoadFromFile(a.positional[0]);
        // Any bytes decode to something; data that fails the probe is most
        // likely no LZS at all, and its "decoding" would be junk.
        if (!a.has("--force") && !LooksLikeLzs(input))
        {
            std::string found = "it is shorter than 4 bytes";
            if (input.Size() >= 4)
            {
                const auto& b = input.Bytes();
                const auto length = static_cast<std::int32_t>(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                    std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24);
                found = "its first 4 bytes say " + std::to_string(length) + ", its length minus 4 is " +
                    std::to_string(input.Size() - 4);
            }
            std::fprintf(stderr, "%s is not LZS data (%s). Nothing was written; --force decodes it anyway.\n",
                a.positional[0].c_str(), found.c_str());
            return Cli::ExitFailure;
        }
        LzsDecompress(input)->SaveToFile(a.positional[1]);
        return Cli::ExitOk;
    }

    int LzsEncodeCommand(const std::vector<std::string>& args)
    {
        const Args a = Parse(args, 2, {});
        TMemoryStream input;
        input.LoadFromFile(a.positional[0]);
        LzsStore(input)->SaveToFile(a.positional[1]);
        return Cli::ExitOk;
    }

    int MakePatchCommand(const std::vector<std::string>& args)
    {
        const Args a = Parse(args, 3, {"--skip-same-length", "--leave-out-unpatchable"});
        PatchCreationOptions options;
        options.Source = a.positional[0];
        std::error_code error;
        options.ModifiedIsFolder = std::filesystem::is_directory(a.positional[1], error);
        if (options.ModifiedIsFolder)
        {
            options.ModifiedFolder = a.positional[1];
            if (options.ModifiedFolder.back() != '/')
                options.ModifiedFolder += '/';
        }
        else
            options.ModifiedArchive = a.positional[1];
        options.SkipSameLength = a.has("--skip-same-length");
        options.Output = a.positional[2];

        PatchCreationCallbacks callbacks;
        callbacks.Status = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
        // A file the patch can't carry whole is never cut: the command
        // refuses unless told to leave such files out.
        const bool leaveOut = a.has("--leave-out-unpatchable");
        callbacks.LeaveOut = [leaveOut](const std::vector<UnpatchableFile>& files) {
            const std::string list = DescribeUnpatchableFiles(files);
            if (leaveOut)
                std::fprintf(stderr, "Left out, as a patch can't carry them whole:\n%s\n", list.c_str());
            else
                std::fprintf(stderr,
                    "A patch can't add files or make a file longer, so it can't carry these files whole:\n%s\n"
                    "No patch was written; --leave-out-unpatchable makes it without them.\n",
                    list.c_str());
            return leaveOut;
        };
        Cli::TerminalProgress progress("Reading");
        return CreatePatch(options, callbacks) ? Cli::ExitOk : Cli::ExitFailure;
    }

    int ApplyPatchCommand(const std::vector<std::string>& args)
    {
        const Args a = Parse(args, 2, {"--append-only"});
        // A file of another kind would pass for a patch that changes nothing.
        CheckPatchFileStructure(a.positional[1]);
        TRawLGPFile archive(a.positional[0], RawEditorVariant::Main);
        const TLGPFile patch(a.positional[1], true);
        ApplyPatch(archive, patch, !a.has("--append-only"));
        return Cli::ExitOk;
    }

    int MakeSfxCommand(const std::vector<std::string>& args)
    {
        const Args a = Parse(args, 2, {"--allow-overwrite"}, {"--target", "--stub"});
        const std::string stub =
            a.value("--stub").value_or(Platform::Paths::programDir() + StubImageName(a.positional[1]));
        MakeSelfExtractor(stub, a.positional[0], a.value("--target").value_or(""), a.has("--allow-overwrite"),
            a.positional[1]);
        return Cli::ExitOk;
    }

    int UnwrapSfxCommand(const std::vector<std::string>& args)
    {
        const Args a = Parse(args, 2, {});
        ExtractPatch(a.positional[0], a.positional[1]);
        return Cli::ExitOk;
    }
}

std::vector<Cli::Command> Cli::PatchCommands()
{
    return {
        {"lzs-decode", "lzs-decode [--force] INPUT OUTPUT", "Decode an LZS-compressed file.",
            "Reads INPUT as LZS data (a 4-byte length, then control bytes, literals and\n"
            "back references) and writes the decoded bytes to OUTPUT. INPUT whose first\n"
            "4 bytes are not its length minus 4 is refused as no LZS data.\n\n"
            "  --force  decode INPUT even when it fails that test",
            LzsDecodeCommand},
        {"lzs-encode", "lzs-encode INPUT OUTPUT", "Store a file as literal-only LZS data.",
            "Writes INPUT to OUTPUT as LZS data made of literals only: valid LZS that any\n"
            "decoder reads back, one byte in nine larger than the input.",
            LzsEncodeCommand},
        {"make-patch", "make-patch [--skip-same-length] [--leave-out-unpatchable] SOURCE MODIFIED PATCH",
            "Make a patch from a source archive and a modified archive or folder.",
            "Compares every entry of the SOURCE archive with the file of the same name in\n"
            "MODIFIED (an archive, or a folder of loose files when it is a directory) and\n"
            "writes the differences as the patch file PATCH. LZS files are compared\n"
            "decoded. Status texts go to stderr.\n\n"
            "A patch can't add files or make a file longer: when MODIFIED holds files\n"
            "only it has, or files longer than in SOURCE, the command lists them and\n"
            "writes nothing (exit 1), unless told to leave them out.\n\n"
            "  --skip-same-length      leave out files whose modified version has the\n"
            "                          same stored length as the source entry\n"
            "  --leave-out-unpatchable make the patch without the files it can't carry\n"
            "                          whole (they are listed on stderr)",
            MakePatchCommand},
        {"apply-patch", "apply-patch [--append-only] ARCHIVE PATCH", "Apply a patch to an archive in place.",
            "Rewrites every entry of ARCHIVE that PATCH names with its patched contents:\n"
            "in place where the new data fits, appended at the end otherwise.\n\n"
            "  --append-only  never overwrite old data; append every patched file",
            ApplyPatchCommand},
        {"make-sfx", "make-sfx [--allow-overwrite] [--target NAME] [--stub FILE] PATCH OUTPUT",
            "Wrap a patch into a self-extracting patch program.",
            "Writes OUTPUT: the stub program's image, the PATCH file and a trailer. An\n"
            "OUTPUT ending in \".exe\" gets the Windows program (STUBWIN.LGP), any other\n"
            "name the Linux program (STUB.LGP); a Linux program is made executable.\n\n"
            "  --allow-overwrite  let the program overwrite old data in place\n"
            "  --target NAME      the archive the patch is for (only its file name is kept;\n"
            "                     at most 31 characters)\n"
            "  --stub FILE        the stub image (default: STUBWIN.LGP or STUB.LGP beside\n"
            "                     tarrowin-cli, as above)",
            MakeSfxCommand},
        {"unwrap-sfx", "unwrap-sfx INPUT PATCH", "Take the patch back out of a self-extracting patch program.",
            "Writes the patch inside the self-extracting program INPUT to PATCH, byte for\n"
            "byte, once it has checked that INPUT ends in a trailer and that what it holds\n"
            "is a patch; otherwise nothing is written (exit 1).",
            UnwrapSfxCommand},
    };
}
