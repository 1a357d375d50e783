#include "patch/lgppatch.h"

#include "errors/errors.h"
#include "support/failure.h"
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{
    using testdata::Bytes;

    std::int32_t le32(const Bytes& b, std::size_t at)
    {
        return static_cast<std::int32_t>(std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8
                                         | std::uint32_t(b[at + 2]) << 16 | std::uint32_t(b[at + 3]) << 24);
    }

    // A patch file as the patch creator lays it out.
    Bytes patchFile(std::vector<testlgp::File> entries)
    {
        testlgp::Archive patch;
        patch.Creator = "QUENWICK-LGP";
        patch.Trailing = testlgp::B("LGP PATCH FILE");
        patch.Files = std::move(entries);
        return testlgp::Write(patch);
    }
}

TEST(SelfExtractor, wrapsStubAndPatchWithTheTrailerAndUnwrapsThePatchByteForByte)
{
    TempFolder temp;
    const Bytes stub = testdata::generate(5003, 1);
    const Bytes patch = patchFile({{"a.bin", testdata::generate(777, 2)}, {"b.bin", Bytes{1, 2, 3}}});
    WriteWholeFile(temp.file("STUB.LGP"), stub);
    WriteWholeFile(temp.file("p.lgp"), patch);

    MakeSelfExtractor(temp.file("STUB.LGP"), temp.file("p.lgp"), "C:\\FF7\\data\\field\\flevel.lgp", true,
                      temp.file("out.exe"));
    const Bytes image = ReadWholeFile(temp.file("out.exe"));
    ASSERT_EQ(image.size(), stub.size() + patch.size() + 40);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), image.begin()));
    EXPECT_EQ(le32(image, image.size() - 40), 5003);
    EXPECT_EQ(le32(image, image.size() - 36), 1);
    const Bytes name(image.end() - 32, image.end());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name.data())), "flevel.lgp");
    // The result is a program its owner can run.
    const auto perms = std::filesystem::status(temp.file("out.exe")).permissions();
    EXPECT_NE(perms & std::filesystem::perms::owner_exec, std::filesystem::perms::none);

    const SelfExtractorTrailer trailer = DecodeTrailer(image);
    EXPECT_EQ(trailer.StubLength, 5003);
    EXPECT_EQ(trailer.Flags, 1);
    EXPECT_EQ(trailer.TargetName, "flevel.lgp");

    ExtractPatch(temp.file("out.exe"), temp.file("back.lgp"));
    EXPECT_EQ(ReadWholeFile(temp.file("back.lgp")), patch);
}

TEST(SelfExtractor, flagsAndTargetNameFollowTheOptions)
{
    TempFolder temp;
    WriteWholeFile(temp.file("STUB.LGP"), Bytes{1, 2, 3});
    WriteWholeFile(temp.file("p.lgp"), Bytes{});
    MakeSelfExtractor(temp.file("STUB.LGP"), temp.file("p.lgp"), "", false, temp.file("out.exe"));
    const Bytes image = ReadWholeFile(temp.file("out.exe"));
    ASSERT_EQ(image.size(), 43u);
    const SelfExtractorTrailer trailer = DecodeTrailer(image);
    EXPECT_EQ(trailer.StubLength, 3);
    EXPECT_EQ(trailer.Flags, 0);
    EXPECT_EQ(trailer.TargetName, "");
    // An empty payload is no patch.
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ExtractPatch(temp.file("out.exe"), temp.file("back.lgp")); }),
              "The payload of " + temp.file("out.exe")
                  + " is not a patch made by Tarrowin (its creator is not "
                    "\"QUENWICK-LGP\").");
    EXPECT_FALSE(std::filesystem::exists(temp.file("back.lgp")));

    EXPECT_EQ(TargetNameFromText("/home/me/ff7/magic.lgp"), "magic.lgp");
    EXPECT_EQ(TargetNameFromText("D:magic.lgp"), "magic.lgp");
    EXPECT_EQ(TargetNameFromText("magic.lgp"), "magic.lgp");
}

TEST(SelfExtractor, refusesTargetNamesThatLeaveNoRoomForTheTerminator)
{
    TempFolder temp;
    WriteWholeFile(temp.file("STUB.LGP"), Bytes{1, 2, 3});
    WriteWholeFile(temp.file("p.lgp"), Bytes{4});
    const std::string name31(31, 'n');
    const std::string name32(32, 'n');
    MakeSelfExtractor(temp.file("STUB.LGP"), temp.file("p.lgp"), "dir/" + name31, false, temp.file("ok.exe"));
    EXPECT_EQ(DecodeTrailer(ReadWholeFile(temp.file("ok.exe"))).TargetName, name31);

    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] {
                  MakeSelfExtractor(temp.file("STUB.LGP"), temp.file("p.lgp"), name32, false, temp.file("bad.exe"));
              }),
              "The file name \"" + name32 + "\" is too long for a self-extracting patch (at most 31 characters).");
    EXPECT_FALSE(std::filesystem::exists(temp.file("bad.exe")));
}

