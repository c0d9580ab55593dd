#include "audio/Synth.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScratchDir.h"
#include "TestTiming.h"

namespace tandem {
namespace {

namespace fs = std::filesystem;
constexpr int kRate = SynthOutput::kSampleRate;
// RMS levels, full scale 1: one piano note at velocity 100 sounds around 0.014 (-37 dB); its
// release and the reverb are gone below -80 dB within a second.
constexpr double kSounding = 0.005;
constexpr double kSilent = 0.0001;

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

struct Wav {
  uint32_t riffSize = 0, rate = 0, dataSize = 0;
  uint16_t format = 0, channels = 0, bits = 0;
  size_t fileSize = 0;
  std::vector<int16_t> samples;  // interleaved stereo

  size_t Frames() const { return samples.size() / 2; }
  // Root mean square of both channels between two times, 1.0 being full scale.
  double Rms(double from, double to) const {
    size_t a = static_cast<size_t>(from * kRate) * 2, b = static_cast<size_t>(to * kRate) * 2;
    b = std::min(b, samples.size());
    double sum = 0;
    for (size_t i = a; i < b; ++i) sum += double(samples[i]) * samples[i];
    return b > a ? std::sqrt(sum / double(b - a)) / 32768.0 : 0.0;
  }
  // The largest sample magnitude, in dB below full scale (32768).
  double PeakDb() const {
    int peak = 0;
    for (int16_t v : samples) peak = std::max(peak, std::abs(int(v)));
    return 20.0 * std::log10(std::max(peak, 1) / 32768.0);
  }
  bool Clipped() const {
    return std::any_of(samples.begin(), samples.end(),
                       [](int16_t v) { return v >= 32767 || v <= -32767; });
  }
  // The first frame from `from` on louder than `level` (full scale 32768), or -1.
  long Onset(int level = 100, size_t from = 0) const {
    for (size_t i = from * 2; i < samples.size(); ++i) {
      if (std::abs(samples[i]) > level) return static_cast<long>(i / 2);
    }
    return -1;
  }
};

Wav ReadWav(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  Wav w;
  w.fileSize = b.size();
  if (b.size() < 44 || std::string(b.begin(), b.begin() + 4) != "RIFF" ||
      std::string(b.begin() + 8, b.begin() + 16) != "WAVEfmt " ||
      std::string(b.begin() + 36, b.begin() + 40) != "data") {
    ADD_FAILURE() << path << " has no WAV header";
    return w;
  }
  w.riffSize = Le(b, 4, 4);
  w.format = Le(b, 20, 2);
  w.channels = Le(b, 22, 2);
  w.rate = Le(b, 24, 4);
  w.bits = Le(b, 34, 2);
  w.dataSize = Le(b, 40, 4);
  size_t bytes = std::min<size_t>(w.dataSize, b.size() - 44);
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    w.samples.push_back(static_cast<int16_t>(Le(b, 44 + i, 2)));
  }
  return w;
}

void ExpectValidHeader(const Wav& w) {
  EXPECT_EQ(w.format, 1);
  EXPECT_EQ(w.channels, 2);
  EXPECT_EQ(w.rate, 44100u);
  EXPECT_EQ(w.bits, 16);
  EXPECT_EQ(w.dataSize, w.fileSize - 44);
  EXPECT_EQ(w.riffSize, w.fileSize - 8);
}

bool Send(SynthOutput& s, std::vector<uint8_t> bytes) {
  return s.Send(bytes.data(), bytes.size());
}

class SynthTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef TANDEM_HAVE_FLUIDSYNTH
    GTEST_SKIP() << "built without FluidSynth";
#endif
    scratch_ = std::make_unique<test::ScratchDir>("tandem-synth");
    dir_ = scratch_->Path();
  }
  std::unique_ptr<test::ScratchDir> scratch_;

  // A synthesizer rendering in virtual time: the file moves only when At() moves the clock.
  std::unique_ptr<SynthOutput> OpenVirtual(const std::string& name) {
    SynthOptions options;
    options.renderPath = (dir_ / name).string();
    options.clockUs = [this] { return now_.load(); };
    options.renderThread = false;
    std::string error;
    auto synth = OpenSynth(options, error);
    EXPECT_TRUE(synth) << error;
    EXPECT_EQ(error, "");
    return synth;
  }
  void Clock(double seconds) {
    now_.store(static_cast<int64_t>(std::llround(seconds * 1e6)));
  }
  void At(SynthOutput& synth, double seconds) {
    Clock(seconds);
    synth.Pump();
  }

  fs::path dir_;
  std::atomic<int64_t> now_{0};
};

