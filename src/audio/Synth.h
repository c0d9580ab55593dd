// The built-in synthesizer: a MIDI output that sounds with no set-up, on FluidSynth with a General
// MIDI sound font. It plays through the desktop's audio, or renders to a WAV file for machines
// without a sound card (servers, tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi/Midi.h"

namespace tandem {

// Where Debian's fluid-soundfont-gm puts the General MIDI font, in the order we look.
std::vector<std::string> DefaultSoundFonts();

struct SynthOptions {
  // A sound font file; empty: the first of `soundFontSearch` that exists.
  std::string soundFont;
  std::vector<std::string> soundFontSearch = DefaultSoundFonts();
  // Non-empty: write the audio to this WAV file (44100 Hz, 16-bit stereo) instead of a sound card.
  std::string renderPath;
  // Sound card only: a FluidSynth audio driver name; empty tries pulseaudio, pipewire, alsa and
  // jack in turn (those this FluidSynth has), then its default.
  std::string audioDriver;
  // The clock that due moments are on, in microseconds (default: steady clock). Rendering: the
  // WAV follows it. A sound card's callback reads it without waiting.
  std::function<int64_t()> clockUs;
  // Rendering only: whether a thread of ours keeps the file up to the clock (false: the owner
  // calls Pump(), as tests do to render in virtual time).
  bool renderThread = true;
  // Loads the sound font on a thread of its own, so opening returns once the output is open. What
  // is sent meanwhile plays when the font is in. A font that then fails to load is reported
  // through `onLoadError` (from that thread), and what waited is counted as rejected.
  bool loadInBackground = false;
  std::function<void(const std::string&)> onLoadError;
};

struct SynthStats {
  uint64_t accepted = 0;        // messages taken to be played
  uint64_t rejected = 0;        // malformed or unsupported messages, or a full render queue
  uint64_t framesRendered = 0;  // frames written to the WAV file, or played on a sound card
};

class SynthOutput : public MidiOutPort {
 public:
  static constexpr int kSampleRate = 44100;
  // FluidSynth's own default (0.2) leaves single notes near -26 dBFS, far below other players.
  // At this gain a six-note piano chord at velocity 100 peaks near -6.5 dBFS, and ten notes at
  // velocity 127 near -1 dBFS, still without clipping.
  static constexpr float kDefaultGain = 0.63f;

  ~SynthOutput() override;  // stops the audio, finalizes the WAV file, frees the synthesizer

  // Plays one short message: note off/on, key pressure, control change, program change, channel
  // pressure or pitch bend, on the channel of its status byte. False, and counted, for anything
  // else, for data bytes above 127 and for a message shorter than its status calls for.
  bool Send(const uint8_t* bytes, size_t length) override;
  // The same, played at the frame of `dueUs` (on the clock) rather than of the moment it was sent,
  // within FluidSynth's 64-frame block. Only a sound card driver that cannot call us back plays it
  // at once.
  bool SendAt(const uint8_t* bytes, size_t length, int64_t dueUs) override;
  // Far enough ahead that the render thread, or the sound card's callback, has not passed the
  // event's frame yet.
  int64_t LeadUs() const override;
  // Releases every note on every channel, pedals included.
  void Silence() override;
  // Scales the output: kDefaultVolume is kDefaultGain, the level at which a loud chord peaks
  // near -6 dBFS.
  void SetVolume(int percent) override;

  // Rendering: writes audio up to the clock's present, playing each message at the frame of the
  // moment it was sent, or of its due moment. Called by the render thread, or by the owner when it
  // has none.
  void Pump();
  SynthStats Stats() const;
  // Why the WAV file stopped growing (a write failed, or it reached the 4 GiB limit); else empty.
  std::string RenderError() const;
  // What plays the sound: "render" or the audio driver's name.
  std::string Driver() const;
  // False while the sound font loads in the background.
  bool Ready() const;

  struct Impl;

 private:
  explicit SynthOutput(std::unique_ptr<Impl> impl);
  friend std::unique_ptr<SynthOutput> OpenSynth(const SynthOptions&, std::string&);
  std::unique_ptr<Impl> impl_;
};

// Opens the synthesizer; nullptr with a message starting "built-in synthesizer: " in `error` when
// the sound font, the audio output or the WAV file cannot be opened, or FluidSynth is not built in.
std::unique_ptr<SynthOutput> OpenSynth(const SynthOptions& options, std::string& error);

// The same, as a plain output port for GuardedMidiOut factories.
std::unique_ptr<MidiOutPort> OpenSynthOutput(const SynthOptions& options, std::string& error);

}  // namespace tandem
