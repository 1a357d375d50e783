#pragma once
// The hidden media player of the main window: plays a file asynchronously,
// with the device chosen by the file's extension. MIDI files (".MID", ".MIDI",
// ".RMI") go to a FluidSynth synthesiser with the General MIDI soundfont; the
// sound goes to PulseAudio, else ALSA, else a silent sink that still advances
// the song in real time, so a machine without sound plays (and can stop) too.
//
// Failures are std::runtime_error whose what() is the user's text.
// Thread safety: call from one thread; playback runs on FluidSynth's own
// threads (or the silent sink's) after Play returns.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Platform::Media
{
    enum class Mode
    {
        NotOpen, // no device open
        Open,    // open, not started
        Playing,
        Paused,
        Stopped, // stopped by Stop, or played to its end
    };

    // Where the sound goes: chosen when the device opens.
    enum class Output
    {
        None,
        PulseAudio,
        Alsa,
        Silent,
    };

    class TMediaPlayer
    {
    public:
        TMediaPlayer();
        ~TMediaPlayer();
        TMediaPlayer(const TMediaPlayer&) = delete;
        TMediaPlayer& operator=(const TMediaPlayer&) = delete;

        std::string FileName;

        // Opens FileName on the device for its extension. Fails with
        // "There is no player for files of the kind \"%s\"." (the extension, or
        // the file's name when it has none), "The music file %s cannot be
        // played." when the file cannot be loaded, or "No General MIDI sound
        // font was found; MIDI music cannot be played." Closes any open device first.
        void Open();
        // Starts playback from the beginning and returns at once.
        void Play();
        void Stop();
        void Close();
        bool DeviceOpen() const;
        Mode mode() const;
        Output output() const;

        // For tests: force the silent sink instead of trying the sound servers.
        static void ForceSilentOutput(bool force);

    private:
        struct Impl;
        std::unique_ptr<Impl> mImpl;
    };

    // The General MIDI soundfont used, or empty when none is installed.
    std::string SoundFontPath();

    // Renders the MIDI file at path through the same synthesiser into 16-bit
    // interleaved stereo samples at sampleRate, until the song ends or
    // maxSeconds have been rendered. Fails as Open does.
    std::vector<std::int16_t> RenderMidiToPcm(const std::string& path, int sampleRate, double maxSeconds);
}
