#include "midi/JackMidiSystem.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "midi/PortMatch.h"
#include "midi/SoundingNotes.h"
#include "platform/FrameClock.h"
#include "platform/Worker.h"

namespace tandem {

namespace {

const char kInPortName[] = "midi_in";
const char kOutPortName[] = "midi_out";
const char kServerGone[] = "the JACK server went away";

// Events crossing between a process callback and our threads: a fixed size, so the ring never
// holds half of one. Only short messages travel (system exclusive is not part of the
// performance).
struct RingEvent {
  int64_t us;  // the event's moment on our clock; 0 for "as soon as possible"
  uint8_t length;
  uint8_t bytes[3];
};

// Copies an event out of a JACK port buffer. Another client's thread filled that buffer, handed
// over by libjack's own synchronisation, which ThreadSanitizer does not see: its reports here are
// suppressed by this function's name, so nothing else belongs in it.
[[gnu::noinline]] bool CopyFromJackBuffer(const jack_midi_event_t& event, RingEvent& e) {
  if (event.size == 0 || event.size > 3 || event.buffer[0] >= 0xF0) return false;
  e.length = static_cast<uint8_t>(event.size);
  std::memcpy(e.bytes, event.buffer, event.size);
  return true;
}

// About 16000 events, far beyond what a player sends between two periods.
constexpr size_t kRingBytes = 1 << 18;

void SilentJack(const char*) {}

void QuietJack() {
  jack_set_error_function(&SilentJack);
  jack_set_info_function(&SilentJack);
}

int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::vector<std::string> MidiPorts(jack_client_t* client, unsigned long flags) {
  std::vector<std::string> names;
  const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
  for (const char** p = ports; p != nullptr && *p != nullptr; ++p) names.emplace_back(*p);
  if (ports != nullptr) jack_free(ports);
  return names;
}

// One client with one MIDI port; the subclass's Process runs in JACK's real-time thread.
class JackPortClient {
 public:
  virtual ~JackPortClient() { Close(); }

  bool Open(const std::string& clientName, const char* portName, unsigned long flags,
            std::string& error) {
    QuietJack();
    jack_status_t status{};
    client_ = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (client_ == nullptr) {
      error =
          (status & JackServerFailed) != 0 ? "no JACK server running" : "cannot open a JACK client";
      return false;
    }
    jack_set_process_callback(client_, &JackPortClient::OnProcess, this);
    jack_on_shutdown(client_, &JackPortClient::OnShutdown, this);
    if (jack_activate(client_) != 0) {
      error = "cannot activate the JACK client";
      return false;
    }
    // Registered once the client runs: a port of a client not yet active is listed by the server
    // but refuses connections, and a script that saw it would fail to connect.
    jack_port_t* port = jack_port_register(client_, portName, JACK_DEFAULT_MIDI_TYPE, flags, 0);
    if (port == nullptr) {
      error = std::string("cannot register JACK port ") + portName;
      return false;
    }
    port_ = port;
    live_.store(port, std::memory_order_release);
    return true;
  }

  // Ends the process callbacks: none runs once this returns.
  void Close() {
    if (client_ == nullptr) return;
    jack_client_close(client_);
    client_ = nullptr;
  }

  bool Connect(const std::string& source, const std::string& destination, std::string& error) {
    if (jack_connect(client_, source.c_str(), destination.c_str()) == 0) return true;
    error = "cannot connect " + source + " to " + destination;
    return false;
  }

  std::string PortName() const { return jack_port_name(port_); }
  bool Alive() const { return alive_.load(std::memory_order_acquire); }
  // One period in microseconds, as the server runs now.
  int64_t PeriodUs() const {
    const jack_nframes_t rate = jack_get_sample_rate(client_);
    return rate == 0 ? 0 : int64_t{jack_get_buffer_size(client_)} * 1000000 / rate;
  }

