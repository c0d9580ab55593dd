#include "relay/StuckNotes.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <iomanip>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/Application.h"
#include "midi/MemoryMidi.h"

namespace tandem::stuck {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kLowKey = 36;
constexpr int kHighKey = 96;
constexpr int64_t kRestrikeGapMs = 30;  // a released key is struck again no sooner than this

int64_t SteadyMs(SteadyClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

int64_t Between(relay::SeededRandom& random, int64_t low, int64_t high) {
  return low + static_cast<int64_t>(random.Unit() * static_cast<double>(high - low + 1));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  while (!condition()) {
    if (SteadyClock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

std::vector<NoteEvent> MakePerformance(const PerformanceOptions& options) {
  relay::SeededRandom random(options.seed);
  // Singles two times in three, otherwise chords of 2 to 4: 1.67 notes per onset on average.
  const double notesPerOnset = 2.0 / 3.0 + (1.0 / 3.0) * 3.0;
  const double meanGapMs = 1000.0 * notesPerOnset / std::max(0.1, options.notesPerSecond);
  std::array<int64_t, 128> freeAt{};
  std::vector<NoteEvent> events;
  events.reserve(options.notes * 2);
  size_t made = 0;
  int64_t t = 0;
  while (made < options.notes) {
    size_t size = random.Unit() < 2.0 / 3.0 ? 1 : static_cast<size_t>(Between(random, 2, 4));
    size = std::min(size, options.notes - made);
    const double kind = random.Unit();
    int64_t duration = kind < 0.6   ? Between(random, 60, 350)      // short
                       : kind < 0.9 ? Between(random, 350, 1200)    // held
                                    : Between(random, 1500, 5000);  // sustained
    for (size_t i = 0; i < size; ++i) {
      int key = -1;
      for (int attempt = 0; attempt < 32 && key < 0; ++attempt) {
        int candidate = static_cast<int>(Between(random, kLowKey, kHighKey));
        if (freeAt[candidate] <= t) key = candidate;
      }
      if (key < 0) continue;  // every key tried is held: a smaller chord
      // The notes of a chord are not released all at once.
      const int64_t off = t + duration + Between(random, 0, 40);
      const auto velocity = static_cast<uint8_t>(Between(random, 30, 120));
      events.push_back({t, 0x90, static_cast<uint8_t>(key), velocity});
      events.push_back({off, 0x80, static_cast<uint8_t>(key), 64});
      freeAt[key] = off + kRestrikeGapMs;
      ++made;
    }
    t += std::max<int64_t>(10, static_cast<int64_t>(meanGapMs * (0.3 + 1.4 * random.Unit())));
  }
  // In time order; at the same moment releases go first, as a player's hands would.
  std::stable_sort(events.begin(), events.end(), [](const NoteEvent& a, const NoteEvent& b) {
    if (a.atMs != b.atMs) return a.atMs < b.atMs;
    return a.status < b.status;
  });
  return events;
}

Outcome Compare(const std::vector<NoteEvent>& sent, const std::vector<NoteEvent>& sounded,
                int64_t matchSlackMs) {
  struct Span {
    int64_t on;
    int64_t off;  // -1 while sounding
  };
  std::array<std::vector<Span>, 128> aNotes, bNotes;
  auto isOn = [](const NoteEvent& e) { return (e.status & 0xF0) == 0x90 && e.velocity > 0; };
  auto isOff = [](const NoteEvent& e) {
    return (e.status & 0xF0) == 0x80 || ((e.status & 0xF0) == 0x90 && e.velocity == 0);
  };
  // Replays a stream of note messages as a synthesizer hears them: a note-on on a sounding key
  // strikes it again, a note-off on a silent key does nothing.
  auto replay = [&](const std::vector<NoteEvent>& events,
                    std::array<std::vector<Span>, 128>& notes) {
    for (const NoteEvent& e : events) {
      if (e.note > 127) continue;
      auto& spans = notes[e.note];
      const bool sounding = !spans.empty() && spans.back().off < 0;
      if (isOn(e)) {
        if (sounding) spans.back().off = e.atMs;
        spans.push_back({e.atMs, -1});
      } else if (isOff(e) && sounding) {
        spans.back().off = e.atMs;
      }
    }
  };
  replay(sent, aNotes);
  replay(sounded, bNotes);

  Outcome out;
  for (int key = 0; key < 128; ++key) {
    const auto& a = aNotes[key];
    const auto& b = bNotes[key];
    out.notes += a.size();
    out.played += b.size();
    for (const Span& s : b) out.stuck += s.off < 0;
    size_t j = 0;
    for (const Span& note : a) {
      // B sounds a note after A played it; anything B started earlier answers no later note.
      while (j < b.size() && b[j].on < note.on) {
        ++out.extra;
        ++j;
      }
      const int64_t end = note.off < 0 ? INT64_MAX - matchSlackMs : note.off;
      if (j < b.size() && b[j].on <= end + matchSlackMs) {
        if (b[j].off >= 0 && note.off >= 0) {
          out.worstReleaseMs = std::max(out.worstReleaseMs, b[j].off - note.off);
        }
        ++j;
      } else {
        ++out.missed;
      }
    }
    out.extra += b.size() - j;
  }
  return out;
}

Outcome RunCase(const CaseOptions& options) {
  const std::vector<NoteEvent> performance = MakePerformance(options.performance);

  auto midiA = std::make_shared<MemoryMidiSystem>();
  auto midiB = std::make_shared<MemoryMidiSystem>();
  AppConfig configA, configB;
  configA.midi = midiA;
  configA.midiOut = PortChoice::Parse("memory-out");
  configA.seed = 11;
  configB.midi = midiB;
  configB.midiOut = PortChoice::Parse("memory-out");
  configB.seed = 12;
  Application a(configA);
  Application b(configB);

  relay::LossyRelay relay(options.link, options.ipv6);
  relay::PeerPorts ports =
      relay::JoinPeers(relay, {relay::FindFreePortPair(), relay::FindFreePortPair(), 0, 0});
  relay.Start();

  auto setUp = [&options](Application& app, uint16_t listen, uint16_t sendTo, Retransmission mode) {
    TFormCtl& form = app.Form();
    form.EditDestIp.SetText(options.ipv6 ? "::1" : "127.0.0.1");
    form.EditPortLocal.SetText(std::to_string(listen));
    form.EditPortDistant.SetText(std::to_string(sendTo));
    form.SetRetransmission(mode);
    form.SetProtocol(options.protocol);
    form.ButtonStartRTPClick();
  };
  setUp(b, ports.bPort, ports.relayB, options.mode);
  setUp(a, ports.aPort, ports.relayA, options.mode);
  for (Application* app : {&a, &b}) {
    bool ready = WaitUntil(
        [app] {
          std::string status = app->Form().EditStatutConnect.Text();
          // RTP-MIDI goes on to invite or to listen at once.
          return status == "RTP Initialisé" || status == "envoi correct" ||
                 status.rfind("inviting", 0) == 0 || status.rfind("connected", 0) == 0 ||
                 !app->RtpAlive();
        },
        std::chrono::seconds(10));
    if (!ready || !app->RtpAlive()) {
      throw std::runtime_error("RTP set-up failed: " + app->Form().EditStatutConnect.Text());
    }
  }
  // An RTP-MIDI session carries nothing before both sides agreed on it.
  if (options.protocol == ProtocolRtpMidi) {
    for (Application* app : {&a, &b}) {
      if (!WaitUntil(
              [app] { return app->Form().EditStatutConnect.Text().rfind("connected", 0) == 0; },
              std::chrono::seconds(15))) {
        throw std::runtime_error("no RTP-MIDI session: " + app->Form().EditStatutConnect.Text());
      }
    }
  }

  a.Form().ButtonReadMidiClick();
  // A controller that means nothing, sent until the capture has its input open.
  const std::vector<uint8_t> probe = {0xB0, 3, 0};
  if (!WaitUntil([&] { return midiA->Play(probe); }, std::chrono::seconds(10))) {
    throw std::runtime_error("A's MIDI capture did not open its input: " +
                             a.Form().EditMidiStatus.Text());
  }

  // Played in real time; what counts is when each message really went in.
  std::vector<NoteEvent> played;
  played.reserve(performance.size());
  const auto start = SteadyClock::now() + std::chrono::milliseconds(100);
  for (const NoteEvent& e : performance) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(e.atMs));
    NoteEvent actual = e;
    actual.atMs = SteadyMs(SteadyClock::now());
    if (!midiA->Play({e.status, e.note, e.velocity})) {
      throw std::runtime_error("A's MIDI input closed during the performance");
    }
    played.push_back(actual);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(options.quietMs));

  std::vector<NoteEvent> sounded;
  for (const RecordedMessage& m : midiB->Output()->Messages()) {
    if (m.bytes.size() != 3) continue;
    const uint8_t type = m.bytes[0] & 0xF0;
    if (type != 0x80 && type != 0x90) continue;
    sounded.push_back({SteadyMs(m.when), type, m.bytes[1], m.bytes[2]});
  }
  Outcome outcome = Compare(played, sounded);
  for (const auto& key : a.Form().KeysSent) outcome.aHolds += key.load() != 0;
  // RTP-MIDI's data goes to the port after the control port.
  outcome.datagramsLost = relay.Counters(options.protocol == ProtocolRtpMidi ? 1 : 0).dropped;
  const rtp::LinkFigures link = a.Form().Link();
  outcome.journalMedianBytes = link.journalMedianBytes;
  outcome.journalLargestBytes = link.journalLargestBytes;

  a.Shutdown();
  b.Shutdown();
  relay.Stop();
  return outcome;
}

const char* ModeName(Retransmission mode) {
  switch (mode) {
    case RetransNone:
      return "None";
    case RetransInMsg:
      return "In Normal Msg";
    case RetransConstant:
      return "Constant Rate";
    case RetransVariable:
      return "Variable Rate";
  }
  return "?";
}

std::vector<TableRow> RunTable(const TableOptions& options) {
  struct Link {
    const char* name;
    double loss, duplicate, reorder;
  };
  const Link links[] = {{"0 %", 0.0, 0.0, 0.0},
                        {"5 %", 0.05, 0.0, 0.0},
                        {"20 %", 0.2, 0.0, 0.0},
                        {"20 % + 10 % reordered + 5 % doubled", 0.2, 0.05, 0.1}};
  const Retransmission modes[] = {RetransNone, RetransInMsg, RetransConstant, RetransVariable};

  std::vector<TableRow> rows;
  std::vector<CaseOptions> cases;
  for (const Link& link : links) {
    for (Retransmission mode : modes) {
      // The journal repairs RTP-MIDI sessions whatever the choice.
      if (options.protocol == ProtocolRtpMidi && mode != RetransNone) continue;
      TableRow row;
      row.link = link.name;
      row.mode = mode;
      row.protocol = options.protocol;
      rows.push_back(row);
      CaseOptions c;
      c.mode = mode;
      c.protocol = options.protocol;
      c.performance = options.performance;
      c.quietMs = options.quietMs;
      c.link.loss = link.loss;
      c.link.duplicate = link.duplicate;
      c.link.reorder = link.reorder;
      c.link.delayMs = options.delayMs;
      c.link.jitterMs = options.jitterMs;
      c.link.seed = options.relaySeed + cases.size();
      c.ipv6 = options.ipv6;
      cases.push_back(c);
    }
  }

  std::atomic<size_t> next{0};
  std::mutex errorMutex;
  std::string error;
  auto worker = [&] {
    for (size_t i = next++; i < cases.size(); i = next++) {
      try {
        rows[i].outcome = RunCase(cases[i]);
      } catch (const std::exception& e) {
        std::lock_guard lock(errorMutex);
        if (error.empty()) error = e.what();
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < std::max(1, options.parallel); ++i) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  if (!error.empty()) throw std::runtime_error(error);
  return rows;
}

std::string FormatTable(const std::vector<TableRow>& rows) {
  std::ostringstream out;
  const bool journal =
      std::any_of(rows.begin(), rows.end(), [](auto& r) { return r.protocol == ProtocolRtpMidi; });
  out << "| link (each way) | retransmission | notes | lost datagrams A->B | played at B | stuck"
         " | missed | extra | worst late release (ms) |"
      << (journal ? " journal per packet, median / largest (bytes) |\n" : "\n");
  out << "|---|---|---:|---:|---:|---:|---:|---:|---:|" << (journal ? "---:|\n" : "\n");
  for (const TableRow& row : rows) {
    const Outcome& o = row.outcome;
    out << "| " << row.link << " | "
        << (row.protocol == ProtocolRtpMidi ? "RTP-MIDI journal" : ModeName(row.mode)) << " | "
        << o.notes << " | " << o.datagramsLost << " | " << o.played << " | " << o.stuck << " | "
        << o.missed << " | " << o.extra << " | " << o.worstReleaseMs << " |";
    if (journal) out << " " << o.journalMedianBytes << " / " << o.journalLargestBytes << " |";
    out << "\n";
  }
  return out.str();
}

}  // namespace tandem::stuck
