// The byte-stream layer and the failure texts users read.
#include "coresupport.h"

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
    std::thread watchdog(
        [&]
        {
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

TEST(Errors, strToIntAcceptsDecimalAndHexOnly)
{
    EXPECT_EQ(lgp::StrToInt(" -42"), -42);
    EXPECT_EQ(lgp::StrToInt("$1F"), 31);
    EXPECT_EQ(lgp::StrToInt("0xFFFFFFFF"), -1);
    EXPECT_EQ(lgp::StrToInt("2147483647"), 2147483647);
    for (const std::string bad : {"", "12a", "2147483648", "0x", "1 "})
        EXPECT_EQ(FailureText([&] { lgp::StrToInt(bad); }), "'" + bad + "' is not a valid integer value") << bad;
}
