#ifdef TANDEM_HAVE_FLUIDSYNTH

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>

#include "audio/SynthImpl.h"

namespace tandem {

using namespace synth;

bool SynthOutput::Impl::Hand(const uint8_t* bytes, bool silence, int64_t dueUs) {
  CardEvent e{0, {0, 0, 0}, silence};
  if (bytes != nullptr) std::copy_n(bytes, ShortMessageLength(bytes[0]), e.bytes.begin());
  std::lock_guard lock(sendMutex);
  e.dueUs = dueUs > 0 ? dueUs : std::max(clock(), lastDueUs);
  if (!ring->Push(e)) return false;
  lastDueUs = std::max(lastDueUs, e.dueUs);
  return true;
}

int SynthOutput::Impl::OnCard(int len, int nfx, float* fx[], int nout, float* out[]) {
  if (len <= 0) return 0;
  for (int i = 0; i < nout; ++i) {
    if (out[i] == nullptr) return 0;
    std::fill_n(out[i], len, 0.0f);
  }
  // Without effect buffers of its own (or with one missing), reverb and chorus are mixed into
  // the dry ones.
  bool ownFx = nfx > 0 && fx != nullptr;
  for (int i = 0; ownFx && i < nfx; ++i) {
    if (fx[i] == nullptr) ownFx = false;
  }
  for (int i = 0; ownFx && i < nfx; ++i) std::fill_n(fx[i], len, 0.0f);
  // The moment this period's first frame stands for, from when the callbacks ran: one runs late
  // by scheduling noise, never early, while the card's frames keep their pace. (Smoothing the
  // callbacks' times instead kept a slow first one for half a second, and the first notes with
  // it.)
  const double rate = cardRate.load(std::memory_order_relaxed);
  const double usPerFrame = 1e6 / rate;
  const auto frame = static_cast<uint32_t>(cardFrames);
  cardClock.Cycle(frame, clock(), static_cast<uint32_t>(std::lround(rate)),
                  static_cast<uint32_t>(len));
  const auto startUs = static_cast<double>(cardClock.MomentOf(frame));
  cardFrames += len;

  const Font state = font.load(std::memory_order_acquire);
  if (state == Font::Loading) return 0;  // what is sent waits in the ring for the font
  CardEvent e{};
  if (state == Font::Failed) {
    uint64_t lost = 0;
    while (ring->Pop(e)) lost += e.silence ? 0 : 1;
    rejected.fetch_add(lost);
    return 0;
  }
  if (int v = volume.load(std::memory_order_relaxed); v != appliedVolume) {
    fluid_synth_set_gain(synth, GainOf(v));
    appliedVolume = v;
  }
  // What the senders handed over joins what waits from before, in the order of its moments.
  while (heldCount < held.size() && ring->Pop(e)) {
    size_t at = heldCount++;
    for (; at > 0 && held[at - 1].dueUs > e.dueUs; --at) held[at] = held[at - 1];
    held[at] = e;
  }
  const double endUs = startUs + len * usPerFrame;
  size_t n = 0;
  for (; n < heldCount && static_cast<double>(held[n].dueUs) < endUs; ++n) {
    // Late ones play at the period's first frame.
    const double offset = (static_cast<double>(held[n].dueUs) - startUs) / usPerFrame;
    const auto frame = std::clamp<int64_t>(std::llround(offset), 0, len - 1);
    span[n] = Pending{synthFrames + frame, held[n].bytes, held[n].silence};
  }
  std::copy(held.begin() + static_cast<ptrdiff_t>(n),
            held.begin() + static_cast<ptrdiff_t>(heldCount), held.begin());
  heldCount -= n;

  float* dry[kCardMaxBuffers];
  float* wet[kCardMaxBuffers];
  const int ndry = std::min(nout, kCardMaxBuffers);
  const int nwet = ownFx ? std::min(nfx, kCardMaxBuffers) : std::min(ndry, 2);
  int64_t done = 0;
  PlaySpan(synth, synthFrames, synthFrames + len, span.data(), n, [&](int64_t frames) {
    for (int i = 0; i < ndry; ++i) dry[i] = out[i] + done;
    for (int i = 0; i < nwet; ++i) wet[i] = ownFx ? fx[i] + done : dry[i];
    fluid_synth_process(synth, static_cast<int>(frames), nwet, wet, ndry, dry);
    done += frames;
  });
  synthFrames += len;
  if (silenceMissed.exchange(false, std::memory_order_relaxed)) ReleaseAll(synth);
  framesWritten.store(static_cast<uint64_t>(synthFrames), std::memory_order_relaxed);
  return 0;
}

namespace synth {
namespace {

void CollectOption(void* data, const char*, const char* option) {
  static_cast<std::vector<std::string>*>(data)->emplace_back(option);
}

std::vector<std::string> AudioDrivers(fluid_settings_t* settings) {
  std::vector<std::string> names;
  fluid_settings_foreach_option(settings, "audio.driver", &names, CollectOption);
  return names;
}

// ALSA and JACK, under FluidSynth's drivers, print their own failures to stderr: a screenful for
// one missing sound card, which FluidSynth's one-line reasons already tell. They are reached at
// run time because only FluidSynth links them; absent ones are simply left alone.
void SilentAlsa(const char*, int, const char*, int, const char*, ...) {}
void SilentJack(const char*) {}
using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
using JackHandler = void (*)(const char*);

void SetAlsaErrorHandler(AlsaHandler handler) {
  auto set =
      reinterpret_cast<int (*)(AlsaHandler)>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler"));
  if (set != nullptr) set(handler);
}

void SilenceJack() {
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    auto set = reinterpret_cast<void (*)(JackHandler)>(dlsym(RTLD_DEFAULT, name));
    if (set != nullptr) set(SilentJack);
  }
}

}  // namespace

bool OpenSoundCard(SynthOutput::Impl& impl, const SynthOptions& options, bool callback,
                   LogCapture& log, std::string& error) {
  std::vector<std::string> available = AudioDrivers(impl.settings);
  auto has = [&](const std::string& name) {
    return std::find(available.begin(), available.end(), name) != available.end();
  };
  std::vector<std::string> tries;
  if (!options.audioDriver.empty()) {
    tries.push_back(options.audioDriver);
  } else {
    for (const char* name : {"pulseaudio", "pipewire", "alsa", "jack"}) {
      if (has(name)) tries.emplace_back(name);
    }
    char* fallback = nullptr;
    if (tries.empty() &&
        fluid_settings_getstr_default(impl.settings, "audio.driver", &fallback) == FLUID_OK &&
        fallback != nullptr && *fallback != '\0') {
      tries.emplace_back(fallback);
    }
  }
  // The JACK client would start a JACK server of its own when none runs; a synthesizer must never
  // take the sound card that way. A setting made by the user is kept.
  setenv("JACK_NO_START_SERVER", "1", 0);
  // Under JACK our ports must reach the speakers by themselves.
  fluid_settings_setint(impl.settings, "audio.jack.autoconnect", 1);
  fluid_settings_setstr(impl.settings, "audio.jack.id", "tandem-synth");

  SilenceJack();
  SetAlsaErrorHandler(SilentAlsa);
  struct AlsaDefault {
    ~AlsaDefault() { SetAlsaErrorHandler(nullptr); }
  } restoreAlsa;

  std::string reasons;
  for (const std::string& name : tries) {
    log.Take();
    std::string why;
    if (!has(name)) {
      why = "not in this FluidSynth";
    } else {
      fluid_settings_setstr(impl.settings, "audio.driver", name.c_str());
      impl.driver =
          callback ? new_fluid_audio_driver2(impl.settings, &SynthOutput::Impl::OnCardThunk, &impl)
                   : new_fluid_audio_driver(impl.settings, impl.synth);
      if (impl.driver != nullptr) {
        impl.driverName = name;
        return true;
      }
      why = log.Take();
      if (why.empty()) why = "failed";
    }
    if (!reasons.empty()) reasons += "; ";
    reasons += name + ": " + why;
  }
  if (tries.empty()) reasons = "this FluidSynth has no audio driver";
  error = kPrefix + "no sound card could be opened (" + reasons + ")";
  return false;
}

}  // namespace synth

}  // namespace tandem

#endif