TEST(SelfExtractor, writesNothingBeforeBothInputsAreRead)
{
    TempFolder temp;
    WriteWholeFile(temp.file("p.lgp"), Bytes{4});
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] {
                  MakeSelfExtractor(temp.file("STUB.LGP"), temp.file("p.lgp"), "x.lgp", false, temp.file("out.exe"));
              }),
              "Cannot open file " + temp.file("STUB.LGP"));
    WriteWholeFile(temp.file("STUB.LGP"), Bytes{1});
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] {
                  MakeSelfExtractor(temp.file("STUB.LGP"), temp.file("none.lgp"), "x.lgp", false, temp.file("out.exe"));
              }),
              "Cannot open file " + temp.file("none.lgp"));
    EXPECT_FALSE(std::filesystem::exists(temp.file("out.exe")));
}

TEST(SelfExtractor, refusesFilesThatAreNoSelfExtractingPatch)
{
    TempFolder temp;
    const std::string source = temp.file("plain.exe");
    const std::string expected = source + " is not a self-extracting patch.";

    WriteWholeFile(source, Bytes(39, 0)); // shorter than a trailer
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ExtractPatch(source, temp.file("out.lgp")); }), expected);

    Bytes image(100, 0);
    image[60] = 61; // StubLength 61 > 100 - 40
    WriteWholeFile(source, image);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ExtractPatch(source, temp.file("out.lgp")); }), expected);

    image[60] = 0xFF, image[61] = 0xFF, image[62] = 0xFF, image[63] = 0xFF; // -1
    WriteWholeFile(source, image);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ExtractPatch(source, temp.file("out.lgp")); }), expected);
    EXPECT_FALSE(std::filesystem::exists(temp.file("out.lgp")));

    // The bounds themselves pass the trailer check: a payload of the whole
    // file before the trailer, and an empty one (which is then no patch).
    const Bytes patch = patchFile({{"x.bin", Bytes{7}}});
    image.assign(patch.begin(), patch.end());
    image.resize(patch.size() + 40, 0);
    WriteWholeFile(source, image);
    ExtractPatch(source, temp.file("all.lgp"));
    EXPECT_EQ(ReadWholeFile(temp.file("all.lgp")), patch);
    image[patch.size()] = static_cast<std::uint8_t>(patch.size());
    WriteWholeFile(source, image);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ExtractPatch(source, temp.file("none.lgp")); }),
              "The payload of " + source + " is not a patch made by Tarrowin (its creator is not \"QUENWICK-LGP\").");
    EXPECT_FALSE(std::filesystem::exists(temp.file("none.lgp")));

    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { DecodeTrailer(Bytes(10, 0)); }),
              "The file is not a self-extracting patch.");
}

TEST(SelfExtractor, payloadMustBeAPatchWithItsTableAndDataInside)
{
    const Bytes good = patchFile({{"a.bin", Bytes{1, 2, 3}}, {"b.bin", Bytes{}}});
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ValidatePatchArchive(good, "P"); }), "(no failure)");
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ValidatePatchArchive(patchFile({}), "P"); }), "(no failure)");

    const auto refusal = [](const Bytes& bytes) {
        return testlgp::FailureText<ELGPError>([&] { ValidatePatchArchive(bytes, "P"); });
    };
    const std::string prefix = "P is not a patch made by Tarrowin (";
    testlgp::Archive archive;
    archive.Files = {{"a.bin", Bytes{1}}};
    EXPECT_EQ(refusal(testlgp::Write(archive)), prefix + "its creator is not \"QUENWICK-LGP\").");
    EXPECT_EQ(refusal(Bytes(good.begin(), good.begin() + 12)), prefix + "its creator is not \"QUENWICK-LGP\").");

    Bytes bad = good;
    bad[12] = 0xFF, bad[13] = 0xFF, bad[14] = 0xFF, bad[15] = 0xFF; // count -1
    EXPECT_EQ(refusal(bad), prefix + "its table of contents runs past its end).");
    bad = good;
    bad[12] = 200; // 200 entries cannot fit
    EXPECT_EQ(refusal(bad), prefix + "its table of contents runs past its end).");
    bad = good;
    bad[16 + 27 + 20] = 0xF0, bad[16 + 27 + 21] = 0xFF; // entry 2's offset past the end
    EXPECT_EQ(refusal(bad), prefix + "entry 2 points outside it).");
    bad = good;
    bad[16 + 20] = 20, bad[16 + 21] = 0; // into the table of contents
    EXPECT_EQ(refusal(bad), prefix + "entry 1 points outside it).");
    bad = good;
    const std::size_t first = testlgp::TocOffset(good, 0);
    bad[first + 20] = 200; // a's data length past the end
    EXPECT_EQ(refusal(bad), prefix + "entry 1's data runs past its end).");
    EXPECT_EQ(refusal(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(first + 26))),
              prefix + "entry 1's data runs past its end).");
}

TEST(SelfExtractor, trailerReadsTheNameUpToItsFirstNul)
{
    Bytes image(40, 0);
    const char* text = "magic.lgp\0junk";
    std::copy(text, text + 14, image.begin() + 8);
    EXPECT_EQ(DecodeTrailer(image).TargetName, "magic.lgp");
    // Flags bits other than bit 0 are carried as they are.
    image[4] = 3;
    EXPECT_EQ(DecodeTrailer(image).Flags, 3);
}
