#include "midi/JackMidiSystem.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
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

// What the process callback hands each port for one cycle.
struct Cycle {
  jack_nframes_t frames;
  jack_nframes_t start;  // the cycle's first frame
  jack_nframes_t rate;
  const FrameClock& clock;
};

// A port's share of the process callback, run in JACK's real-time thread.
class JackSide {
 public:
  virtual void Process(const Cycle& cycle) = 0;

 protected:
  ~JackSide() = default;
};

class JackClient;

// The client a system's ports share, while any of them is open.
struct ClientSlot {
  std::mutex mutex;
  std::weak_ptr<JackClient> client;
};

// Our one JACK client: one process callback for whichever ports are open, so the server wakes us
// once a period however many there are (each client is woken on its own, at several times the
// cost of the callback itself). Ports are registered and unregistered on the live client; the
// callback finds them through atomics.
class JackClient {
 public:
  explicit JackClient(std::shared_ptr<ClientSlot> slot) : slot_(std::move(slot)) {}
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;
  // Ends the process callbacks. Under the slot's lock: a client opened meanwhile would find the
  // name still taken, and JACK would rename it.
  ~JackClient() {
    if (client_ == nullptr) return;
    std::lock_guard lock(slot_->mutex);
    jack_client_close(client_);
  }

  bool Open(const std::string& name, std::string& error) {
    QuietJack();
    jack_status_t status{};
    client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (client_ == nullptr) {
      error =
          (status & JackServerFailed) != 0 ? "no JACK server running" : "cannot open a JACK client";
      return false;
    }
    jack_set_process_callback(client_, &JackClient::OnProcess, this);
    jack_on_shutdown(client_, &JackClient::OnShutdown, this);
    if (jack_activate(client_) != 0) {
      jack_client_close(client_);
      client_ = nullptr;
      error = "cannot activate the JACK client";
      return false;
    }
    return true;
  }

  // Registered on the running client: a port of a client not yet active is listed by the server
  // but refuses connections, and a script that saw it would fail to connect. A port of that name
  // still open (an input whose thread has not let go of it yet) leaves the new one NAME-01, as
  // JACK does with client names.
  jack_port_t* Register(const char* name, unsigned long flags, std::string& error) {
    std::lock_guard lock(requests_);
    for (int n = 0; n < 10; ++n) {
      const std::string wanted = n == 0 ? name : std::string(name) + "-0" + std::to_string(n);
      jack_port_t* port =
          jack_port_register(client_, wanted.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
      if (port != nullptr) return port;
      const std::string full = std::string(jack_get_client_name(client_)) + ":" + wanted;
      if (jack_port_by_name(client_, full.c_str()) == nullptr) break;
    }
    error = std::string("cannot register JACK port ") + name;
    return nullptr;
  }
  void Unregister(jack_port_t* port) {
    std::lock_guard lock(requests_);
    jack_port_unregister(client_, port);
  }

  // The callback runs `side` from its next cycle on; false when every place is taken.
  bool Attach(JackSide* side) {
    for (auto& place : sides_) {
      JackSide* empty = nullptr;
      if (place.compare_exchange_strong(empty, side)) return true;
    }
    return false;
  }
  // No callback runs `side` once this returns. The callback never waits, so neither does this
  // for longer than one callback.
  void Detach(JackSide* side) {
    for (auto& place : sides_) {
      JackSide* mine = side;
      place.compare_exchange_strong(mine, nullptr);
    }
    // A callback that found `side` entered before it was taken out, and is counted here.
    while (inside_.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }

  bool Connect(const std::string& source, const std::string& destination, std::string& error) {
    std::lock_guard lock(requests_);
    if (jack_connect(client_, source.c_str(), destination.c_str()) == 0) return true;
    error = "cannot connect " + source + " to " + destination;
    return false;
  }
  std::vector<std::string> Ports(unsigned long flags) {
    std::lock_guard lock(requests_);
    return MidiPorts(client_, flags);
  }

  bool Alive() const { return alive_.load(std::memory_order_acquire); }
  // One period in microseconds, as the server runs now.
  int64_t PeriodUs() const {
    const jack_nframes_t rate = jack_get_sample_rate(client_);
    return rate == 0 ? 0 : int64_t{jack_get_buffer_size(client_)} * 1000000 / rate;
  }

 private:
  static constexpr size_t kSides = 4;

  static int OnProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    self->inside_.fetch_add(1);
    const jack_nframes_t start = jack_last_frame_time(self->client_);
    const jack_nframes_t rate = jack_get_sample_rate(self->client_);
    self->clock_.Cycle(start, SteadyUs(), rate, frames);
    const Cycle cycle{frames, start, rate, self->clock_};
    for (auto& place : self->sides_) {
      if (JackSide* side = place.load()) side->Process(cycle);
    }
    self->inside_.fetch_sub(1, std::memory_order_release);
    return 0;
  }
  // Runs on a thread of libjack's when the server stops or throws us out.
  static void OnShutdown(void* arg) {
    static_cast<JackClient*>(arg)->alive_.store(false, std::memory_order_release);
  }

  std::shared_ptr<ClientSlot> slot_;
  jack_client_t* client_ = nullptr;
  // libjack sends a client's requests to the server and reads the answers on one socket, unlocked:
  // two threads asking at once (the input opened by its thread, the output by another) get each
  // other's answers, or none.
  std::mutex requests_;
  // Frames to our clock and back, from when this client's cycles ran. JACK's own estimate
  // (jack_frames_to_time) was seen tens of milliseconds off for seconds after cycles ran late,
  // which put whole stretches of events at period starts.
  FrameClock clock_;
  std::array<std::atomic<JackSide*>, kSides> sides_{};
  std::atomic<int> inside_{0};  // callbacks running now (0 or 1)
  std::atomic<bool> alive_{true};
};

// One MIDI port of ours on the shared client.
class JackPort : public JackSide {
 public:
  bool Join(std::shared_ptr<JackClient> client, const char* name, unsigned long flags,
            std::string& error) {
    client_ = std::move(client);
    port_ = client_->Register(name, flags, error);
    if (port_ == nullptr) return false;
    if (!client_->Attach(this)) {
      error = "too many JACK ports open";
      return false;
    }
    attached_ = true;
    return true;
  }