TEST_F(SynthTest, NotesSoundFromTheMomentTheyAreSentUntilReleased) {
  // A note-off and a note-on with velocity 0 must both end the note.
  for (std::vector<uint8_t> off : {std::vector<uint8_t>{0x80, 60, 64}, {0x90, 60, 0}}) {
    SCOPED_TRACE(int(off[0]));
    now_ = 0;
    fs::path path = dir_ / "note.wav";
    {
      auto synth = OpenVirtual("note.wav");
      ASSERT_TRUE(synth);
      EXPECT_EQ(synth->Driver(), "render");
      // Messages take the time they were sent, not the time the file catches up with them.
      At(*synth, 0.1);
      Clock(0.2);
      EXPECT_TRUE(Send(*synth, {0x90, 60, 100}));
      Clock(0.5);
      EXPECT_TRUE(Send(*synth, off));
      At(*synth, 1.5);
      // While rendering, the header already covers the audio written up to its last full second,
      // so a file whose writer dies still plays.
      Wav partial = ReadWav(path);
      EXPECT_GE(partial.dataSize, uint32_t(kRate) * 4);
      EXPECT_LE(partial.dataSize, partial.fileSize - 44);
      At(*synth, 2.0);
      EXPECT_EQ(synth->Stats().accepted, 2u);
    }
    Wav w = ReadWav(path);
    ExpectValidHeader(w);
    EXPECT_EQ(w.Frames(), size_t(2 * kRate));
    EXPECT_EQ(w.Rms(0.0, 0.2), 0.0);
    long onset = w.Onset();
    EXPECT_GE(onset, long(0.2 * kRate));
    EXPECT_LE(onset, long(0.2 * kRate) + kRate / 100);
    EXPECT_GT(w.Rms(0.25, 0.5), kSounding);
    EXPECT_LT(w.Rms(1.7, 2.0), kSilent);
  }
}

TEST_F(SynthTest, TimedNotesStartAtTheirOwnSampleNotAtTheNextBlock) {
  // Moments off every grid, handed over ahead as the playback thread does, while the file is
  // rendered in uneven steps; a message sent for a moment already rendered plays at once.
  const std::vector<double> due = {0.2003, 1.4117, 2.6251, 3.8002, 5.0449};
  fs::path path = dir_ / "timed.wav";
  {
    auto synth = OpenVirtual("timed.wav");
    ASSERT_TRUE(synth);
    ASSERT_GT(synth->LeadUs(), 10000);
    // No reverb or chorus, so each sound ends in true silence before the next one starts.
    EXPECT_TRUE(Send(*synth, {0xB0, 91, 0}));
    EXPECT_TRUE(Send(*synth, {0xB0, 93, 0}));
    double rendered = 0;
    for (double t : due) {
      At(*synth, t - 0.0237);
      const auto us = [](double seconds) {
        return static_cast<int64_t>(std::llround(seconds * 1e6));
      };
      EXPECT_TRUE(synth->SendAt(std::vector<uint8_t>{0x90, 72, 110}.data(), 3, us(t)));
      EXPECT_TRUE(synth->SendAt(std::vector<uint8_t>{0x80, 72, 0}.data(), 3, us(t + 0.1)));
      for (rendered = t - 0.0237; rendered < t + 0.9; rendered += 0.0071) At(*synth, rendered);
    }
    At(*synth, rendered + 0.1);
    EXPECT_EQ(synth->Stats().accepted, 2 * due.size() + 2);
  }
  Wav w = ReadWav(path);
  size_t from = 0;
  for (double t : due) {
    SCOPED_TRACE(t);
    const long onset = w.Onset(4, from);
    EXPECT_NEAR(double(onset) / kRate, t, 0.001);
    from = static_cast<size_t>((t + 0.9) * kRate);
    EXPECT_LT(w.Rms(t + 0.9, t + 1.1), kSilent);  // gone before the next one
  }
}

