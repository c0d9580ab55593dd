// The timing cases end to end through a JACK dummy server: a player writes each event into A's
// input at a known frame, B's output is recorded with its frame, and a reference client in the
// same run plays the same events exactly the buffer later by JACK's own conversions
// (jack_frames_to_time at input, jack_time_to_frames at output). The dummy driver's frame clock
// wanders off real time; what it costs shows in the reference's spread, so Tandem's is judged
// beside it.
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <map>
#include <optional>

#include "JackHelpers.h"
#include "TwoPeers.h"
#include "midi/RtMidiSystem.h"
#include "relay/LossyRelay.h"

namespace tandem::bench {

// Events with their frames, written by one process callback and read once it has stopped
// writing: fixed room, so the callback never allocates.
struct FrameLog {
  static constexpr size_t kRoom = 8192;
  struct Entry {
    jack_nframes_t frame;
    std::array<uint8_t, 3> bytes;
  };
  std::array<Entry, kRoom> entries{};
  std::atomic<size_t> count{0};

  void Add(jack_nframes_t frame, const uint8_t* bytes, size_t size) {
    const size_t n = count.load(std::memory_order_relaxed);
    if (n == kRoom || size == 0 || size > 3) return;
    entries[n].frame = frame;
    entries[n].bytes = {0, 0, 0};
    std::copy_n(bytes, size, entries[n].bytes.begin());
    count.store(n + 1, std::memory_order_release);
  }
};

// The player (out: the performance at its frames; tandem, reference: what comes back) and the
// reference (in, out) are two clients, so the reference's output reaches the player in the same
// cycle like B's does.
class JackBench {
 public:
  ~JackBench() {
    if (player_) jack_client_close(player_);
    if (ref_) jack_client_close(ref_);
  }

  bool Open(int64_t referenceDelayUs) {
    delayUs_ = referenceDelayUs;
    player_ = jack_client_open("timing-player", JackNoStartServer, nullptr);
    ref_ = jack_client_open("timing-reference", JackNoStartServer, nullptr);
    if (!player_ || !ref_) return false;
    out_ = jack_port_register(player_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    tandemIn_ = jack_port_register(player_, "tandem", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    refDump_ = jack_port_register(player_, "reference", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    refIn_ = jack_port_register(ref_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    refOut_ = jack_port_register(ref_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(player_, &JackBench::PlayerProcess, this);
    jack_set_process_callback(ref_, &JackBench::RefProcess, this);
    return out_ && tandemIn_ && refDump_ && refIn_ && refOut_ && jack_activate(player_) == 0 &&
           jack_activate(ref_) == 0 && Connect("timing-player:out", "timing-reference:in") &&
           Connect("timing-reference:out", "timing-player:reference");
  }

  bool Connect(const std::string& from, const std::string& to) {
    return jack_connect(player_, from.c_str(), to.c_str()) == 0;
  }
  jack_nframes_t Now() { return jack_frame_time(player_); }
  jack_nframes_t Rate() { return jack_get_sample_rate(player_); }

  // The performance, in frame order; taken by the callback from `next` on.
  void Play(std::vector<FrameLog::Entry> events) {
    script_ = std::move(events);
    next_.store(0, std::memory_order_release);
    playing_.store(true, std::memory_order_release);
  }
  bool Played() const { return next_.load() >= script_.size(); }
  void Stop() { playing_.store(false); }

  FrameLog tandem, reference;

 private:
  static int PlayerProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackBench*>(arg);
    void* out = jack_port_get_buffer(self->out_, frames);
    jack_midi_clear_buffer(out);
    const jack_nframes_t start = jack_last_frame_time(self->player_);
    if (self->playing_.load(std::memory_order_acquire)) {
      size_t i = self->next_.load(std::memory_order_relaxed);
      for (; i < self->script_.size(); ++i) {
        const auto& e = self->script_[i];
        const auto at = static_cast<int32_t>(e.frame - start);
        if (at >= static_cast<int32_t>(frames)) break;
        jack_midi_event_write(out, at < 0 ? 0 : static_cast<jack_nframes_t>(at), e.bytes.data(), 3);
      }
      self->next_.store(i, std::memory_order_release);
    }
    self->Record(self->tandemIn_, frames, start, self->tandem);
    self->Record(self->refDump_, frames, start, self->reference);
    return 0;
  }

  void Record(jack_port_t* port, jack_nframes_t frames, jack_nframes_t start, FrameLog& log) {
    void* in = jack_port_get_buffer(port, frames);
    for (uint32_t i = 0; i < jack_midi_get_event_count(in); ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) == 0)
        log.Add(start + event.time, event.buffer, event.size);
    }
  }

  // The reference: each event exactly the buffer later, by JACK's clock.
  static int RefProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackBench*>(arg);
    void* in = jack_port_get_buffer(self->refIn_, frames);
    void* out = jack_port_get_buffer(self->refOut_, frames);
    jack_midi_clear_buffer(out);
    const jack_nframes_t start = jack_last_frame_time(self->ref_);
    for (uint32_t i = 0; i < jack_midi_get_event_count(in); ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) != 0 || event.size > 3) continue;
      const jack_time_t due = jack_frames_to_time(self->ref_, start + event.time) +
                              static_cast<jack_time_t>(self->delayUs_);
      Pending& p = self->pending_[self->pendingTail_ % self->pending_.size()];
      p.frame = jack_time_to_frames(self->ref_, due);
      p.size = event.size;
      std::copy_n(event.buffer, event.size, p.bytes.begin());
      ++self->pendingTail_;
    }
    while (self->pendingHead_ != self->pendingTail_) {
      const Pending& p = self->pending_[self->pendingHead_ % self->pending_.size()];
      const auto at = static_cast<int32_t>(p.frame - start);
      if (at >= static_cast<int32_t>(frames)) break;
      jack_midi_event_write(out, at < 0 ? 0 : static_cast<jack_nframes_t>(at), p.bytes.data(),
                            p.size);
      ++self->pendingHead_;
    }
    return 0;
  }