  JackClient& Client() { return *client_; }
  std::string PortName() const { return jack_port_name(port_); }
  bool Alive() const { return client_ != nullptr && client_->Alive(); }

 protected:
  ~JackPort() = default;

  // Leaves the client: no callback runs this port once it returns, and the last port to leave
  // closes the client. Called by the destructor of the class that holds what Process uses.
  void Leave() {
    if (client_ == nullptr) return;
    client_->Detach(this);
    if (port_ != nullptr) client_->Unregister(port_);
    port_ = nullptr;
    client_.reset();
  }

  std::shared_ptr<JackClient> client_;
  jack_port_t* port_ = nullptr;
  bool attached_ = false;
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
class JackInPort : public MidiInPort, public JackPort {
 public:
  explicit JackInPort(MidiInCallback callback) : callback_(std::move(callback)) {
    sem_init(&wake_, 0, 0);
  }
  ~JackInPort() override {
    Leave();  // no process callback after this, so nothing more enters the ring
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

  void Process(const Cycle& cycle) override {
    void* buffer = jack_port_get_buffer(port_, cycle.frames);
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
      e.us = cycle.clock.MomentOf(cycle.start + event.time);
      jack_ringbuffer_write(ring_.get(), reinterpret_cast<const char*>(&e), sizeof e);
      wrote = true;
    }
    // A semaphore's post never blocks: it is the one wake-up a real-time thread may give.
    if (wrote) sem_post(&wake_);
  }

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
class JackOutPort : public MidiOutPort, public JackPort {
 public:
  ~JackOutPort() override {
    if (attached_ && Alive()) {
      const auto period = std::chrono::microseconds(std::max<int64_t>(client_->PeriodUs(), 1000));
      // What is queued or was written in the last period is still on its way to the readers:
      // closing sooner loses it, the note-offs of a silence too. Bounded for a stuck server.
      if (sent_) {
        const auto deadline = std::chrono::steady_clock::now() + 4 * period + LeadTime() +
                              std::chrono::milliseconds(20);
        while (Alive() && std::chrono::steady_clock::now() < deadline &&
               jack_ringbuffer_read_space(ring_.get()) > 0) {
          std::this_thread::sleep_for(period / 4);
        }
        if (Alive()) std::this_thread::sleep_for(2 * period);
      }
      // The client may outlive this port, whose buffer is read as it was last written until the
      // port is gone: a cycle clears it first, so its readers get nothing twice.
      quiet_.store(true);
      const auto deadline = std::chrono::steady_clock::now() + 4 * period;
      while (Alive() && !cleared_.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(period / 4);
      }
    }
    Leave();
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

  void Process(const Cycle& cycle) override {
    void* buffer = jack_port_get_buffer(port_, cycle.frames);
    jack_midi_clear_buffer(buffer);
    if (quiet_.load()) {
      cleared_.store(true);
      return;
    }
    // Beyond this an event's moment is not believed, and it goes out at once rather than block
    // everything queued behind it.
    const auto far = static_cast<int64_t>(cycle.rate) * 2;
    const auto frames = static_cast<int64_t>(cycle.frames);
    jack_nframes_t offset = 0;
    RingEvent e;
    while (jack_ringbuffer_peek(ring_.get(), reinterpret_cast<char*>(&e), sizeof e) == sizeof e) {
      if (e.us != 0) {
        const int64_t at = cycle.clock.FramesUntil(e.us);
        if (at >= frames && at < far) break;  // a later period's
        if (at > static_cast<int64_t>(offset) && at < frames) {
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
    return std::chrono::microseconds((client_ != nullptr ? client_->PeriodUs() : 0) + 10000);
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
  std::atomic<bool> quiet_{false};    // closing: the callback only clears the buffer
  std::atomic<bool> cleared_{false};  // and has done so once
  SoundingNotes sounding_;  // only the sending side touches it, under GuardedMidiOut's lock
};

class JackMidiSystem : public MidiSystem {
 public:
  explicit JackMidiSystem(std::string clientName)
      : clientName_(std::move(clientName)), slot_(std::make_shared<ClientSlot>()) {}

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
  // Both ports are on one client, NAME, opened with the first of them and closed with the last.
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
    auto client = Acquire(error);
    if (client == nullptr ||
        !port->Join(std::move(client), input ? kInPortName : kOutPortName,
                    input ? JackPortIsInput : JackPortIsOutput, error) ||
        !Pick(*port, choice, direction, error)) {
      return nullptr;
    }
    return port;
  }

  // The open client, or a new one when there is none or the server threw the last one out.
  std::shared_ptr<JackClient> Acquire(std::string& error) {
    std::shared_ptr<JackClient> open;  // let go of after the lock: it may be the last reference
    std::lock_guard lock(slot_->mutex);
    open = slot_->client.lock();
    if (open != nullptr && open->Alive()) return open;
    auto client = std::make_shared<JackClient>(slot_);
    if (!client->Open(clientName_, error)) return nullptr;
    slot_->client = client;
    return client;
  }

  std::vector<std::string> Query(unsigned long flags) {
    std::shared_ptr<JackClient> open;
    {
      std::lock_guard lock(slot_->mutex);
      open = slot_->client.lock();
    }
    if (open != nullptr && open->Alive()) return open->Ports(flags);
    QuietJack();
    jack_client_t* client =
        jack_client_open((clientName_ + "-query").c_str(), JackNoStartServer, nullptr);
    if (client == nullptr) return {};
    auto names = MidiPorts(client, flags);
    jack_client_close(client);
    return names;
  }

  // Connects the port the choice names, or leaves ours alone for a virtual one.
  bool Pick(JackPort& port, const PortChoice& choice, PortDirection direction, std::string& error) {
    const bool input = direction == PortDirection::Input;
    auto ports = port.Client().Ports(input ? JackPortIsOutput : JackPortIsInput);
    PortPick pick = ChoosePort(ports, choice, direction, clientName_);
    if (pick.kind == PortPick::Kind::Error) {
      error = pick.error;
      return false;
    }
    if (pick.kind == PortPick::Kind::Virtual) return true;
    const std::string& other = ports[pick.index];
    return input ? port.Client().Connect(other, port.PortName(), error)
                 : port.Client().Connect(port.PortName(), other, error);
  }

  std::string clientName_;
  std::shared_ptr<ClientSlot> slot_;
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
