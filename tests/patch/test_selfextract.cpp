#include "patch/lgppatch.h"
#include "patch/sha256.h"

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
        return testlgp::Write(testlgp::PatchArchive(std::move(entries)));
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
    // Stub, zero bytes up to a length that is a multiple of 8, the digest
    // record (magic, patch length, SHA-256 of patch and trailer), patch,
    // trailer.
    const std::size_t padding = (8 - (stub.size() + 56 + patch.size() + 40) % 8) % 8;
    ASSERT_EQ(image.size(), stub.size() + padding + 56 + patch.size() + 40);
    EXPECT_EQ(image.size() % 8, 0u);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), image.begin()));
    const std::size_t start = stub.size() + padding + 56;
    EXPECT_EQ(Bytes(image.begin() + 5003, image.begin() + 5003 + padding), Bytes(padding, 0));
    EXPECT_EQ(std::string(image.begin() + start - 56, image.begin() + start - 40), "Tarrowin SHA-256");
    EXPECT_EQ(le32(image, start - 40), std::int32_t(patch.size()));
    EXPECT_EQ(le32(image, start - 36), 0);
    const Sha256::Digest digest = Sha256::of(std::span(image).subspan(start));
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), image.begin() + std::ptrdiff_t(start) - 32));
    EXPECT_TRUE(std::equal(patch.begin(), patch.end(), image.begin() + std::ptrdiff_t(start)));
    EXPECT_EQ(le32(image, image.size() - 40), std::int32_t(start));
    EXPECT_EQ(le32(image, image.size() - 36), 1);
    const Bytes name(image.end() - 32, image.end());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name.data())), "flevel.lgp");
    // The result is a program its owner can run.
    const auto perms = std::filesystem::status(temp.file("out.exe")).permissions();
    EXPECT_NE(perms & std::filesystem::perms::owner_exec, std::filesystem::perms::none);

    const SelfExtractorTrailer trailer = DecodeTrailer(image);
    EXPECT_EQ(trailer.StubLength, std::int32_t(start));
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
    ASSERT_EQ(image.size(), 104u); // 3 + 5 zero bytes + 56 + 0 + 40
    const SelfExtractorTrailer trailer = DecodeTrailer(image);
    EXPECT_EQ(trailer.StubLength, 64);
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
    testlgp::Archive archive{.Files = {{"a.bin", Bytes{1}}}};
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

namespace
{
    std::string hex(const Sha256::Digest& digest)
    {
        std::string out;
        for (const std::uint8_t b : digest)
        {
            out += "0123456789abcdef"[b >> 4];
            out += "0123456789abcdef"[b & 15];
        }
        return out;
    }
}

// FIPS 180-4 examples, lengths around the 56- and 64-byte block boundaries,
// and one million bytes given in uneven pieces.
TEST(Sha256, matchesTheStandardsDigests)
{
    const auto of = [](const std::string& text) { return hex(Sha256::of(testlgp::B(text))); };
    EXPECT_EQ(of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(of(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(of(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(of(std::string(63, 'a')), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34");
    EXPECT_EQ(of(std::string(64, 'a')), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
    EXPECT_EQ(of(std::string(119, 'a')), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb");

    const Bytes million(1000000, 'a');
    Sha256::Hasher hasher;
    std::size_t at = 0;
    for (std::size_t piece = 1; at < million.size(); piece = piece * 3 % 1021 + 1)
    {
        const std::size_t n = std::min(piece, million.size() - at);
        hasher.update(std::span(million).subspan(at, n));
        at += n;
    }
    EXPECT_EQ(hex(hasher.finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Any byte of the patch or its record changed, or bytes added or lost in
// front of the trailer, and the file is refused before anything is written;
// a file made without a record (by an older version) is taken as it is.
TEST(SelfExtractor, digestRefusesAChangedPatchAndOlderFilesStillUnwrap)
{
    TempFolder temp;
    const Bytes stub = testdata::generate(1000, 5);
    const Bytes patch = patchFile({{"a.bin", testdata::generate(500, 6)}});
    WriteWholeFile(temp.file("STUB.LGP"), stub);
    WriteWholeFile(temp.file("p.lgp"), patch);
    MakeSelfExtractor(temp.file("STUB.LGP"), temp.file("p.lgp"), "magic.lgp", false, temp.file("out.exe"));
    const Bytes image = ReadWholeFile(temp.file("out.exe"));
    const std::size_t start = image.size() - 40 - patch.size();
    const SelfExtractorParts parts = ReadSelfExtractor(image, "x", "damaged");
    EXPECT_TRUE(parts.Digest);
    EXPECT_EQ(parts.PatchOffset, start);
    EXPECT_EQ(parts.PatchLength, patch.size());

    const std::string damaged = temp.file("bad.exe")
                                + " is damaged: its patch is not the one it was made with (cut "
                                  "short or changed). Download it again; nothing was written.";
    const auto refused = [&](const Bytes& file) {
        WriteWholeFile(temp.file("bad.exe"), file);
        const std::string text =
            testlgp::FailureText<ELGPError>([&] { ExtractPatch(temp.file("bad.exe"), temp.file("back.lgp")); });
        return text == damaged && !std::filesystem::exists(temp.file("back.lgp"));
    };
    for (const std::size_t at :
         {start - 32, start - 1, start, start + 100, start + patch.size() - 1, image.size() - 36, image.size() - 1})
    {
        Bytes flipped = image;
        flipped[at] ^= 0x08;
        EXPECT_TRUE(refused(flipped)) << at;
    }
    // One byte lost or added in front of the trailer.
    Bytes shorter = image;
    shorter.erase(shorter.begin() + std::ptrdiff_t(start) + 10);
    EXPECT_TRUE(refused(shorter));
    Bytes longer = image;
    longer.insert(longer.end() - 40, 0);
    EXPECT_TRUE(refused(longer));

    // The layout before the digest: stub, patch, trailer.
    Bytes old = stub;
    old.insert(old.end(), patch.begin(), patch.end());
    const Bytes trailer = EncodeTrailer({std::int32_t(stub.size()), 0, "magic.lgp"});
    old.insert(old.end(), trailer.begin(), trailer.end());
    WriteWholeFile(temp.file("old.exe"), old);
    ExtractPatch(temp.file("old.exe"), temp.file("old.lgp"));
    EXPECT_EQ(ReadWholeFile(temp.file("old.lgp")), patch);
    EXPECT_FALSE(ReadSelfExtractor(old, "x", "damaged").Digest);
}