 protected:
  virtual void Process(jack_nframes_t frames) = 0;
  virtual void Gone() {}

  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  // Frames to our clock and back, from when this client's cycles ran. JACK's own estimate
  // (jack_frames_to_time) was seen tens of milliseconds off for seconds after cycles ran late,
  // which put whole stretches of events at period starts.
  FrameClock clock_;

 private:
  static int OnProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackPortClient*>(arg);
    // The first cycles may come before the port is registered.
    if (self->live_.load(std::memory_order_acquire) == nullptr) return 0;
    self->clock_.Cycle(jack_last_frame_time(self->client_), SteadyUs(),
                       jack_get_sample_rate(self->client_), frames);
    self->Process(frames);
    return 0;
  }
  // Runs on a thread of libjack's when the server stops or throws us out.
  static void OnShutdown(void* arg) {
    auto* self = static_cast<JackPortClient*>(arg);
    self->alive_.store(false, std::memory_order_release);
    self->Gone();
  }

  std::atomic<bool> alive_{true};
  std::atomic<jack_port_t*> live_{nullptr};
};

// Frees a ring made by jack_ringbuffer_create.
struct RingDeleter {
  void operator()(jack_ringbuffer_t* ring) const { jack_ringbuffer_free(ring); }
};
using Ring = std::unique_ptr<jack_ringbuffer_t, RingDeleter>;

Ring MakeRing() {
  Ring ring(jack_ringbuffer_create(kRingBytes));
  // Kept in memory: a page fault in the process callback would cost the period.
  if (ring) jack_ringbuffer_mlock(ring.get());
  return ring;
}

// Capture: the process callback stamps each event with its frame's moment and passes it through
// the ring; a thread of ours converts the moment to our clock and calls back.
class JackInPort : public MidiInPort, public JackPortClient {
 public:
  explicit JackInPort(MidiInCallback callback) : callback_(std::move(callback)) {
    sem_init(&wake_, 0, 0);
  }
  ~JackInPort() override {
    Close();  // no process callback after this, so nothing more enters the ring
    stop_.store(true);
    sem_post(&wake_);
    if (reader_.joinable()) reader_.join();
    sem_destroy(&wake_);
  }

  bool Start() {
    ring_ = MakeRing();
    if (!ring_) return false;
    reader_ = std::thread([this] { Read(); });
    return true;
  }

  std::string Failure() const override { return Alive() ? std::string() : kServerGone; }
  // An event is stamped within the period that delivers it, at most a period after the callback
  // that hands it over; a margin covers our reader's wake-up and the dummy driver's clock.
  int64_t DeliveredWithinUs() const override { return 2000; }
  uint64_t Dropped() const { return dropped_.load(); }

 protected:
  void Process(jack_nframes_t frames) override {
    void* buffer = jack_port_get_buffer(port_, frames);
    const jack_nframes_t start = jack_last_frame_time(client_);
    const uint32_t count = jack_midi_get_event_count(buffer);
    bool wrote = false;
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) != 0) continue;
      // System messages (exclusive, clock, active sensing) are not part of the performance.
      RingEvent e{0, 0, {0, 0, 0}};
      if (!CopyFromJackBuffer(event, e)) continue;
      if (jack_ringbuffer_write_space(ring_.get()) < sizeof(RingEvent)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      e.us = clock_.MomentOf(start + event.time);
      jack_ringbuffer_write(ring_.get(), reinterpret_cast<const char*>(&e), sizeof e);
      wrote = true;
    }
    // A semaphore's post never blocks: it is the one wake-up a real-time thread may give.
    if (wrote) sem_post(&wake_);
  }
  void Gone() override { sem_post(&wake_); }

 private:
  void Read() {
    // The captured events wait for this thread on their way to the sender, like the workers
    // further on, so it asks for the same priority.
    Worker::RaisePriority();
    for (;;) {
      while (sem_wait(&wake_) != 0 && errno == EINTR) {
      }
      RingEvent e;
      while (jack_ringbuffer_read_space(ring_.get()) >= sizeof e) {
        jack_ringbuffer_read(ring_.get(), reinterpret_cast<char*>(&e), sizeof e);
        callback_(e.bytes, e.length, e.us > 0 ? e.us : 0);
      }
      if (stop_.load()) return;
    }
  }

  MidiInCallback callback_;
  Ring ring_;
  sem_t wake_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> dropped_{0};
};

