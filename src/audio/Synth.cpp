#include "audio/Synth.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/FrameClock.h"
#include "platform/SpscRing.h"
#include "platform/Worker.h"

#ifdef TANDEM_HAVE_FLUIDSYNTH
#include <dlfcn.h>
#include <fcntl.h>
#include <fluidsynth.h>
#include <sndfile.h>
#include <unistd.h>
#endif

namespace tandem {

std::vector<std::string> DefaultSoundFonts() {
  return {"/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/sounds/sf2/default-GM.sf2"};
}

std::unique_ptr<MidiOutPort> OpenSynthOutput(const SynthOptions& options, std::string& error) {
  return OpenSynth(options, error);
}

SynthOutput::SynthOutput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

#ifdef TANDEM_HAVE_FLUIDSYNTH

namespace {

const std::string kPrefix = "built-in synthesizer: ";

// --- FluidSynth's log is process-wide: warnings and chatter go nowhere, errors go to the open
// or font load running on the thread that logs them (FluidSynth logs on the caller's thread),
// so they can end up in its error text. Opens take turns; a font load runs beside them.

thread_local std::string* t_logSink = nullptr;
std::mutex g_openMutex;

void OnFluidLog(int level, const char* message, void*) {
  if (level != FLUID_PANIC && level != FLUID_ERR) return;
  if (t_logSink == nullptr || message == nullptr) return;
  if (!t_logSink->empty()) *t_logSink += "; ";
  *t_logSink += message;
}

void QuietFluidLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int level = 0; level < LAST_LOG_LEVEL; ++level) {
      fluid_set_log_function(level, OnFluidLog, nullptr);
    }
  });
}

class LogCapture {
 public:
  LogCapture() { t_logSink = &text_; }
  ~LogCapture() { t_logSink = nullptr; }
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

// --- WAV file: 16-bit PCM, stereo, written by libsndfile. The header's sizes are brought up to
// date every second of audio and on close, so even a file whose writer was killed plays up to its
// last second.

class WavWriter {
 public:
  static constexpr int kChannels = 2;
  static constexpr uint32_t kFrameBytes = 2 * kChannels;
  // The RIFF size field counts 36 header bytes plus the data in 32 bits.
  static constexpr uint64_t kMaxDataBytes = (0xFFFFFFFFull - 36) / kFrameBytes * kFrameBytes;

  ~WavWriter() { Close(); }

  bool Open(const std::string& path, int rate, std::string& error) {
    // Opened here rather than by libsndfile, so a path that cannot be created and a disk that
    // cannot take the header are told apart.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      error = std::strerror(errno);
      return false;
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = kChannels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    errno = 0;
    file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (file_ == nullptr) {
      error = "write failed: " +
              (errno != 0 ? std::string(std::strerror(errno)) : std::string(sf_strerror(nullptr)));
      ::close(fd);
      return false;
    }
    rate_ = static_cast<uint32_t>(rate);
    return true;
  }

  bool Good() const { return file_ != nullptr && error_.empty(); }
  const std::string& Error() const { return error_; }
  uint64_t Frames() const { return dataBytes_ / kFrameBytes; }

  // Appends interleaved frames; false once the file failed or is full (the error says which).
  bool Write(const int16_t* samples, size_t frames) {
    if (!Good()) return false;
    uint64_t room = (kMaxDataBytes - dataBytes_) / kFrameBytes;
    bool full = frames > room;
    if (full) frames = static_cast<size_t>(room);
    errno = 0;
    sf_count_t written = sf_writef_short(file_, samples, static_cast<sf_count_t>(frames));
    uint64_t before = dataBytes_;
    if (written > 0) dataBytes_ += static_cast<uint64_t>(written) * kFrameBytes;
    if (written != static_cast<sf_count_t>(frames)) {
      error_ = "write failed: " + Reason();
      return false;
    }
    if (dataBytes_ / (rate_ * kFrameBytes) != before / (rate_ * kFrameBytes)) UpdateHeader();
    if (full) {
      error_ = "the WAV file reached its 4 GiB limit";
      return false;
    }
    return true;
  }

  void Close() {
    if (file_ == nullptr) return;
    // sf_close writes the final sizes into the header.
    errno = 0;
    if (sf_close(file_) != 0 && error_.empty()) error_ = "close failed: " + Reason();
    file_ = nullptr;
  }

 private:
  void UpdateHeader() {
    errno = 0;
    sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (sf_error(file_) != SF_ERR_NO_ERROR && error_.empty()) error_ = "write failed: " + Reason();
  }
  // The system's reason when there is one, else libsndfile's.
  std::string Reason() const {
    return errno != 0 ? std::string(std::strerror(errno)) : std::string(sf_strerror(file_));
  }

