// The built-in synthesizer: FluidSynth with a General MIDI sound font, playing on the sound card
// at each message's frame, or rendering to a WAV file.
#include "audio/Synth.h"

#include "audio/SynthImpl.h"

namespace tandem {

std::vector<std::string> DefaultSoundFonts() {
  return {"/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/sounds/sf2/default-GM.sf2"};
}

std::unique_ptr<MidiOutPort> OpenSynthOutput(const SynthOptions& options, std::string& error) {
  return OpenSynth(options, error);
}

SynthOutput::SynthOutput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

#ifdef TANDEM_HAVE_FLUIDSYNTH

using namespace synth;

namespace synth {

bool Playable(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length == 0) return false;
  uint8_t status = bytes[0];
  if (status < 0x80 || status >= 0xF0) return false;  // running status, system messages
  size_t need = ShortMessageLength(status);
  if (length < need) return false;
  for (size_t i = 1; i < need; ++i) {
    if (bytes[i] > 0x7F) return false;
  }
  return true;
}

// `bytes` passed Playable(). FluidSynth's results are not refusals: a note-off for a silent key
// fails there, and a note-on with velocity 0 is its note-off.
void Play(fluid_synth_t* synth, const uint8_t* bytes) {
  int channel = bytes[0] & 0x0F;
  int d1 = bytes[1];
  switch (bytes[0] & 0xF0) {
    case 0x80:
      fluid_synth_noteoff(synth, channel, d1);
      break;
    case 0x90:
      fluid_synth_noteon(synth, channel, d1, bytes[2]);
      break;
    case 0xA0:
      fluid_synth_key_pressure(synth, channel, d1, bytes[2]);
      break;
    case 0xB0:
      fluid_synth_cc(synth, channel, d1, bytes[2]);
      break;
    case 0xC0:
      fluid_synth_program_change(synth, channel, d1);
      break;
    case 0xD0:
      fluid_synth_channel_pressure(synth, channel, d1);
      break;
    case 0xE0:
      fluid_synth_pitch_bend(synth, channel, d1 | (bytes[2] << 7));
      break;
    default:
      break;
  }
}

// A note held by the sustain or sostenuto pedal outlives its note-off, so the pedals go up first.
void ReleaseAll(fluid_synth_t* synth) {
  int channels = fluid_synth_count_midi_channels(synth);
  for (int c = 0; c < channels; ++c) {
    fluid_synth_cc(synth, c, 64, 0);
    fluid_synth_cc(synth, c, 66, 0);
  }
  fluid_synth_all_notes_off(synth, -1);
}

float GainOf(int percent) {
  return SynthOutput::kDefaultGain * static_cast<float>(std::clamp(percent, 0, kMaxVolume)) /
         100.0f;
}

int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace synth

SynthOutput::Impl::~Impl() {
  // A font still loading is waited for: the synthesizer must outlive it. Then audio stops
  // (render thread, sound card), the file is completed, and the synthesizer and its settings go.
  if (loader.joinable()) loader.join();
  thread.reset();
  if (rendering && wav.Good()) Pump(true);
  wav.Close();
  if (driver != nullptr) delete_fluid_audio_driver(driver);
  if (synth != nullptr) delete_fluid_synth(synth);
  if (settings != nullptr) delete_fluid_settings(settings);
}

SynthOutput::~SynthOutput() = default;

bool SynthOutput::Send(const uint8_t* bytes, size_t length) {
  return SendAt(bytes, length, 0);
}

int64_t SynthOutput::LeadUs() const {
  return impl_->rendering ? kRenderLeadUs : impl_->card ? impl_->cardLeadUs : 0;
}

bool SynthOutput::SendAt(const uint8_t* bytes, size_t length, int64_t dueUs) {
  if (!Playable(bytes, length) || impl_->font.load() == Impl::Font::Failed) {
    impl_->rejected.fetch_add(1);
    return false;
  }
  if (impl_->rendering || impl_->card) {
    bool taken =
        impl_->rendering ? impl_->Enqueue(bytes, false, dueUs) : impl_->Hand(bytes, false, dueUs);
    if (!taken) {
      impl_->rejected.fetch_add(1);
      return false;
    }
  } else {
    bool refused = false;
    if (impl_->PlayNowOrKeep(bytes, false, refused)) Play(impl_->synth, bytes);
    if (refused) {
      impl_->rejected.fetch_add(1);
      return false;
    }
  }
  impl_->accepted.fetch_add(1);
  return true;
}

void SynthOutput::Silence() {
  if (impl_->rendering) {
    impl_->Enqueue(nullptr, true);
  } else if (impl_->card) {
    // A silence is never lost: the callback releases everything at its next period instead.
    if (!impl_->Hand(nullptr, true, 0)) impl_->silenceMissed.store(true);
  } else {
    bool refused = false;
    if (impl_->PlayNowOrKeep(nullptr, true, refused)) ReleaseAll(impl_->synth);
  }
}

void SynthOutput::SetVolume(int percent) {
  // The synthesizer exists from the open on, even while its font loads.
  if (impl_->card) {
    impl_->volume.store(std::clamp(percent, 0, kMaxVolume));  // the callback applies it
  } else {
    fluid_synth_set_gain(impl_->synth, GainOf(percent));
  }
}

bool SynthOutput::Ready() const {
  return impl_->font.load() != Impl::Font::Loading;
}

void SynthOutput::Pump() {
  if (impl_->rendering) impl_->Pump();
}

SynthStats SynthOutput::Stats() const {
  return {impl_->accepted.load(), impl_->rejected.load(), impl_->framesWritten.load()};
}

std::string SynthOutput::RenderError() const {
  std::lock_guard lock(impl_->errorMutex);
  return impl_->renderError;
}

std::string SynthOutput::Driver() const {
  return impl_->driverName;
}

std::unique_ptr<SynthOutput> OpenSynth(const SynthOptions& options, std::string& error) {
  error.clear();
  QuietFluidLog();
  std::lock_guard open(OpenMutex());
  LogCapture log;

  std::string font = FindSoundFont(options, error);
  if (font.empty()) return nullptr;
  if (!fluid_is_soundfont(font.c_str())) {
    error = kPrefix + "not a sound font: " + font;
    return nullptr;
  }

  auto impl = std::make_unique<SynthOutput::Impl>();
  impl->settings = new_fluid_settings();
  if (impl->settings == nullptr) {
    error = kPrefix + "FluidSynth could not start" + log.Why();
    return nullptr;
  }
  fluid_settings_setnum(impl->settings, "synth.sample-rate", SynthOutput::kSampleRate);
  // Locking a 140 MB font in memory fails under the usual limits and only earns a warning.
  fluid_settings_setint(impl->settings, "synth.lock-memory", 0);
  fluid_settings_setnum(impl->settings, "synth.gain", SynthOutput::kDefaultGain);
  const bool toFile = !options.renderPath.empty();
  if (!toFile) {
    // The sound card through our own callback, opened before the synthesizer exists: the callback
    // plays silence until the synthesizer and its font are in. A driver that cannot call us back
    // (FluidSynth's "file", "sdl2") is opened the plain way further down.
    impl->clock = options.clockUs ? options.clockUs : SteadyUs;
    impl->ring = std::make_unique<SpscRing<CardEvent>>(kCardRing);
    impl->font.store(SynthOutput::Impl::Font::Loading);
    impl->card = OpenSoundCard(*impl, options, true, log, error);
  }
  if (impl->card) {
    // Only the callback touches the synthesizer now, so FluidSynth's own lock can go.
    fluid_settings_setint(impl->settings, "synth.threadsafe-api", 0);
    // A JACK server imposes its rate on the driver, which says so in the settings.
    double rate = SynthOutput::kSampleRate;
    fluid_settings_getnum(impl->settings, "synth.sample-rate", &rate);
    impl->cardRate.store(rate);
    int period = 0;
    fluid_settings_getint(impl->settings, "audio.period-size", &period);
    // A message must be in the ring before the callback that renders its moment: a period or two
    // ahead, and more for a server whose periods are longer than FluidSynth's setting says.
    impl->cardLeadUs =
        kRenderLeadUs + static_cast<int64_t>(2 * std::max(period, 1024) * 1e6 / rate);
  }
  error.clear();
  impl->synth = new_fluid_synth(impl->settings);
  if (impl->synth == nullptr) {
    error = kPrefix + "FluidSynth could not start" + log.Why();
    return nullptr;
  }
  if (options.loadInBackground) {
    // Set before any audio runs, so nothing renders or plays ahead of the font.
    impl->font.store(SynthOutput::Impl::Font::Loading);
  } else if (fluid_synth_sfload(impl->synth, font.c_str(), 1) == FLUID_FAILED) {
    error = kPrefix + "cannot load sound font " + font + log.Why();
    return nullptr;
  } else {
    impl->font.store(SynthOutput::Impl::Font::Loaded);
  }
  if (toFile) {
    if (!StartRendering(*impl, options, error)) return nullptr;
  } else if (!impl->card && !OpenSoundCard(*impl, options, false, log, error)) {
    return nullptr;
  }
  if (options.loadInBackground) {
    // Reading a 140 MB font takes half a second warm and seconds cold or under a sanitizer; the
    // caller (the model's construction, a click on "Audition") must not wait for it.
    impl->onLoadError = options.onLoadError;
    SynthOutput::Impl* raw = impl.get();
    impl->loader = std::thread([raw, font] { raw->LoadFont(font); });
  }
  return std::unique_ptr<SynthOutput>(new SynthOutput(std::move(impl)));
}

#else  // no FluidSynth in this build

struct SynthOutput::Impl {};

SynthOutput::~SynthOutput() = default;
bool SynthOutput::Send(const uint8_t*, size_t) {
  return false;
}
bool SynthOutput::SendAt(const uint8_t*, size_t, int64_t) {
  return false;
}
int64_t SynthOutput::LeadUs() const {
  return 0;
}
void SynthOutput::Silence() {}
void SynthOutput::SetVolume(int) {}
void SynthOutput::Pump() {}
SynthStats SynthOutput::Stats() const {
  return {};
}
std::string SynthOutput::RenderError() const {
  return {};
}
std::string SynthOutput::Driver() const {
  return {};
}
bool SynthOutput::Ready() const {
  return true;
}

std::unique_ptr<SynthOutput> OpenSynth(const SynthOptions&, std::string& error) {
  error = "built-in synthesizer: not available (built without FluidSynth)";
  return nullptr;
}

#endif

}  // namespace tandem
