#include "platform/media.h"

#include "support/tempfolder.h"
#include "testwriters.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

using Platform::Media::Mode;
using Platform::Media::TMediaPlayer;

namespace
{
    std::string ErrorOf(TMediaPlayer& player)
    {
        try
        {
            player.Open();
        }
        catch (const std::runtime_error& e)
        {
            return e.what();
        }
        return "no failure";
    }
}

TEST(MidiRendering, aTuneRendersToSoundThatIsNotSilent)
{
    if (Platform::Media::SoundFontPath().empty())
        GTEST_SKIP() << "no General MIDI sound font installed";
    TempFolder dir("MidiRendering.notSilent");
    const auto path = dir / "TUNE.MID";
    testlgp::Save(path, testw::Midi({60, 64, 67}, 240));
    const std::vector<std::int16_t> pcm = Platform::Media::RenderMidiToPcm(path.string(), 22050, 10.0);
    // Three notes of half a second at the default tempo, then the tail: about 1.5 s plus the notes' release.
    EXPECT_GT(pcm.size(), std::size_t(22050 * 2 * 1.2));
    EXPECT_LT(pcm.size(), std::size_t(22050 * 2 * 8)); // the release tail ends it
    double energy = 0;
    int peak = 0;
    for (std::int16_t s : pcm)
    {
        energy += double(s) * s;
        peak = std::max(peak, std::abs(int(s)));
    }
    EXPECT_GT(peak, 300);
    EXPECT_GT(std::sqrt(energy / double(pcm.size())), 50.0);
}

TEST(TMediaPlayer, playsAsynchronouslyOnTheSilentSinkAndStops)
{
    if (Platform::Media::SoundFontPath().empty())
        GTEST_SKIP() << "no General MIDI sound font installed";
    TempFolder dir("TMediaPlayer.silentSink");
    const auto path = dir / "LONG.MID";
    testlgp::Save(path, testw::Midi({60, 62, 64, 65, 67, 69, 71, 72}, 960)); // several seconds
    TMediaPlayer::ForceSilentOutput(true);
    TMediaPlayer player;
    EXPECT_EQ(player.mode(), Mode::NotOpen);
    player.FileName = path.string();
    player.Open();
    EXPECT_TRUE(player.DeviceOpen());
    EXPECT_EQ(player.mode(), Mode::Open);
    const auto started = std::chrono::steady_clock::now();
    player.Play();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(player.output(), Platform::Media::Output::Silent);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(player.mode(), Mode::Playing);
    player.Stop();
    EXPECT_EQ(player.mode(), Mode::Stopped);
    player.Close();
    EXPECT_EQ(player.mode(), Mode::NotOpen);
    EXPECT_FALSE(player.DeviceOpen());
    TMediaPlayer::ForceSilentOutput(false);
}

TEST(TMediaPlayer, choosesAnOutputThatPlaysWhateverTheMachineHas)
{
    if (Platform::Media::SoundFontPath().empty())
        GTEST_SKIP() << "no General MIDI sound font installed";
    TempFolder dir("TMediaPlayer.anyOutput");
    const auto path = dir / "TUNE.MID";
    testlgp::Save(path, testw::Midi({60, 64, 67, 72}, 960));
    TMediaPlayer player;
    player.FileName = path.string();
    player.Open();
    player.Play();
    // A sound server, ALSA, or the silent sink when neither can be opened.
    EXPECT_NE(player.output(), Platform::Media::Output::None);
    EXPECT_EQ(player.mode(), Mode::Playing);
    player.Stop();
    EXPECT_EQ(player.mode(), Mode::Stopped);
    // Play after a stop plays again; closing while playing is the destructor's job.
    player.Play();
    EXPECT_EQ(player.mode(), Mode::Playing);
}

TEST(TMediaPlayer, otherKindsAndDamagedFilesFailWithOurTexts)
{
    TempFolder dir("TMediaPlayer.failures");
    TMediaPlayer player;
    player.FileName = (dir / "SONG.BIN").string();
    EXPECT_EQ(ErrorOf(player), "There is no player for files of the kind \".BIN\".");
    player.FileName = (dir / "NOEXT").string();
    EXPECT_EQ(ErrorOf(player), "There is no player for files of the kind \"NOEXT\".");
    if (Platform::Media::SoundFontPath().empty())
        return;
    const auto bad = dir / "BAD.MID";
    testlgp::Save(bad, testlgp::B("not a midi file"));
    player.FileName = bad.string();
    EXPECT_EQ(ErrorOf(player), "The music file " + bad.string() + " cannot be played.");
    EXPECT_FALSE(player.DeviceOpen());
}