TEST_F(SynthTest, SilenceEndsNotesHeldByThePedal) {
  // An organ does not decay by itself, and the sustain pedal holds it past its note-off.
  auto render = [&](bool silence) {
    {
      auto synth = OpenVirtual("pedal.wav");
      if (!synth) return Wav{};
      EXPECT_TRUE(Send(*synth, {0xC0, 19}));
      EXPECT_TRUE(Send(*synth, {0xB0, 64, 127}));
      EXPECT_TRUE(Send(*synth, {0x90, 60, 100}));
      At(*synth, 0.3);
      EXPECT_TRUE(Send(*synth, {0x80, 60, 0}));
      At(*synth, 0.5);
      if (silence) synth->Silence();
      At(*synth, 2.0);
    }
    now_ = 0;
    return ReadWav(dir_ / "pedal.wav");
  };
  Wav held = render(false);
  EXPECT_GT(held.Rms(1.7, 2.0), kSounding);
  Wav silenced = render(true);
  EXPECT_GT(silenced.Rms(0.3, 0.5), kSounding);
  EXPECT_LT(silenced.Rms(1.7, 2.0), kSilent);
}

TEST_F(SynthTest, MessagesActOnTheChannelOfTheirStatus) {
  {
    auto synth = OpenVirtual("channels.wav");
    ASSERT_TRUE(synth);
    EXPECT_TRUE(Send(*synth, {0xB0, 7, 0}));  // volume 0 on the first channel only
    EXPECT_TRUE(Send(*synth, {0x90, 60, 100}));
    At(*synth, 0.5);
    EXPECT_TRUE(Send(*synth, {0x91, 64, 100}));
    At(*synth, 1.0);
  }
  Wav w = ReadWav(dir_ / "channels.wav");
  EXPECT_LT(w.Rms(0.0, 0.5), kSilent);
  EXPECT_GT(w.Rms(0.55, 1.0), kSounding);
}

TEST_F(SynthTest, VolumeSetsTheLevelOfALoudChord) {
  // A piano chord, both hands, at velocity 100: at the usual volume it must be loud, with
  // headroom and never clipped; half the volume is half the amplitude (-6 dB).
  auto render = [&](int volume) {
    {
      now_ = 0;
      auto synth = OpenVirtual("chord.wav");
      if (!synth) return Wav{};
      if (volume != kDefaultVolume) synth->SetVolume(volume);
      for (uint8_t key : {48, 55, 60, 64, 67, 72}) EXPECT_TRUE(Send(*synth, {0x90, key, 100}));
      At(*synth, 1.5);
      for (uint8_t key : {48, 55, 60, 64, 67, 72}) EXPECT_TRUE(Send(*synth, {0x80, key, 0}));
      At(*synth, 2.5);
    }
    return ReadWav(dir_ / "chord.wav");
  };
  Wav usual = render(kDefaultVolume);
  std::printf("chord peak at volume %d: %.1f dBFS\n", kDefaultVolume, usual.PeakDb());
  EXPECT_GE(usual.PeakDb(), -12.0);
  EXPECT_LE(usual.PeakDb(), -3.0);
  EXPECT_FALSE(usual.Clipped());
  Wav half = render(kDefaultVolume / 2);
  EXPECT_NEAR(half.PeakDb(), usual.PeakDb() - 6.0, 0.5);
  Wav none = render(0);
  EXPECT_EQ(none.Rms(0.0, 2.5), 0.0);
}

