// Inside the built-in synthesizer: what its parts share. The synthesizer itself and the messages
// it plays (Synth.cpp), its sound font and FluidSynth's log (SynthFont.cpp), the sound card's
// real-time callback (SynthCard.cpp) and rendering to a WAV file (SynthFile.cpp).
#pragma once

#ifdef TANDEM_HAVE_FLUIDSYNTH

#include <fluidsynth.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/Synth.h"
#include "audio/WavWriter.h"
#include "platform/FrameClock.h"
#include "platform/SpscRing.h"
#include "platform/Worker.h"

namespace tandem {
namespace synth {

inline const std::string kPrefix = "built-in synthesizer: ";

// FluidSynth's log is process-wide: warnings and chatter go nowhere, errors go to the open or font
// load running on the thread that logs them (FluidSynth logs on the caller's thread), so they can
// end up in its error text. Opens take turns under OpenMutex(); a font load runs beside them.
void QuietFluidLog();
std::mutex& OpenMutex();

// Collects what FluidSynth logs as errors on this thread while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string Take() {
    std::string text;
    text.swap(text_);
    return text;
  }
  // " (what FluidSynth said)", or nothing when it said nothing.
  std::string Why() {
    std::string text = Take();
    return text.empty() ? std::string() : " (" + text + ")";
  }

 private:
  std::string text_;
};

// Short messages.
bool Playable(const uint8_t* bytes, size_t length);
// `bytes` passed Playable().
void Play(fluid_synth_t* synth, const uint8_t* bytes);
// Every note off, the pedals first.
void ReleaseAll(fluid_synth_t* synth);
float GainOf(int percent);
int64_t SteadyUs();

struct Pending {
  int64_t frame;
  std::array<uint8_t, 3> bytes;
  bool silence;
};

// What a sender hands the sound card's callback: the moment it is due, on the clock.
struct CardEvent {
  int64_t dueUs;
  std::array<uint8_t, 3> bytes;
  bool silence;
};

constexpr size_t kMaxPending = 1 << 16;  // about a minute of very dense playing
constexpr int64_t kChunkFrames = 1024;
// FluidSynth starts what a message changes at the next boundary of its 64-frame blocks.
constexpr int64_t kBlockFrames = 64;
// The render thread's pass, and how far ahead of its moment an event must come to be placed there.
constexpr auto kRenderPass = std::chrono::milliseconds(10);
constexpr int64_t kRenderLeadUs = 25000;
// The sound card: how many messages wait for the callback, and how many it holds for later periods.
constexpr size_t kCardRing = 4096;
constexpr size_t kCardHeld = 1024;
// Buffer pointers the callback passes on; drivers give two.
constexpr int kCardMaxBuffers = 16;

inline void Apply(fluid_synth_t* synth, const Pending& p) {
  if (p.silence) {
    ReleaseAll(synth);
  } else {
    Play(synth, p.bytes.data());
  }
}

// Renders the synthesizer's next frames, [from, to), giving each of `events` (in frame order) at
// the boundary of FluidSynth's 64-frame blocks nearest its frame: a message's sound starts at the
// block after it, so it lands within half a block (0.73 ms) of its frame, early or late.
// `render(n)` renders the next n frames. The WAV file and the sound card both play through here.
template <typename Render>
void PlaySpan(fluid_synth_t* synth, int64_t from, int64_t to, const Pending* events, size_t count,
              Render&& render) {
  int64_t at = from;
  for (size_t i = 0; i < count; ++i) {
    int64_t edge = (events[i].frame + kBlockFrames / 2) / kBlockFrames * kBlockFrames;
    edge = std::min(std::max(edge, at), to);
    if (edge > at) render(edge - at);
    at = std::max(at, edge);
    Apply(synth, events[i]);
  }
  if (to > at) render(to - at);
}

}  // namespace synth

struct SynthOutput::Impl {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
  fluid_audio_driver_t* driver = nullptr;
  std::string driverName;
  bool rendering = false;