  SNDFILE* file_ = nullptr;
  uint32_t rate_ = 0;
  uint64_t dataBytes_ = 0;
  std::string error_;
};

// --- Short messages

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

int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

float GainOf(int percent) {
  return SynthOutput::kDefaultGain * static_cast<float>(std::clamp(percent, 0, kMaxVolume)) /
         100.0f;
}

void Apply(fluid_synth_t* synth, const Pending& p) {
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

}  // namespace

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
  std::mutex earlyMutex;      // `early`, and the change from Loading for a sound card
  std::deque<Pending> early;  // silences kept in place: they release what came before
  std::thread loader;
  std::function<void(const std::string&)> onLoadError;

  // Rendering. `clock` and `startUs` are set before the thread starts and never change.
  std::function<int64_t()> clock;
  int64_t startUs = 0;
  std::mutex queueMutex;
  std::deque<Pending> queue;  // in frame order
  int64_t floorFrame = 0;     // no message may land before this frame: it is rendered already
  int64_t lastFrame = 0;      // the latest frame queued: a message sent now never precedes it
  std::mutex renderMutex;     // Pump's state below
  int64_t renderedFrames = 0;
  WavWriter wav;
  std::vector<float> floats;
  std::vector<int16_t> samples;
  std::unique_ptr<Worker> thread;
  std::vector<Pending> due;  // Pump's, reused

  // Sound card through our own callback (`card`). Senders take turns under `sendMutex` and hand
  // messages over through `ring`; the callback owns the rest and takes no lock. The synthesizer is
  // then touched by the callback alone, the font load aside (the callback waits for it).
  bool card = false;
  std::atomic<double> cardRate{kSampleRate};  // the driver's, once it is open
  int64_t cardLeadUs = kRenderLeadUs;
  std::mutex sendMutex;
  int64_t lastDueUs = 0;  // a message sent now follows everything sent before it
  std::unique_ptr<SpscRing<CardEvent>> ring;
  std::atomic<bool> silenceMissed{false};  // a silence the full ring could not take
  std::atomic<int> volume{kDefaultVolume};
  int appliedVolume = kDefaultVolume;
  std::array<CardEvent, kCardHeld> held{};  // taken from the ring, due in a later period
  size_t heldCount = 0;
  std::array<Pending, kCardHeld> span{};
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

namespace {

class RenderThread : public Worker {
 public:
  explicit RenderThread(SynthOutput::Impl& impl) : Worker("synth-render"), impl_(impl) {}
  ~RenderThread() override { Stop(); }

 protected:
  // 10 ms passes keep the file within a few blocks of the present at little cost.
  void Run() override {
    while (Sleep(kRenderPass)) impl_.Pump();
  }