TEST_F(SynthTest, RejectsAndCountsWhatItCannotPlay) {
  auto synth = OpenVirtual("bad.wav");
  ASSERT_TRUE(synth);
  EXPECT_FALSE(synth->Send(nullptr, 3));
  EXPECT_FALSE(Send(*synth, {}));
  EXPECT_FALSE(Send(*synth, {0x3C, 100}));         // running status
  EXPECT_FALSE(Send(*synth, {0xF8}));              // clock
  EXPECT_FALSE(Send(*synth, {0xF0, 0x7E, 0xF7}));  // system exclusive
  EXPECT_FALSE(Send(*synth, {0x90, 0x80, 100}));   // data byte out of range
  EXPECT_FALSE(Send(*synth, {0x90, 60, 0xFF}));
  EXPECT_FALSE(Send(*synth, {0x90, 60}));  // short
  EXPECT_FALSE(Send(*synth, {0xC0}));
  EXPECT_EQ(synth->Stats().rejected, 9u);

  // Every channel message is taken; the length is what the status calls for.
  EXPECT_TRUE(Send(*synth, {0xCF, 0}));
  EXPECT_TRUE(Send(*synth, {0xDF, 10}));
  EXPECT_TRUE(Send(*synth, {0xAF, 60, 10}));
  EXPECT_TRUE(Send(*synth, {0xEF, 0x7F, 0x7F}));
  EXPECT_TRUE(Send(*synth, {0xBF, 1, 127}));
  EXPECT_TRUE(Send(*synth, {0x9F, 127, 127}));
  EXPECT_EQ(synth->Stats().accepted, 6u);
  At(*synth, 0.5);
  EXPECT_EQ(synth->Stats().framesRendered, uint64_t(kRate / 2));
}

TEST_F(SynthTest, AFloodBeyondTheQueueIsCountedNotStored) {
  auto synth = OpenVirtual("flood.wav");
  ASSERT_TRUE(synth);
  size_t taken = 0;
  for (int i = 0; i < 70000; ++i) taken += Send(*synth, {0x90, uint8_t(i % 128), 1});
  EXPECT_LT(taken, 70000u);
  EXPECT_GT(taken, 1000u);
  EXPECT_EQ(synth->Stats().accepted + synth->Stats().rejected, 70000u);
  synth->Silence();  // still taken when full
  At(*synth, 0.1);
  EXPECT_TRUE(Send(*synth, {0x90, 60, 1}));  // room again once rendered
}

TEST_F(SynthTest, OpenFailuresSayWhy) {
  std::string error;
  SynthOptions options;
  options.renderPath = (dir_ / "x.wav").string();

  options.soundFontSearch = {(dir_ / "none.sf2").string()};
  EXPECT_FALSE(OpenSynthOutput(options, error));
  EXPECT_EQ(error, "built-in synthesizer: sound font not found (install fluid-soundfont-gm)");

  options.soundFont = (dir_ / "mine.sf2").string();
  EXPECT_FALSE(OpenSynthOutput(options, error));
  EXPECT_EQ(error, "built-in synthesizer: sound font not found: " + options.soundFont);

  std::ofstream(options.soundFont) << "RIFF this is not a sound font";
  EXPECT_FALSE(OpenSynthOutput(options, error));
  EXPECT_EQ(error, "built-in synthesizer: not a sound font: " + options.soundFont);

  options = SynthOptions{};
  options.renderPath = (dir_ / "no-such-dir" / "x.wav").string();
  EXPECT_FALSE(OpenSynthOutput(options, error));
  EXPECT_EQ(error.rfind("built-in synthesizer: cannot write " + options.renderPath + " (", 0), 0u)
      << error;

  if (fs::exists("/dev/full")) {
    options.renderPath = "/dev/full";
    EXPECT_FALSE(OpenSynthOutput(options, error));
    EXPECT_EQ(error, "built-in synthesizer: cannot write /dev/full (write failed: " +
                         std::string(std::strerror(ENOSPC)) + ")");
  }

  options = SynthOptions{};
  options.audioDriver = "nosuchdriver";
  EXPECT_FALSE(OpenSynthOutput(options, error));
  EXPECT_EQ(error,
            "built-in synthesizer: no sound card could be opened (nosuchdriver: not in this "
            "FluidSynth)");
}