// Output: the playback thread queues events with their moment; the process callback writes each
// into the period that holds its frame.
class JackOutPort : public MidiOutPort, public JackPortClient {
 public:
  ~JackOutPort() override {
    // What is queued or was written in the last period is still on its way to the readers:
    // closing sooner loses it, the note-offs of a silence too. Bounded for a stuck server.
    if (sent_ && Alive() && client_ != nullptr) {
      const auto period = std::chrono::microseconds(std::max<int64_t>(PeriodUs(), 1000));
      const auto deadline = std::chrono::steady_clock::now() + 4 * period + LeadTime() +
                            std::chrono::milliseconds(20);
      while (Alive() && std::chrono::steady_clock::now() < deadline &&
             jack_ringbuffer_read_space(ring_.get()) > 0) {
        std::this_thread::sleep_for(period / 4);
      }
      if (Alive()) std::this_thread::sleep_for(2 * period);
    }
    Close();
  }

  bool Start() {
    ring_ = MakeRing();
    return ring_ != nullptr;
  }

  bool Send(const uint8_t* bytes, size_t length) override { return Queue(bytes, length, 0); }

  bool SendAt(const uint8_t* bytes, size_t length, int64_t dueUs) override {
    // A moment already passed has no frame left to keep: it goes out at the start of the next
    // period, like one sent now.
    return Queue(bytes, length, dueUs > SteadyUs() ? dueUs : 0);
  }

  // The period that holds an event's frame is processed up to one period before that frame
  // sounds, so the event must be queued by then; the margin covers the playback thread's wake-up
  // and the dummy driver's frame clock, which wanders several milliseconds off the real one.
  int64_t LeadUs() const override { return LeadTime().count(); }

  void Silence() override {
    for (const auto& m : sounding_.SilenceMessages()) Queue(m.data(), m.size(), 0);
    sounding_.Clear();
  }

  std::string Failure() const override { return Alive() ? std::string() : kServerGone; }

 protected:
  void Process(jack_nframes_t frames) override {
    void* buffer = jack_port_get_buffer(port_, frames);
    jack_midi_clear_buffer(buffer);
    // Beyond this an event's moment is not believed, and it goes out at once rather than block
    // everything queued behind it.
    const auto far = static_cast<int64_t>(jack_get_sample_rate(client_)) * 2;
    jack_nframes_t offset = 0;
    RingEvent e;
    while (jack_ringbuffer_peek(ring_.get(), reinterpret_cast<char*>(&e), sizeof e) == sizeof e) {
      if (e.us != 0) {
        const int64_t at = clock_.FramesUntil(e.us);
        if (at >= static_cast<int64_t>(frames) && at < far) break;  // a later period's
        if (at > static_cast<int64_t>(offset) && at < static_cast<int64_t>(frames)) {
          offset = static_cast<jack_nframes_t>(at);
        }
      }
      // Full: the rest waits for the next period, in order.
      if (jack_midi_event_write(buffer, offset, e.bytes, e.length) != 0) break;
      jack_ringbuffer_read_advance(ring_.get(), sizeof e);
    }
  }

 private:
  std::chrono::microseconds LeadTime() const {
    return std::chrono::microseconds(PeriodUs() + 10000);
  }

  bool Queue(const uint8_t* bytes, size_t length, int64_t us) {
    if (bytes == nullptr || length == 0 || length > 3 || !Alive()) return false;
    if (jack_ringbuffer_write_space(ring_.get()) < sizeof(RingEvent)) return false;
    RingEvent e{us, static_cast<uint8_t>(length), {0, 0, 0}};
    std::memcpy(e.bytes, bytes, length);
    jack_ringbuffer_write(ring_.get(), reinterpret_cast<const char*>(&e), sizeof e);
    sounding_.Track(bytes, length);
    sent_ = true;
    return true;
  }

