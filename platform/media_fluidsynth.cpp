#include "media.h"

#include "errors/errors.h"

#include <fluidsynth.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

namespace Platform::Media
{
    namespace
    {
        std::atomic<bool> gForceSilent{false};

        std::string UpperExtension(const std::string& path)
        {
            std::string ext = std::filesystem::path(path).extension().string();
            for (char& c : ext)
                if (c >= 'a' && c <= 'z')
                    c = char(c - 'a' + 'A');
            return ext;
        }

        bool IsMidi(const std::string& path)
        {
            const std::string ext = UpperExtension(path);
            return ext == ".MID" || ext == ".MIDI" || ext == ".RMI";
        }

        void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

        // FluidSynth prints its warnings to the console, and ALSA its own when
        // a machine has no sound card; the program shows its own messages instead.
        void QuietFluidSynth()
        {
            static std::once_flag once;
            std::call_once(once, [] {
                for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
                    fluid_set_log_function(level, nullptr, nullptr);
                // ALSA comes with FluidSynth's ALSA driver; looked up so that
                // nothing here depends on it being there.
                using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
                using SetHandler = int (*)(Handler);
                if (void* set = dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler"))
                    reinterpret_cast<SetHandler>(set)(&IgnoreAlsaError);
            });
        }

        struct SettingsDeleter
        {
            void operator()(fluid_settings_t* s) const { delete_fluid_settings(s); }
        };
        struct SynthDeleter
        {
            void operator()(fluid_synth_t* s) const { delete_fluid_synth(s); }
        };
        struct PlayerDeleter
        {
            void operator()(fluid_player_t* p) const { delete_fluid_player(p); }
        };
        struct DriverDeleter
        {
            void operator()(fluid_audio_driver_t* d) const { delete_fluid_audio_driver(d); }
        };

        // A synthesiser with the soundfont loaded and a player holding the song.
        struct TSong
        {
            std::unique_ptr<fluid_settings_t, SettingsDeleter> Settings;
            std::unique_ptr<fluid_synth_t, SynthDeleter> Synth;
            std::unique_ptr<fluid_player_t, PlayerDeleter> Player;

            // The player uses the synthesiser, which uses the settings: they go
            // in that order (a member-wise assignment would free the settings first).
            void Reset()
            {
                Player.reset();
                Synth.reset();
                Settings.reset();
            }
        };

        void FailNoPlayer(const std::string& path)
        {
            std::string ext = UpperExtension(path);
            if (ext.empty())
                ext = std::filesystem::path(path).filename().string();
            throw ELGPError("There is no player for files of the kind \"" + ext + "\".");
        }

        TSong LoadSong(const std::string& path, double sampleRate)
        {
            QuietFluidSynth();
            if (!IsMidi(path))
                FailNoPlayer(path);
            const std::string font = SoundFontPath();
            if (font.empty())
                throw ELGPError("No General MIDI sound font was found; MIDI music cannot be played.");
            const std::string cannotPlay = "The music file " + path + " cannot be played.";
            if (!std::filesystem::is_regular_file(path) || fluid_is_midifile(path.c_str()) == 0)
                throw ELGPError(cannotPlay);

            TSong song;
            song.Settings.reset(new_fluid_settings());
            if (!song.Settings)
                throw ELGPError(cannotPlay);
            fluid_settings_setnum(song.Settings.get(), "synth.sample-rate", sampleRate);
            // Keep FluidSynth away from MIDI hardware and shell servers.
            fluid_settings_setint(song.Settings.get(), "synth.lock-memory", 0);
            fluid_settings_setint(song.Settings.get(), "player.reset-synth", 1);
            song.Synth.reset(new_fluid_synth(song.Settings.get()));
            if (!song.Synth || fluid_synth_sfload(song.Synth.get(), font.c_str(), 1) == FLUID_FAILED)
                throw ELGPError(cannotPlay);
            song.Player.reset(new_fluid_player(song.Synth.get()));
            if (!song.Player || fluid_player_add(song.Player.get(), path.c_str()) != FLUID_OK)
                throw ELGPError(cannotPlay);
            return song;
        }
    }

    std::string SoundFontPath()
    {
        for (const char* candidate : {"/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2",
                                      "/usr/share/sounds/sf2/FluidR3_GM.sf2"})
        {
            std::error_code ec;
            if (std::filesystem::is_regular_file(candidate, ec))
                return candidate;
        }
        return {};
    }

    struct TMediaPlayer::Impl
    {
        TSong Song;
        bool IsOpen = false;
        bool Started = false;
        bool StoppedByUser = false;
        Output Out = Output::None;
        std::unique_ptr<fluid_audio_driver_t, DriverDeleter> Driver;
        // The silent sink: renders into a scratch buffer at the song's pace.
        std::thread Sink;
        std::atomic<bool> SinkRun{false};