TEST_F(SynthTest, AFontLoadingInTheBackgroundPlaysWhatArrivedMeanwhileOrCountsIt) {
  SynthOptions options;
  options.renderPath = (dir_ / "early.wav").string();
  options.clockUs = [this] { return now_.load(); };
  options.renderThread = false;
  options.loadInBackground = true;
  std::mutex mutex;
  std::vector<std::string> reported;
  options.onLoadError = [&](const std::string& why) {
    std::lock_guard lock(mutex);
    reported.push_back(why);
  };
  std::string error;
  {
    auto synth = OpenSynth(options, error);
    ASSERT_TRUE(synth) << error;
    // Sent while the font is (most likely) still loading: it must sound at its own moment.
    Clock(0.1);
    EXPECT_TRUE(Send(*synth, {0x90, 60, 100}));
    Clock(0.3);
    EXPECT_TRUE(Send(*synth, {0x80, 60, 0}));
    ASSERT_TRUE(test::WaitFor([&] { return synth->Ready(); }));
    At(*synth, 1.5);
  }
  Wav w = ReadWav(dir_ / "early.wav");
  ExpectValidHeader(w);
  EXPECT_GE(w.Onset(), long(0.1 * kRate));
  EXPECT_LE(w.Onset(), long(0.1 * kRate) + kRate / 100);
  EXPECT_GT(w.Rms(0.15, 0.3), kSounding);
  EXPECT_LT(w.Rms(1.2, 1.5), kSilent);
  EXPECT_TRUE(reported.empty());

  // A file that starts like a sound font but ends early passes the open and fails the load.
  options.soundFont = (dir_ / "cut.sf2").string();
  {
    std::ifstream in(DefaultSoundFonts().front(), std::ios::binary);
    std::vector<char> head(4096);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    std::ofstream(options.soundFont, std::ios::binary).write(head.data(), in.gcount());
  }
  auto synth = OpenSynth(options, error);
  ASSERT_TRUE(synth) << error;
  Send(*synth, {0x90, 61, 100});
  ASSERT_TRUE(test::WaitFor([&] { return synth->Ready(); }));
  EXPECT_FALSE(Send(*synth, {0x90, 62, 100}));
  EXPECT_EQ(synth->Stats().rejected, 2u);
  std::lock_guard lock(mutex);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(
      reported[0].rfind("built-in synthesizer: cannot load sound font " + options.soundFont, 0), 0u)
      << reported[0];
}

TEST_F(SynthTest, SoundCardOpensOrSaysWhyNot) {
  std::string error;
  auto synth = OpenSynth(SynthOptions{}, error);
  if (synth) {
    // A machine with sound: the port plays and closes cleanly.
    EXPECT_NE(synth->Driver(), "render");
    EXPECT_TRUE(Send(*synth, {0x90, 60, 1}));
    synth->Silence();
  } else {
    EXPECT_EQ(error.rfind("built-in synthesizer: no sound card could be opened (", 0), 0u) << error;
    EXPECT_EQ(error.back(), ')');
  }
}