  Ring ring_;
  bool sent_ = false;
  SoundingNotes sounding_;  // only the sending side touches it, under GuardedMidiOut's lock
};

class JackMidiSystem : public MidiSystem {
 public:
  explicit JackMidiSystem(std::string clientName) : clientName_(std::move(clientName)) {}

  std::string Name() const override { return "jack"; }
  std::vector<std::string> InputPorts() override { return Query(JackPortIsOutput); }
  std::vector<std::string> OutputPorts() override { return Query(JackPortIsInput); }

  std::unique_ptr<MidiInPort> OpenInput(const PortChoice& choice, MidiInCallback callback,
                                        std::string& error) override {
    return OpenPort(std::make_unique<JackInPort>(std::move(callback)), choice, PortDirection::Input,
                    error);
  }

  std::unique_ptr<MidiOutPort> OpenOutput(const PortChoice& choice, std::string& error) override {
    return OpenPort(std::make_unique<JackOutPort>(), choice, PortDirection::Output, error);
  }

 private:
  // Each port is a client of its own ("NAME-in", "NAME-out"), as the ports were named before.
  template <typename Port>
  std::unique_ptr<Port> OpenPort(std::unique_ptr<Port> port, const PortChoice& choice,
                                 PortDirection direction, std::string& error) {
    const bool input = direction == PortDirection::Input;
    const std::string what = input ? "input" : "output";
    if (choice.kind == PortChoice::Kind::None) {
      error = "no MIDI " + what + " chosen";
      return nullptr;
    }
    if (!port->Start()) {
      error = "cannot make the MIDI " + what + "'s queue";
      return nullptr;
    }
    if (!port->Open(clientName_ + (input ? "-in" : "-out"), input ? kInPortName : kOutPortName,
                    input ? JackPortIsInput : JackPortIsOutput, error) ||
        !Pick(*port, choice, direction, error)) {
      return nullptr;
    }
    return port;
  }

  std::vector<std::string> Query(unsigned long flags) {
    QuietJack();
    jack_client_t* client =
        jack_client_open((clientName_ + "-query").c_str(), JackNoStartServer, nullptr);
    if (client == nullptr) return {};
    auto names = MidiPorts(client, flags);
    jack_client_close(client);
    return names;
  }

  // Connects the port the choice names, or leaves ours alone for a virtual one.
  bool Pick(JackPortClient& port, const PortChoice& choice, PortDirection direction,
            std::string& error) {
    const bool input = direction == PortDirection::Input;
    auto ports = Query(input ? JackPortIsOutput : JackPortIsInput);
    PortPick pick = ChoosePort(ports, choice, direction, clientName_);
    if (pick.kind == PortPick::Kind::Error) {
      error = pick.error;
      return false;
    }
    if (pick.kind == PortPick::Kind::Virtual) return true;
    const std::string& other = ports[pick.index];
    return input ? port.Connect(other, port.PortName(), error)
                 : port.Connect(port.PortName(), other, error);
  }

  std::string clientName_;
};

}  // namespace

bool JackServerRuns(const std::string& clientName, std::chrono::microseconds* cycle) {
  QuietJack();
  jack_status_t status{};
  jack_client_t* client =
      jack_client_open((clientName + "-probe").c_str(), JackNoStartServer, &status);
  if (client == nullptr) return false;
  if (cycle != nullptr) {
    jack_nframes_t rate = jack_get_sample_rate(client);
    jack_nframes_t frames = jack_get_buffer_size(client);
    *cycle = std::chrono::microseconds(rate == 0 ? 0 : int64_t{frames} * 1000000 / rate);
  }
  jack_client_close(client);
  return true;
}

std::shared_ptr<MidiSystem> MakeJackMidiSystem(const std::string& clientName) {
  return std::make_shared<JackMidiSystem>(clientName);
}

}  // namespace tandem