  struct Pending {
    jack_nframes_t frame = 0;
    size_t size = 0;
    std::array<uint8_t, 3> bytes{};
  };

  jack_client_t* player_ = nullptr;
  jack_client_t* ref_ = nullptr;
  jack_port_t *out_ = nullptr, *tandemIn_ = nullptr, *refDump_ = nullptr;
  jack_port_t *refIn_ = nullptr, *refOut_ = nullptr;
  int64_t delayUs_ = 0;
  std::vector<FrameLog::Entry> script_;
  std::atomic<size_t> next_{0};
  std::atomic<bool> playing_{false};
  std::array<Pending, 1024> pending_{};
  size_t pendingHead_ = 0, pendingTail_ = 0;
};

// p1 p10 p50 p90 p99 and the central spread p90 - p10, in ms.
inline std::string CentralFigures(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  char line[128];
  std::snprintf(line, sizeof line, "%6.2f %6.2f %6.2f %6.2f %6.2f  %5.2f", Percentile(v, 0.01),
                Percentile(v, 0.10), Percentile(v, 0.50), Percentile(v, 0.90), Percentile(v, 0.99),
                Percentile(v, 0.90) - Percentile(v, 0.10));
  return line;
}

// Latencies in ms of the logged events, each matched to the scripted event with its bytes (all
// differ), leaving out the first `skip` of the script. `missing` counts what never came.
inline std::vector<double> Latencies(const FrameLog& log,
                                     const std::vector<FrameLog::Entry>& script, size_t skip,
                                     double rate, size_t& missing) {
  std::map<std::array<uint8_t, 3>, size_t> index;
  for (size_t i = skip; i < script.size(); ++i) index[script[i].bytes] = i;
  std::vector<double> ms;
  const size_t n = std::min(log.count.load(), FrameLog::kRoom);
  for (size_t i = 0; i < n; ++i) {
    auto it = index.find(log.entries[i].bytes);
    if (it == index.end()) continue;
    ms.push_back(static_cast<int32_t>(log.entries[i].frame - script[it->second].frame) * 1000.0 /
                 rate);
    index.erase(it);
  }
  missing = index.size();
  return ms;
}

}  // namespace tandem::bench