// A JACK server on the dummy driver: a sound card that needs no hardware. Long periods leave a
// sanitizer build on a busy machine time to render each one.
class JackDummy {
 public:
  explicit JackDummy(std::string name) : name_(std::move(name)) {
    std::vector<std::string> args = {"jackd", "-n",    name_, "-d",  "dummy",
                                     "-r",    "48000", "-p",  "1024"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "jackd", &quiet, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&quiet);
  }
  ~JackDummy() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Waits until clients can connect; false when jackd is missing or never answers.
  bool Ready() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      if (Ports().find("system:playback_1") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // Every port with its connections, as jack_lsp -c prints them.
  std::string Ports() {
    std::string command =
        "JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=" + name_ + " jack_lsp -c 2>/dev/null";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
      char buf[256];
      while (fgets(buf, sizeof buf, p)) out += buf;
      pclose(p);
    }
    return out;
  }

 private:
  std::string name_;
  pid_t pid_ = 0;
};

// The synthesizer's JACK thread filled the port buffer, handed over by libjack's own
// synchronisation, which ThreadSanitizer does not see: its suppressions name this function.
[[gnu::noinline]] void CopyFromJackBuffer(const float* from, size_t n, std::vector<float>& to) {
  to.assign(from, from + n);
}

// Listens to one audio port of a JACK server, noting the frame where each sound starts after a
// tenth of a second of silence.
class OnsetListener {
 public:
  ~OnsetListener() {
    if (client_) jack_client_close(client_);
  }
  bool Open(const std::string& server, const std::string& source) {
    jack_status_t status;
    client_ = jack_client_open("onsets", JackOptions(JackNoStartServer | JackServerName), &status,
                               server.c_str());
    if (!client_) return false;
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &OnsetListener::Process, this);
    return in_ && jack_activate(client_) == 0 &&
           jack_connect(client_, source.c_str(), jack_port_name(in_)) == 0;
  }
  jack_nframes_t Now() { return jack_frame_time(client_); }
  // Once it has heard enough silence to note the next sound.
  bool Listening() {
    std::lock_guard lock(mutex_);
    return quiet_ >= kQuiet;
  }
  std::vector<jack_nframes_t> Onsets() {
    std::lock_guard lock(mutex_);
    return onsets_;
  }

 private:
  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<OnsetListener*>(arg);
    CopyFromJackBuffer(static_cast<const float*>(jack_port_get_buffer(self->in_, frames)), frames,
                       self->samples_);
    const jack_nframes_t start = jack_last_frame_time(self->client_);
    std::lock_guard lock(self->mutex_);
    for (jack_nframes_t i = 0; i < frames; ++i) {
      const bool loud = std::fabs(self->samples_[i]) > 1e-3f;
      if (loud && self->quiet_ >= kQuiet) self->onsets_.push_back(start + i);
      self->quiet_ = loud ? 0 : self->quiet_ + 1;
    }
    return 0;
  }

  static constexpr jack_nframes_t kQuiet = 4800;
  jack_client_t* client_ = nullptr;
  jack_port_t* in_ = nullptr;
  std::mutex mutex_;
  jack_nframes_t quiet_ = 0;
  std::vector<float> samples_;
  std::vector<jack_nframes_t> onsets_;
};

