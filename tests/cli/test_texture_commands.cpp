// tarrowin-cli's texture commands, run as a separate program.
#include "../preview/testwriters.h"
#include "preview/texfile.h"
#include "preview/texpng.h"

#include "clirun.h"

#include <gmock/gmock.h>

using namespace testlgp;
using testcli::Cli;
using testcli::Result;
using ::testing::HasSubstr;
using testw::MakeTex;

namespace
{
    const Bytes Small16 = MakeTex({.Width = 8, .Height = 4, .Colours = 16, .Seed = 21});
    const Bytes Multi = MakeTex({.Width = 8, .Height = 4, .Palettes = 3, .Colours = 16, .Seed = 22});
    const Bytes Direct = MakeTex({.Width = 8, .Height = 4, .Colours = 0, .Seed = 23});
    const Bytes Big256 = MakeTex({.Width = 16, .Height = 16, .Colours = 256, .Seed = 24});

    // Two entries named d.tex (no conflict table: numbered), other files between.
    const Archive Textures{.Files = {{"a.tex", Small16},
                                     {"m.tex", Multi},
                                     {"notes.txt", B("not a texture")},
                                     {"d.tex", Direct},
                                     {"d.tex", Big256}}};
} // namespace

TEST(CliTexture, exportAndImportFromTheFolderRoundTripAndEditsChangeOnlyTheirTexture)
{
    TempFolder tmp;
    const std::string archive = tmp.save("tex.lgp", Write(Textures));
    const Bytes before = Load(archive);
    const std::string out = tmp.file("out");

    const Result refused = Cli(tmp, {"tex-export", archive, out});
    EXPECT_EQ(refused.code, 1);
    EXPECT_THAT(refused.err, HasSubstr("Add --numbered to use numbered names for them."));

    const Result exported = Cli(tmp, {"tex-export", "--numbered", "--all-palettes", archive, out});
    ASSERT_EQ(exported.code, 0) << exported.err;
    EXPECT_EQ(exported.out, "Wrote 6 pictures to " + out + "\n");
    for (const char* name : {"a.png", "m.png", "m.palette1.png", "m.palette2.png", "d.png", "d (2).png"})
        EXPECT_TRUE(std::filesystem::is_regular_file(out + "/" + name)) << name;
    EXPECT_FALSE(std::filesystem::exists(out + "/notes.png"));
    EXPECT_EQ(PngToPicture(Load(out + "/m.palette2.png")), TexToPicture(Multi, 2));

    // Nothing edited: nothing written, the archive stays byte for byte.
    const Result same = Cli(tmp, {"tex-import", "--numbered", archive, "--from", out});
    ASSERT_EQ(same.code, 0) << same.err;
    EXPECT_EQ(same.out, "0 textures changed, 4 unchanged.\n");
    EXPECT_EQ(Load(archive), before);

    // The second d.tex's first pixel repainted with the next colour of its palette, m.tex's palette 1 edited.
    TTexPicture second = PngToPicture(Load(out + "/d (2).png"));
    const auto repainted = std::uint8_t(second.Indices[0] + 1);
    second.Indices[0] = repainted;
    second.Rgba[0] = second.Palette[repainted].Red;
    second.Rgba[1] = second.Palette[repainted].Green;
    second.Rgba[2] = second.Palette[repainted].Blue;
    Save(out + "/d (2).png", PictureToPng(second));
    TTexPicture palette1 = PngToPicture(Load(out + "/m.palette1.png"));
    std::vector<TTexColour> expectedPalette1 = palette1.Palette;
    for (TTexColour& c : palette1.Palette)
        c.Green = std::uint8_t(c.Green + 1);
    for (std::uint8_t index : palette1.Indices) // only the colours in use go into the palette
        expectedPalette1[index] = palette1.Palette[index];
    Save(out + "/m.palette1.png", PictureToPng(palette1));
    const Result verifyBefore = Cli(tmp, {"verify", archive});

    const Result edited = Cli(tmp, {"tex-import", "--numbered", archive, "--from", out});
    ASSERT_EQ(edited.code, 0) << edited.err;
    EXPECT_THAT(edited.out, HasSubstr("m.tex, palette colours changed: rewritten in place\n"));
    EXPECT_THAT(edited.out, HasSubstr("d (2).tex: rewritten in place\n"));
    EXPECT_THAT(edited.out, HasSubstr("2 textures changed, 2 unchanged.\n"));
    const std::vector<File> entries = Entries(Load(archive));
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].Data, Small16);
    EXPECT_EQ(entries[2].Data, B("not a texture"));
    EXPECT_EQ(entries[3].Data, Direct);
    Bytes expected256 = Big256;
    expected256[236 + 256 * 4] = repainted;
    EXPECT_EQ(entries[4].Data, expected256);
    EXPECT_EQ(TexToPicture(entries[1].Data, 0), TexToPicture(Multi, 0));
    EXPECT_EQ(TexToPicture(entries[1].Data, 2), TexToPicture(Multi, 2));
    EXPECT_EQ(TexToPicture(entries[1].Data, 1).Palette, expectedPalette1);
    // The game finds the same names as before (this archive has no lookup table).
    const Result verifyAfter = Cli(tmp, {"verify", archive});
    EXPECT_EQ(verifyAfter.code, verifyBefore.code);
    EXPECT_EQ(verifyAfter.out, verifyBefore.out);
}