  // The sound font loads on `loader` when the owner asked for it in the background. Until then a
  // sound card's messages wait in `early` and the render thread renders nothing, so what arrives
  // during the load still plays, at its moment in a rendered file.
  enum class Font { Loading, Loaded, Failed };
  std::atomic<Font> font{Font::Loaded};
  std::mutex earlyMutex;             // `early`, and the change from Loading for a sound card
  std::deque<synth::Pending> early;  // silences kept in place: they release what came before
  std::thread loader;
  std::function<void(const std::string&)> onLoadError;

  // Rendering. `clock` and `startUs` are set before the thread starts and never change.
  std::function<int64_t()> clock;
  int64_t startUs = 0;
  std::mutex queueMutex;
  std::deque<synth::Pending> queue;  // in frame order
  int64_t floorFrame = 0;  // no message may land before this frame: it is rendered already
  int64_t lastFrame = 0;   // the latest frame queued: a message sent now never precedes it
  std::mutex renderMutex;  // Pump's state below
  int64_t renderedFrames = 0;
  WavWriter wav;
  std::vector<float> floats;
  std::vector<int16_t> samples;
  std::unique_ptr<Worker> thread;
  std::vector<synth::Pending> due;  // Pump's, reused

  // Sound card through our own callback (`card`). Senders take turns under `sendMutex` and hand
  // messages over through `ring`; the callback owns the rest and takes no lock. The synthesizer is
  // then touched by the callback alone, the font load aside (the callback waits for it).
  bool card = false;
  std::atomic<double> cardRate{kSampleRate};  // the driver's, once it is open
  int64_t cardLeadUs = synth::kRenderLeadUs;
  std::mutex sendMutex;
  int64_t lastDueUs = 0;  // a message sent now follows everything sent before it
  std::unique_ptr<SpscRing<synth::CardEvent>> ring;
  std::atomic<bool> silenceMissed{false};  // a silence the full ring could not take
  std::atomic<int> volume{kDefaultVolume};
  int appliedVolume = kDefaultVolume;
  std::array<synth::CardEvent, synth::kCardHeld>
      held{};  // taken from the ring, due in a later period
  size_t heldCount = 0;
  std::array<synth::Pending, synth::kCardHeld> span{};
  int64_t synthFrames = 0;  // frames the synthesizer rendered: its blocks start at multiples of 64
  int64_t cardFrames = 0;   // frames of every period, those played silent while the font loads too
  FrameClock cardClock;

  mutable std::mutex errorMutex;
  std::string renderError;
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> rejected{0};
  std::atomic<uint64_t> framesWritten{0};

  ~Impl();
  // Loads `path` into the synthesizer; then plays what waited, or counts it as refused.
  void LoadFont(const std::string& path);
  // False when the message must wait for the font (it is then kept, or refused when too many wait).
  bool PlayNowOrKeep(const uint8_t* bytes, bool silence, bool& refused);
  int64_t FrameAt(int64_t us) const;
  // False when the queue is full; a silence is never refused, it is what empties the synthesizer.
  // `dueUs` 0: at the present.
  bool Enqueue(const uint8_t* bytes, bool silence, int64_t dueUs = 0);
  // `all`: also what is queued for later frames (the file is closing).
  void Pump(bool all = false);
  void RenderTo(int64_t frame);
  // Sound card: hands a message to the callback; false when the ring is full.
  bool Hand(const uint8_t* bytes, bool silence, int64_t dueUs);
  // The audio driver's callback: one period.
  int OnCard(int len, int nfx, float* fx[], int nout, float* out[]);
  static int OnCardThunk(void* data, int len, int nfx, float* fx[], int nout, float* out[]) {
    return static_cast<Impl*>(data)->OnCard(len, nfx, fx, nout, out);
  }
};

namespace synth {

// The sound font to load: the one asked for, else the first of the search list found.
std::string FindSoundFont(const SynthOptions& options, std::string& error);
// Opens the sound card. `callback`: through our own callback, which places each message at its
// frame; else the driver renders by itself and a message plays from its next block.
bool OpenSoundCard(SynthOutput::Impl& impl, const SynthOptions& options, bool callback,
                   LogCapture& log, std::string& error);
// Opens the WAV file and starts rendering to it (on a thread of its own when asked).
bool StartRendering(SynthOutput::Impl& impl, const SynthOptions& options, std::string& error);

}  // namespace synth
}  // namespace tandem

#endif