TEST_F(SynthTest, PlaysThroughJackConnectedToTheSpeakersEachNoteAtItsMoment) {
  std::string server = "tandem-synth-" + std::to_string(getpid());
  JackDummy jack(server);
  if (!jack.Ready()) GTEST_SKIP() << "no jackd to run a dummy JACK server";
  const char* before = std::getenv("JACK_DEFAULT_SERVER");
  std::string saved = before ? before : "";
  setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
  SynthOptions options;
  options.audioDriver = "jack";
  std::string error;
  auto synth = OpenSynth(options, error);
  if (before) {
    setenv("JACK_DEFAULT_SERVER", saved.c_str(), 1);
  } else {
    unsetenv("JACK_DEFAULT_SERVER");
  }
  ASSERT_TRUE(synth) << error;
  EXPECT_EQ(synth->Driver(), "jack");
  std::string ports = jack.Ports();
  EXPECT_NE(ports.find("tandem-synth:left\n   system:playback_1"), std::string::npos) << ports;
  EXPECT_NE(ports.find("tandem-synth:right\n   system:playback_2"), std::string::npos) << ports;

  // Notes handed over together, long before their moments, as the playback thread does with a
  // buffer: each sounds at its own moment, not when it was handed over.
  OnsetListener listener;
  ASSERT_TRUE(listener.Open(server, "tandem-synth:left"));
  EXPECT_TRUE(Send(*synth, {0xB0, 91, 0}));
  EXPECT_TRUE(Send(*synth, {0xB0, 93, 0}));
  ASSERT_GT(synth->LeadUs(), 0);
  ASSERT_TRUE(test::WaitFor([&] { return listener.Listening(); }, std::chrono::seconds(20)));
  const std::vector<double> due = {0.3, 1.3003, 2.3171};
  const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  const jack_nframes_t sentAt = listener.Now();
  for (double t : due) {
    const auto us = now + static_cast<int64_t>(t * 1e6);
    EXPECT_TRUE(synth->SendAt(std::vector<uint8_t>{0x90, 72, 110}.data(), 3, us));
    EXPECT_TRUE(synth->SendAt(std::vector<uint8_t>{0x80, 72, 0}.data(), 3, us + 100000));
  }
  EXPECT_TRUE(test::WaitFor([&] { return listener.Onsets().size() >= due.size(); },
                            std::chrono::seconds(20)));
  const auto onsets = listener.Onsets();
  ASSERT_EQ(onsets.size(), due.size());
  // A note played when it was handed over would be 300 ms early or more. The dummy server's
  // frames wander off the monotonic clock by milliseconds, more on a busy machine, and the
  // output's own latency comes on top: the first onset is checked loosely, the spacing closely.
  EXPECT_NEAR(double(onsets[0] - sentAt) / 48000, due[0], 0.06);
  for (size_t k = 1; k < due.size(); ++k)
    EXPECT_NEAR(double(onsets[k] - onsets[0]) / 48000, due[k] - due[0], 0.015) << k;
  synth->Silence();
  synth.reset();
  EXPECT_EQ(jack.Ports().find("tandem-synth"), std::string::npos);
}

TEST_F(SynthTest, RenderThreadKeepsTheFileUpWithTheClock) {
  fs::path path = dir_ / "live.wav";
  SynthOptions options;
  options.renderPath = path.string();
  std::string error;
  using Clock = std::chrono::steady_clock;
  auto beforeOpen = Clock::now();
  auto synth = OpenSynth(options, error);
  ASSERT_TRUE(synth) << error;
  auto opened = Clock::now();
  auto waitFor = [&](double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (synth->Stats().framesRendered < uint64_t(seconds * kRate) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  // Two senders at once, as the playback thread and a closing window would be.
  std::thread other([&] {
    for (int i = 0; i < 200; ++i) Send(*synth, {0xB1, 1, uint8_t(i % 128)});
  });
  EXPECT_TRUE(Send(*synth, {0x90, 60, 100}));
  other.join();
  waitFor(0.4);
  EXPECT_TRUE(Send(*synth, {0x80, 60, 0}));
  waitFor(2.0);
  auto closing = Clock::now();
  synth.reset();
  auto closed = Clock::now();

  Wav w = ReadWav(path);
  ExpectValidHeader(w);
  // The file covers the time from its opening until it was closed.
  double seconds = double(w.Frames()) / kRate;
  EXPECT_GE(seconds, std::chrono::duration<double>(closing - opened).count() - 0.01);
  EXPECT_LE(seconds, std::chrono::duration<double>(closed - beforeOpen).count());
  EXPECT_LT(w.Onset(), kRate / 10);
  EXPECT_GT(w.Rms(0.05, 0.35), kSounding);
  EXPECT_LT(w.Rms(w.Frames() / double(kRate) - 0.3, 10.0), kSilent);
  EXPECT_EQ(error, "");
}

}  // namespace
}  // namespace tandem