 private:
  SynthOutput::Impl& impl_;
};

}  // namespace

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

int64_t SynthOutput::Impl::FrameAt(int64_t us) const {
  int64_t d = std::max<int64_t>(0, us - startUs);
  return d / 1000000 * kSampleRate + d % 1000000 * kSampleRate / 1000000;
}

bool SynthOutput::Impl::Enqueue(const uint8_t* bytes, bool silence, int64_t dueUs) {
  Pending p{0, {0, 0, 0}, silence};
  if (bytes != nullptr) std::copy_n(bytes, ShortMessageLength(bytes[0]), p.bytes.begin());
  std::lock_guard lock(queueMutex);
  if (!silence && queue.size() >= kMaxPending) return false;
  if (dueUs > 0) {
    // A timed message takes its own frame, among the others by frame; one already rendered
    // past plays at the first frame still to come.
    p.frame = std::max(FrameAt(dueUs), floorFrame);
    auto at = queue.end();
    while (at != queue.begin() && std::prev(at)->frame > p.frame) --at;
    queue.insert(at, p);
  } else {
    // One sent now follows everything sent before it.
    p.frame = std::max({FrameAt(clock()), floorFrame, lastFrame});
    queue.push_back(p);
  }
  lastFrame = std::max(lastFrame, p.frame);
  return true;
}

void SynthOutput::Impl::LoadFont(const std::string& path) {
  LogCapture log;
  bool ok = fluid_synth_sfload(synth, path.c_str(), 1) != FLUID_FAILED;
  std::string error = ok ? std::string() : kPrefix + "cannot load sound font " + path + log.Why();
  // Said before the font is marked failed, so whoever waits for Ready() finds it said.
  if (!ok && onLoadError) onLoadError(error);
  uint64_t lost = 0;
  {
    // What waited plays under the lock, before the font is marked loaded: a message sent now
    // waits for the lock, so a note-off never overtakes its note-on.
    std::lock_guard lock(earlyMutex);
    for (const Pending& p : early) {
      if (!ok) {
        lost += p.silence ? 0 : 1;
      } else if (p.silence) {
        ReleaseAll(synth);
      } else {
        Play(synth, p.bytes.data());
      }
    }
    early.clear();
    font.store(ok ? Font::Loaded : Font::Failed);
  }
  if (ok) return;
  {
    // Rendering: the queued messages can never sound either.
    std::lock_guard lock(queueMutex);
    for (const Pending& p : queue) lost += p.silence ? 0 : 1;
    queue.clear();
  }
  rejected.fetch_add(lost);
}

bool SynthOutput::Impl::PlayNowOrKeep(const uint8_t* bytes, bool silence, bool& refused) {
  refused = false;
  if (font.load() != Font::Loading) return true;
  std::lock_guard lock(earlyMutex);
  if (font.load() != Font::Loading) return true;
  if (silence) {
    early.clear();  // what it would release has not sounded yet
    return false;
  }
  if (early.size() >= kMaxPending) {
    refused = true;
    return false;
  }
  Pending p{0, {0, 0, 0}, false};
  std::copy_n(bytes, ShortMessageLength(bytes[0]), p.bytes.begin());
  early.push_back(p);
  return false;
}

void SynthOutput::Impl::Pump(bool all) {
  // Nothing is rendered before the font is in: the messages keep their frames and sound there
  // once it is. A font that failed leaves the file silent.
  if (font.load() == Font::Loading) return;
  std::lock_guard render(renderMutex);
  due.clear();
  int64_t target;
  {
    std::lock_guard lock(queueMutex);
    target = std::max(FrameAt(clock()), floorFrame);
    if (all) target = std::max(target, lastFrame);
    floorFrame = target;
    // What falls due up to `target`; timed messages for later frames wait for a later pass.
    while (!queue.empty() && queue.front().frame <= target) {
      due.push_back(queue.front());
      queue.pop_front();
    }
  }
  PlaySpan(synth, renderedFrames, target, due.data(), due.size(),
           [this](int64_t n) { RenderTo(renderedFrames + n); });
}

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

void SynthOutput::Impl::RenderTo(int64_t frame) {
  if (!wav.Good()) {
    renderedFrames = std::max(renderedFrames, frame);
    return;
  }
  floats.resize(kChunkFrames * WavWriter::kChannels);
  samples.resize(kChunkFrames * WavWriter::kChannels);
  while (renderedFrames < frame) {
    int n = static_cast<int>(std::min(frame - renderedFrames, kChunkFrames));
    // Rendered as float and rounded here, without the dither of FluidSynth's 16-bit output, so
    // silence is written as exact zeros.
    fluid_synth_write_float(synth, n, floats.data(), 0, 2, floats.data(), 1, 2);
    for (size_t i = 0; i < size_t(n) * WavWriter::kChannels; ++i) {
      float v = std::isfinite(floats[i]) ? std::clamp(floats[i], -1.0f, 1.0f) * 32767.0f : 0.0f;
      samples[i] = static_cast<int16_t>(std::lround(v));
    }
    bool ok = wav.Write(samples.data(), static_cast<size_t>(n));
    renderedFrames += n;
    framesWritten.store(wav.Frames());
    if (!ok) {
      std::lock_guard lock(errorMutex);
      renderError = wav.Error();
      renderedFrames = frame;
    }
  }
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

namespace {

std::string FindSoundFont(const SynthOptions& options, std::string& error) {
  std::error_code ec;
  if (!options.soundFont.empty()) {
    if (std::filesystem::is_regular_file(options.soundFont, ec)) return options.soundFont;
    error = kPrefix + "sound font not found: " + options.soundFont;
    return {};
  }
  for (const std::string& path : options.soundFontSearch) {
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  error = kPrefix + "sound font not found (install fluid-soundfont-gm)";
  return {};
}

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

// `callback`: through our own callback, which places each message at its frame; else the driver
// renders by itself and a message plays from its next block.
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

}  // namespace

std::unique_ptr<SynthOutput> OpenSynth(const SynthOptions& options, std::string& error) {
  error.clear();
  QuietFluidLog();
  std::lock_guard open(g_openMutex);
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
    std::string why;
    if (!impl->wav.Open(options.renderPath, SynthOutput::kSampleRate, why)) {
      error = kPrefix + "cannot write " + options.renderPath + " (" + why + ")";
      return nullptr;
    }
    impl->rendering = true;
    impl->driverName = "render";
    impl->clock = options.clockUs ? options.clockUs : SteadyUs;
    impl->startUs = impl->clock();
    if (options.renderThread) {
      impl->thread = std::make_unique<RenderThread>(*impl);
      impl->thread->Start();
    }
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
