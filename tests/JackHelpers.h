// A private JACK server on the dummy driver (no sound card needed) and a small JACK MIDI client
// that plays and records, for the tests of the MIDI layer and of two peers end to end.
#pragma once

#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tandem::test {

// Frames per cycle: sanitized clients are several times slower, and a client that does not finish
// its cycle in time loses the events of that cycle.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr char kPeriod[] = "2048";
#else
constexpr char kPeriod[] = "256";
#endif

// A new client is slow in its first cycles and may lose what arrives then. Sends a marker until
// every receiver has it; as JACK keeps each connection in order, whatever was sent before it has
// then arrived or is lost for good. `send` gets the marker's number (0..127).
template <typename Send, typename Seen>
bool SyncMarker(Send send, Seen seenByAll) {
  for (int i = 0; i < 100; ++i) {
    send(static_cast<uint8_t>(i));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < deadline) {
      if (seenByAll(static_cast<uint8_t>(i))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return false;
}

inline std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// jackd -n NAME -d dummy, reached by every client of this process and its children through
// JACK_DEFAULT_SERVER. Stopped by its PID.
class PrivateJackServer {
 public:
  PrivateJackServer() = default;
  PrivateJackServer(const PrivateJackServer&) = delete;
  PrivateJackServer& operator=(const PrivateJackServer&) = delete;
  ~PrivateJackServer() { Stop(); }

  // False, with the reason, when jackd is missing or does not answer in time.
  // Real-time (`realtime`) as a server on a sound card runs; else never ahead of the test's
  // own threads.
  bool Start(std::string& why, bool synchronous = false, const char* period = kPeriod,
             bool realtime = false) {
    std::string jackd = FindProgram("jackd");
    std::string lsp = FindProgram("jack_lsp");
    if (jackd.empty() || lsp.empty()) {
      why = "jackd or jack_lsp is not installed";
      return false;
    }
    static int serial = 0;
    name_ = "tandem-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    // Built before fork: the child of a threaded process must not allocate.
    std::vector<const char*> args = {"jackd", "-n", name_.c_str()};
    if (realtime) {
      for (const char* a : {"-R", "-P", "70"}) args.push_back(a);
    } else {
      args.push_back("-r");
    }
    if (synchronous) args.push_back("-S");
    for (const char* a : {"-t", "5000", "-d", "dummy", "-r", "48000", "-p", period})
      args.push_back(a);
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      // The server ends with the test process, even when that one crashes or is killed.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      // Unless asked, not real-time (the first -r), so the server's threads never starve the
      // test's own.
      // Synchronous (-S): each cycle waits for every client (up to the 5 s timeout), so a client
      // delayed by a loaded machine makes the cycle late instead of losing that cycle's events.
      execv(jackd.c_str(), const_cast<char* const*>(args.data()));
      _exit(127);
    }
    if (pid_ < 0) {
      why = "cannot fork jackd";
      return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    std::string probe = lsp + " >/dev/null 2>&1";
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::system(probe.c_str()) == 0) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        why = "jackd exited at start";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = "jackd did not answer within 15 s";
    Stop();
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }

  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  pid_t pid_ = -1;
};

// Another client's thread filled the port buffer, handed over by libjack's own synchronisation,
// which ThreadSanitizer does not see: its suppressions name this function.
[[gnu::noinline]] inline std::vector<uint8_t> CopyFromJackBuffer(const jack_midi_event_t& event) {
  return std::vector<uint8_t>(event.buffer, event.buffer + event.size);
}

// A JACK client with one MIDI output (plays what Send queues, in order, or what Play gives at its
// frame) and one MIDI input (records every event with its frame).
class JackMidiProbe {
 public:
  using Bytes = std::vector<uint8_t>;
  struct Event {
    jack_nframes_t frame;
    Bytes bytes;
  };

  JackMidiProbe() = default;
  JackMidiProbe(const JackMidiProbe&) = delete;
  JackMidiProbe& operator=(const JackMidiProbe&) = delete;
  ~JackMidiProbe() {
    if (client_) jack_client_close(client_);
  }

  bool Open(const std::string& name) {
    client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (!client_) return false;
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &JackMidiProbe::Process, this);
    return out_ && in_ && jack_activate(client_) == 0;
  }

  std::string OutName() const { return jack_port_name(out_); }
  std::string InName() const { return jack_port_name(in_); }

  bool Connect(const std::string& source, const std::string& destination) {
    return jack_connect(client_, source.c_str(), destination.c_str()) == 0;
  }

  // Every MIDI port name of the server matching the pattern.
  std::vector<std::string> MidiPorts(const std::string& pattern = "") {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(client_, pattern.empty() ? nullptr : pattern.c_str(),
                                        JACK_DEFAULT_MIDI_TYPE, 0);
    for (const char** p = ports; p && *p; ++p) names.emplace_back(*p);
    if (ports) jack_free(ports);
    return names;
  }

  jack_nframes_t Now() { return jack_frame_time(client_); }

  void Send(Bytes message) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(message));
  }
  // Each at its frame; one already past at the start of the next period.
  void Play(std::vector<Event> events) {
    std::lock_guard lock(mutex_);
    for (auto& e : events) timed_.push_back(std::move(e));
  }
  bool AllSent() {
    std::lock_guard lock(mutex_);
    return pending_.empty();
  }
  std::vector<Bytes> Received() {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> bytes;
    for (const Event& e : received_) bytes.push_back(e.bytes);
    return bytes;
  }
  std::vector<Event> ReceivedAt() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
  }

 private:
  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackMidiProbe*>(arg);
    void* out = jack_port_get_buffer(self->out_, frames);
    void* in = jack_port_get_buffer(self->in_, frames);
    jack_midi_clear_buffer(out);
    const jack_nframes_t start = jack_last_frame_time(self->client_);
    std::lock_guard lock(self->mutex_);
    while (!self->timed_.empty()) {
      const Event& e = self->timed_.front();
      const auto at = static_cast<int32_t>(e.frame - start);
      if (at >= static_cast<int32_t>(frames)) break;
      jack_midi_event_write(out, at < 0 ? 0 : at, e.bytes.data(), e.bytes.size());
      self->timed_.pop_front();
    }
    // A few events per cycle, spread over it, as a player would send them.
    for (jack_nframes_t t = 0; t < 4 && !self->pending_.empty(); ++t) {
      const Bytes& m = self->pending_.front();
      if (jack_midi_event_write(out, t * (frames / 4), m.data(), m.size()) != 0) break;
      self->pending_.pop_front();
    }
    jack_nframes_t count = jack_midi_get_event_count(in);
    for (jack_nframes_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) == 0) {
        self->received_.push_back({start + event.time, CopyFromJackBuffer(event)});
      }
    }
    return 0;
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  jack_port_t* in_ = nullptr;
  std::mutex mutex_;
  std::deque<Bytes> pending_;
  std::deque<Event> timed_;
  std::vector<Event> received_;
};

}  // namespace tandem::test