TEST(CliTexture, importOfOnePictureInfoAndRefusals)
{
    TempFolder tmp;
    const std::string archive = tmp.save("tex.lgp", Write(ArchiveOf({{"a.tex", Small16}, {"b.tex", Direct}})));
    const Bytes before = Load(archive);

    const Result info = Cli(tmp, {"tex-info", archive, "A.TEX"});
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_THAT(info.out, HasSubstr("a.tex: 8 x 4 pixels, 8 bits per pixel, 1 palette of 16 colours\n"));
    EXPECT_THAT(info.out, HasSubstr("  60   Width: 8"));
    EXPECT_THAT(info.out, HasSubstr("  88   Palette entries: 16"));

    // A picture of other size is refused and the archive untouched.
    TTexPicture wrong = TexToPicture(Direct);
    wrong.Height = 2;
    wrong.Rgba.resize(8 * 2 * 4);
    const std::string wrongPath = tmp.save("wrong.png", PictureToPng(wrong));
    const Result size = Cli(tmp, {"tex-import", archive, "b.tex", wrongPath});
    EXPECT_EQ(size.code, 1);
    EXPECT_EQ(size.err,
              "tarrowin-cli: b.tex: The picture is 8 x 2 pixels but the texture is 8 x 4; a texture's size cannot be "
              "changed. Nothing was changed.\n");
    EXPECT_EQ(Load(archive), before);

    // A full-colour picture into the 16-colour texture: a new palette.
    TTexPicture painted = TexToPicture(Direct);
    for (std::size_t i = 0; i < painted.Rgba.size(); i += 4)
        painted.Rgba[i] = std::uint8_t(i * 5);
    const std::string paintedPath = tmp.save("painted.png", PictureToPng(painted));
    const Result one = Cli(tmp, {"tex-import", archive, "a.tex", paintedPath});
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(one.out, "a.tex, palette made anew for the picture's colours: rewritten in place\n"
                       "1 textures changed, 0 unchanged.\n");
    EXPECT_EQ(Entries(Load(archive))[1].Data, Direct);

    EXPECT_EQ(Cli(tmp, {"tex-import", archive, "a.tex"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"tex-import", archive, "a.tex", paintedPath, "--from", tmp.path()}).code, 2);
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"tex-info", archive, "c.tex"}),
                                   "tarrowin-cli: The archive holds no entry named \"c.tex\".\n"));
    const Result none = Cli(tmp, {"tex-import", archive, "--from", tmp.file("empty")});
    EXPECT_EQ(none.code, 1);
}
