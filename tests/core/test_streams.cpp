// The byte-stream layer, little-endian fields and the failure texts users read.
#include "coresupport.h"

#include "core/lebytes.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testlgp;

TEST(Streams, readAndWriteFailuresCarryTheirTexts)
{
    TMemoryStream m(B("abc"));
    std::uint8_t buffer[4];
    EXPECT_EQ(FailureText([&] { m.ReadBuffer(buffer, 4); }), "Stream read error");
    m.SetPosition(1);
    EXPECT_EQ(m.ReadByte(), 'b');
    EXPECT_EQ(FailureText([&] { m.ReadInt32(); }), "Stream read error");

    TempFolder tmp;
    const auto path = tmp.save("f", B("12"));
    TFileStream reader(path, FileMode::OpenRead);
    EXPECT_EQ(FailureText([&] { reader.WriteInt32(1); }), "Stream write error");
    TMemoryStream dest;
    EXPECT_EQ(FailureText([&] { dest.CopyFrom(reader, 3); }), "Stream read error");
    EXPECT_EQ(dest.Vector(), B("12")); // what was copied stays
}

TEST(Streams, littleEndianFieldsReachExactlyToTheBuffersEnd)
{
    const Bytes bytes{0x01, 0x02, 0x03, 0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(lgp::GetLE<std::uint32_t>(bytes, 0), 0xFF030201u);
    EXPECT_EQ(lgp::GetLE<std::int32_t>(bytes, 3), -16777217); // the last four bytes, 0xFEFFFFFF
    EXPECT_EQ(lgp::GetLE<std::int16_t>(bytes, 1), 0x0302);
    EXPECT_EQ(lgp::GetLE<std::int16_t>(bytes, 5), -257);
    EXPECT_EQ(lgp::GetLE<std::uint8_t>(bytes, 6), 0xFE);
    const std::span<const std::uint8_t> view(bytes);
    EXPECT_EQ(FailureText([&] { lgp::GetLE<std::int32_t>(bytes, 4); }), "Stream read error");
    EXPECT_EQ(FailureText([&] { lgp::GetLE<std::uint8_t>(bytes, 7); }), "Stream read error");
    EXPECT_EQ(FailureText([&] { lgp::GetLE<std::uint16_t>(view.first(0), 0); }), "Stream read error");
    // Offsets near the top of their range don't wrap round into the buffer.
    EXPECT_EQ(FailureText([&] { lgp::GetLE<std::uint16_t>(bytes, ~std::uint64_t(0)); }), "Stream read error");
    EXPECT_EQ(FailureText([&] { lgp::GetLE<std::uint32_t>(view.subspan(1), ~std::uint64_t(0) - 2); }),
              "Stream read error");

    Bytes out(6, 0xAA);
    lgp::PutLE<std::int32_t>(out, 2, -2);
    lgp::PutLE<std::uint8_t>(out, 0, 7);
    EXPECT_EQ(out, (Bytes{7, 0xAA, 0xFE, 0xFF, 0xFF, 0xFF}));
    // A field that would pass the end is refused before any byte is written.
    EXPECT_EQ(FailureText([&] { lgp::PutLE<std::uint32_t>(out, 3, 0); }), "Stream write error");
    EXPECT_EQ(FailureText([&] { lgp::PutLE<std::uint16_t>(out, ~std::uint64_t(0), 0); }), "Stream write error");
    EXPECT_EQ(out, (Bytes{7, 0xAA, 0xFE, 0xFF, 0xFF, 0xFF}));
    lgp::AppendLE<std::uint16_t>(out, 0x1234);
    lgp::AppendLE<std::int64_t>(out, -3);
    EXPECT_EQ(Bytes(out.begin() + 6, out.end()), (Bytes{0x34, 0x12, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(lgp::GetLE<std::int64_t>(out, 8), -3);
}

TEST(ByteSources, memoryReadsStopAtTheSizeAndFailPastIt)
{
    const Bytes bytes = B("abcdef");
    const TMemorySource source(bytes);
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(source.Size(), 6);
    // At the size: nothing there, an exact read of nothing succeeds.
    EXPECT_EQ(source.ReadSomeAt(6, buffer, 1), 0u);
    EXPECT_NO_THROW(source.ReadAt(6, buffer, 0));
    EXPECT_EQ(FailureText([&] { source.ReadAt(6, buffer, 1); }), "Stream read error");
    // Across the end: what lies inside, or the failure.
    EXPECT_EQ(source.ReadSomeAt(4, buffer, 8), 2u);
    EXPECT_EQ(Bytes(buffer, buffer + 2), B("ef"));
    EXPECT_EQ(FailureText([&] { source.ReadAt(5, buffer, 2); }), "Stream read error");
    // Far past the end and before the start.
    EXPECT_EQ(source.ReadSomeAt(std::int64_t(1) << 40, buffer, 1), 0u);
    EXPECT_EQ(source.ReadSomeAt(-1, buffer, 2), 0u);
    EXPECT_EQ(FailureText([&] { source.ReadAt(-1, buffer, 1); }), "Stream read error");
    // Nothing at all.
    const TMemorySource empty(std::span<const std::uint8_t>{});
    EXPECT_EQ(empty.ReadSomeAt(0, buffer, 1), 0u);
    EXPECT_EQ(FailureText([&] { empty.ReadAt(0, buffer, 1); }), "Stream read error");
}

TEST(ByteSources, spansAreReadOnlyAndBuffersGrowWhereTheyAreWritten)
{
    const Bytes bytes = B("abc");
    TMemorySource source(bytes);
    EXPECT_EQ(FailureText([&] { source.WriteAt(0, "x", 1); }), "Stream write error");
    EXPECT_EQ(FailureText([&] { source.SetSize(1); }), "Stream write error");
    EXPECT_EQ(bytes, B("abc"));

    TMemoryBuffer buffer(B("abc"));
    buffer.WriteAt(1, "XY", 2);
    EXPECT_EQ(buffer.Vector(), B("aXY"));
    buffer.WriteAt(5, "Z", 1); // past the end: a zero gap, then the byte
    EXPECT_EQ(buffer.Vector(), (Bytes{'a', 'X', 'Y', 0, 0, 'Z'}));
    buffer.WriteAt(9, "", 0); // nothing written: no growth
    EXPECT_EQ(buffer.Size(), 6);
    EXPECT_EQ(FailureText([&] { buffer.WriteAt(-1, "x", 1); }), "Stream write error");

    // Copies stop where the source ends; the bytes before stay copied.
    TempFolder tmp;
    TFileStream file(tmp.save("f", B("0123456789")), FileMode::OpenRead);
    TMemoryBuffer copy;
    EXPECT_EQ(copy.CopyIn(2, file.Source(), 7, 100), 3);
    EXPECT_EQ(copy.Vector(), (Bytes{0, 0, '7', '8', '9'}));
    EXPECT_EQ(copy.CopyIn(0, source, 1, 100), 2);
    EXPECT_EQ(copy.Vector(), (Bytes{'b', 'c', '7', '8', '9'}));
    EXPECT_EQ(FailureText([&] { CopyBytes(source, 2, copy, 0, 2); }), "Stream read error");
    EXPECT_EQ(copy.Vector(), (Bytes{'c', 'c', '7', '8', '9'}));
    EXPECT_EQ(FailureText([&] { CopyBytes(file.Source(), -1, copy, 0, 1); }), "Stream read error");
}

TEST(Streams, fileAndMemoryStreamsCutAndMoveAlike)
{
    TempFolder tmp;
    TFileStream file(tmp.save("f", B("0123456789")), FileMode::OpenReadWrite);
    TMemoryStream memory(B("0123456789"));
    for (TStream* stream : {static_cast<TStream*>(&file), static_cast<TStream*>(&memory)})
    {
        stream->Seek(-2, SeekOrigin::End);
        EXPECT_EQ(stream->Position(), 8);
        stream->SetSize(4); // the position past the new end comes back to it
        EXPECT_EQ(stream->Position(), 4);
        EXPECT_EQ(stream->Size(), 4);
        stream->SetSize(6); // extending keeps it, and the new bytes are zeros
        EXPECT_EQ(stream->Position(), 4);
        EXPECT_EQ(stream->Seek(3, SeekOrigin::Current), 7);
        EXPECT_EQ(stream->Write("Z", 1), 1u);
        EXPECT_EQ(stream->Seek(-100, SeekOrigin::Current), 0); // never before the start
        Bytes all(8);
        stream->ReadBuffer(all.data(), all.size());
        EXPECT_EQ(all, (Bytes{'0', '1', '2', '3', 0, 0, 0, 'Z'}));
    }
}

TEST(Streams, openAndCreateFailuresNameThePath)
{
    TempFolder tmp;
    EXPECT_EQ(FailureText([&] { TFileStream f(tmp.file("none"), FileMode::OpenRead); }),
              "Cannot open file " + tmp.file("none"));
    EXPECT_EQ(FailureText([&] { TFileStream f(tmp.file("no/dir"), FileMode::Create); }),
              "Cannot create file " + tmp.file("no/dir"));
    EXPECT_EQ(FailureText([&] { TFileStream f(tmp.dir(), FileMode::OpenRead); }), "Cannot open file " + tmp.dir());
}

TEST(Streams, denyWriteRefusesASecondWriterButNotReaders)
{
    TempFolder tmp;
    const auto path = tmp.save("f", B("data"));
    TFileStream writer(path, FileMode::OpenReadWrite, Platform::File::Share::DenyWrite);
    EXPECT_EQ(FailureText([&] { TFileStream w(path, FileMode::OpenReadWrite, Platform::File::Share::DenyWrite); }),
              "Cannot open file " + path);
    // A refused creator destroys nothing.
    EXPECT_EQ(FailureText([&] { TFileStream w(path, FileMode::Create, Platform::File::Share::DenyWrite); }),
              "Cannot create file " + path);
    EXPECT_EQ(ReadWholeFile(path), B("data"));
    TFileStream reader(path, FileMode::OpenRead);
    EXPECT_EQ(reader.Size(), 4);
}

TEST(Streams, readOnlyFilesRefuseWriters)
{
    TempFolder tmp;
    const auto path = tmp.save("f", B("data"));
    ::chmod(path.c_str(), 0444);
    EXPECT_TRUE(Platform::File::isReadOnly(path));
    EXPECT_EQ(FailureText([&] { TFileStream w(path, FileMode::OpenReadWrite); }), "Cannot open file " + path);
    // Nor is it replaced, by any process (root included).
    for (const auto share : {Platform::File::Share::DenyNone, Platform::File::Share::DenyWrite})
        EXPECT_EQ(FailureText([&] { TFileStream w(path, FileMode::Create, share); }), "Cannot create file " + path);
    EXPECT_EQ(FailureText([&] { WriteWholeFile(path, B("new")); }), "Cannot create file " + path);
    EXPECT_EQ(ReadWholeFile(path), B("data"));
    EXPECT_TRUE(Platform::File::clearReadOnly(path));
    EXPECT_NO_THROW(TFileStream w(path, FileMode::OpenReadWrite));
}

TEST(Streams, onlyRegularFilesOpenAndAFifoNeverHangs)
{
    TempFolder tmp;
    const auto fifo = tmp.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    // Opening a FIFO that nobody writes could wait for ever: a watchdog that
    // finds an open waiting after 2 seconds plays the writer and notes it.
    std::atomic<bool> done{false};
    std::atomic<bool> hung{false};
    std::thread watchdog([&] {
        for (int tick = 1; !done; ++tick)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (tick % 20 != 0 || done)
                continue;
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
            {
                hung = true;
                ::close(fd);
            }
        }
    });
    for (const std::string& path : {fifo, std::string("/dev/null"), tmp.dir()})
    {
        for (const auto mode : {FileMode::OpenRead, FileMode::OpenReadWrite})
            EXPECT_EQ(FailureText([&] { TFileStream f(path, mode); }), "Cannot open file " + path);
        for (const auto share : {Platform::File::Share::DenyNone, Platform::File::Share::DenyWrite})
            EXPECT_EQ(FailureText([&] { TFileStream f(path, FileMode::Create, share); }), "Cannot create file " + path);
    }
    EXPECT_EQ(FailureText([&] { TRawLGPFile raw(fifo); }), "Cannot open file " + fifo);
    EXPECT_EQ(FailureText([&] { TLGPFile index(fifo, true); }), "Cannot open file " + fifo);
    done = true;
    watchdog.join();
    EXPECT_FALSE(hung);
}

TEST(Errors, inOutErrorTextsFollowTheSystemCodes)
{
    EXPECT_EQ(lgp::InOutErrorText(ENOENT), "File not found");
    EXPECT_EQ(lgp::InOutErrorText(ENAMETOOLONG), "Invalid filename");
    EXPECT_EQ(lgp::InOutErrorText(EMFILE), "Too many open files");
    EXPECT_EQ(lgp::InOutErrorText(EACCES), "File access denied");
    EXPECT_EQ(lgp::InOutErrorText(ENOSPC), "I/O error " + std::to_string(ENOSPC));
    EXPECT_EQ(FailureText([] { lgp::FailListIndex(-1); }), "List index out of bounds (-1)");
}

// What a user reads never carries the standard library's own texts.
TEST(Errors, standardLibraryFailuresReadAsPlainSentences)
{
    EXPECT_EQ(lgp::UserText(ELGPError("Cannot open file x")), "Cannot open file x");
    EXPECT_EQ(lgp::UserText(std::bad_alloc()), "There is not enough memory for this operation.");
    EXPECT_EQ(lgp::UserText(std::length_error("basic_string::_M_create")),
              "The operation stopped at an internal error (a size out of range).");
    EXPECT_EQ(lgp::UserText(std::out_of_range("vector::_M_range_check")),
              "The operation stopped at an internal error (a position out of range).");
    EXPECT_EQ(lgp::UserText(std::runtime_error("std::exception")),
              "The operation stopped at an internal error (an unexpected failure).");
    EXPECT_EQ(lgp::UserText(std::filesystem::filesystem_error("filesystem error: cannot create directories", "/x/y",
                                                              std::make_error_code(std::errc::permission_denied))),
              "/x/y: Permission denied.");
    EXPECT_EQ(lgp::UserText(std::system_error(std::make_error_code(std::errc::no_space_on_device), "write")),
              "No space left on device.");
}

TEST(Errors, strToIntAcceptsDecimalAndHexOnly)
{
    EXPECT_EQ(lgp::StrToInt(" -42"), -42);
    EXPECT_EQ(lgp::StrToInt("$1F"), 31);
    EXPECT_EQ(lgp::StrToInt("0xFFFFFFFF"), -1);
    EXPECT_EQ(lgp::StrToInt("2147483647"), 2147483647);
    for (const std::string bad : {"", "12a", "2147483648", "0x", "1 "})
        EXPECT_EQ(FailureText([&] { lgp::StrToInt(bad); }), "'" + bad + "' is not a valid integer value") << bad;
}