        void StartOutput()
        {
            if (!gForceSilent)
            {
                for (auto [name, kind] : {std::pair{"pulseaudio", Output::PulseAudio}, std::pair{"alsa", Output::Alsa}})
                {
                    fluid_settings_setstr(Song.Settings.get(), "audio.driver", name);
                    Driver.reset(new_fluid_audio_driver(Song.Settings.get(), Song.Synth.get()));
                    if (Driver)
                    {
                        Out = kind;
                        return;
                    }
                }
            }
            Out = Output::Silent;
            SinkRun = true;
            fluid_synth_t* synth = Song.Synth.get();
            Sink = std::thread([this, synth] {
                constexpr int Frames = 1024;
                std::vector<std::int16_t> scratch(Frames * 2);
                double rate = 44100;
                fluid_settings_getnum(Song.Settings.get(), "synth.sample-rate", &rate);
                const auto period = std::chrono::duration<double>(Frames / rate);
                auto next = std::chrono::steady_clock::now();
                while (SinkRun)
                {
                    fluid_synth_write_s16(synth, Frames, scratch.data(), 0, 2, scratch.data(), 1, 2);
                    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
                    std::this_thread::sleep_until(next);
                }
            });
        }

        void StopOutput()
        {
            Driver.reset();
            SinkRun = false;
            if (Sink.joinable())
                Sink.join();
        }
    };

    TMediaPlayer::TMediaPlayer()
        : mImpl(std::make_unique<Impl>())
    {
    }

    TMediaPlayer::~TMediaPlayer() { Close(); }

    void TMediaPlayer::ForceSilentOutput(bool force) { gForceSilent = force; }

    void TMediaPlayer::Open()
    {
        Close();
        mImpl->Song = LoadSong(FileName, 44100);
        mImpl->IsOpen = true;
        mImpl->Started = false;
        mImpl->StoppedByUser = false;
    }

    void TMediaPlayer::Play()
    {
        if (!mImpl->IsOpen)
            throw ELGPError("No music is open.");
        if (!mImpl->Started)
        {
            mImpl->StartOutput();
            mImpl->Started = true;
        }
        fluid_player_play(mImpl->Song.Player.get());
        mImpl->StoppedByUser = false;
    }

    void TMediaPlayer::Stop()
    {
        if (!mImpl->IsOpen || !mImpl->Started)
            return;
        fluid_player_stop(mImpl->Song.Player.get());
        fluid_synth_all_sounds_off(mImpl->Song.Synth.get(), -1);
        mImpl->StoppedByUser = true;
    }

    void TMediaPlayer::Close()
    {
        if (!mImpl->IsOpen)
            return;
        if (mImpl->Started)
            fluid_player_stop(mImpl->Song.Player.get());
        // The output goes first: it still calls into the synthesiser.
        mImpl->StopOutput();
        mImpl->Song.Reset();
        mImpl->IsOpen = false;
        mImpl->Started = false;
        mImpl->Out = Output::None;
    }

    bool TMediaPlayer::DeviceOpen() const { return mImpl->IsOpen; }

    Mode TMediaPlayer::mode() const
    {
        if (!mImpl->IsOpen)
            return Mode::NotOpen;
        if (!mImpl->Started)
            return Mode::Open;
        if (mImpl->StoppedByUser)
            return Mode::Stopped;
        return fluid_player_get_status(mImpl->Song.Player.get()) == FLUID_PLAYER_PLAYING ? Mode::Playing
                                                                                         : Mode::Stopped;
    }

    Output TMediaPlayer::output() const { return mImpl->Out; }

    std::vector<std::int16_t> RenderMidiToPcm(const std::string& path, int sampleRate, double maxSeconds)
    {
        TSong song = LoadSong(path, sampleRate);
        fluid_player_play(song.Player.get());
        std::vector<std::int16_t> samples;
        constexpr int Frames = 512;
        const auto maxFrames = std::int64_t(maxSeconds * sampleRate);
        std::vector<std::int16_t> block(Frames * 2);
        for (std::int64_t done = 0;
             done < maxFrames && fluid_player_get_status(song.Player.get()) == FLUID_PLAYER_PLAYING; done += Frames)
        {
            fluid_synth_write_s16(song.Synth.get(), Frames, block.data(), 0, 2, block.data(), 1, 2);
            samples.insert(samples.end(), block.begin(), block.end());
        }
        fluid_player_stop(song.Player.get());
        return samples;
    }
}
