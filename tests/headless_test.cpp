// The headless program end to end: real processes on loopback ports, read through pipes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPorts.h"
#include "MidiReadBack.h"
#include "ScratchDir.h"
#include "TestTiming.h"
#include "WavFile.h"
#include "net/UdpSocket.h"
#include "rtp/RtpPacket.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One `tandem` process with its standard input, output and error on pipes.
class Peer {
 public:
  // `program` runs with `args`: tandem by default, another program (the RTP-MIDI partner) else.
  explicit Peer(std::vector<std::string> args, const std::string& program = TANDEM_BINARY) {
    args.insert(args.begin(), program);
    int in[2], out[2], err[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
  }

  ~Peer() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {stdin_, stdout_, stderr_})
      if (fd >= 0) close(fd);
  }

  void Write(const std::string& text) {
    ASSERT_EQ(write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    close(stdin_);
    stdin_ = -1;
  }
  void Signal(int sig) { kill(pid_, sig); }

  // Waits for an output line that `match` accepts; lines read meanwhile are kept.
  std::optional<std::string> WaitLine(const std::function<bool(const std::string&)>& match,
                                      std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
      while (next_ < lines_.size()) {
        const std::string& line = lines_[next_++];
        if (match(line)) return line;
      }
      if (Clock::now() >= deadline || !ReadSome(deadline)) return std::nullopt;
    }
  }
  std::optional<std::string> WaitLine(const std::string& exact, std::chrono::milliseconds timeout) {
    return WaitLine([&](const std::string& l) { return l == exact; }, timeout);
  }
  // True once the session is up and its ports bound: a partner may send from then on.
  bool Listening() {
    return WaitLine("RTP Status: RTP Initialisé", tandem::test::Scaled(std::chrono::seconds(10)))
        .has_value();
  }

  // The exit status, or nothing when the process has not ended within `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        while (ReadSome(Clock::now() + 100ms)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

  std::string Output() const {
    std::string all;
    for (auto& l : lines_) all += l + "\n";
    return all + partial_;
  }
  std::string Errors() {
    std::string text;
    char buf[4096];
    fcntl(stderr_, F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = read(stderr_, buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    return text;
  }

 private:
  bool ReadSome(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{stdout_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) return false;
    char buf[4096];
    ssize_t n = read(stdout_, buf, sizeof buf);
    if (n <= 0) return false;
    partial_.append(buf, static_cast<size_t>(n));
    for (size_t eol; (eol = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, eol));
      partial_.erase(0, eol + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::vector<std::string> lines_;
  size_t next_ = 0;
  std::string partial_;
};

using tandem::ParseIpAddress;
using tandem::UdpSocket;
using tandem::test::FreePortPair;

// Stands between the peers, as a router would: forwards every datagram from A to `to`, counting
// A's by payload type, and B's back to A. Both peers send to it, so each hears its partner from
// the port it sends to and replies keep going through it.
class Tap {
 public:
  Tap() {
    port_ = FreePortPair(&fd_, &controlFd_);
    EXPECT_NE(port_, 0);
  }
  ~Tap() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
    close(controlFd_);
  }
  uint16_t Port() const { return port_; }
  void ForwardTo(uint16_t to) {
    thread_ = std::thread([this, to] {
      sockaddr_in dest{};
      dest.sin_family = AF_INET;
      dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      uint8_t buf[2048];
      sockaddr_in origin[2]{};  // where A's datagrams came from, for B's replies
      while (!stop_) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {controlFd_, POLLIN, 0}};
        if (poll(p, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
          if (!(p[i].revents & POLLIN)) continue;
          sockaddr_in from{};
          socklen_t length = sizeof from;
          ssize_t n =
              recvfrom(p[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length);
          if (n <= 0) continue;
          // Like a router, B's replies to the port it heard A from go back to A.
          if (ntohs(from.sin_port) == to + i) {
            if (origin[i].sin_port != 0) {
              sendto(p[i].fd, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&origin[i]),
                     sizeof origin[i]);
            }
            continue;
          }
          origin[i] = from;
          if (i == 0 && n >= 12) {
            std::lock_guard lock(mutex_);
            ++byType_[buf[1] & 0x7F];
            if (captured_.size() < 1000) captured_.emplace_back(buf, buf + n);
          }
          dest.sin_port = htons(static_cast<uint16_t>(to + i));
          sendto(p[i].fd, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
        }
      }
    });
  }
  int Count(int type) {
    std::lock_guard lock(mutex_);
    return byType_[type];
  }
  std::vector<std::vector<uint8_t>> All() {
    std::lock_guard lock(mutex_);
    return captured_;
  }
  // The first data datagram of a payload type that went through, as it was on the wire.
  std::vector<uint8_t> Captured(int type) {
    std::lock_guard lock(mutex_);
    for (auto& d : captured_)
      if ((d[1] & 0x7F) == type) return d;
    return {};
  }

 private:
  int fd_ = -1, controlFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::map<int, int> byType_;
  std::vector<std::vector<uint8_t>> captured_;
};

// Sends datagrams from a socket bound on fromIp (host byte order), as another machine would.
class Sender {
 public:
  explicit Sender(uint32_t fromIp) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(fromIp);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~Sender() { close(fd_); }
  void Send(uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    EXPECT_EQ(
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(bytes.size()));
  }
  // Well-formed packets of every kind a partner sends, and a report: a note of velocity 99, a
  // chat line "intruder", a 65535 ms buffer. Returns how many datagrams left.
  int SendEveryKind(uint16_t port) {
    const uint32_t ssrc = 0x5EC0DE;
    std::vector<uint8_t> keys(36, 0xFF);
    keys[0] = 144, keys[1] = 100, keys[2] = 99, keys[3] = 0;
    std::vector<uint8_t> chat(100, 0);
    std::memcpy(chat.data(), "intruder", 8);
    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> packets = {
        {77, {144, 100, 99, 0}}, {88, keys}, {83, keys}, {67, chat}, {66, {0xFF, 0xFF}}};
    for (const auto& [type, payload] : packets) {
      std::vector<uint8_t> bytes;
      tandem::rtp::BuildRtp({false, type, static_cast<uint16_t>(sequence_++), 1000, ssrc}, payload,
                            bytes);
      Send(port, bytes);
    }
    Send(static_cast<uint16_t>(port + 1), {0x80, 201, 0, 1, 0, 0x5E, 0xC0, 0xDE});  // an RR
    return static_cast<int>(packets.size()) + 1;
  }

 private:
  int fd_ = -1;
  int sequence_ = 1;
};

std::optional<int> NumberAfter(const std::string& line, const std::string& prefix) {
  if (line.rfind(prefix, 0) != 0) return std::nullopt;
  try {
    return std::stoi(line.substr(prefix.size()));
  } catch (...) {
    return std::nullopt;
  }
}

TEST(Headless, TwoPeersCarryNotesAndChatAndStopCleanly) {
  uint16_t portA = FreePortPair();
  uint16_t portB = FreePortPair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  Tap tap;  // A -> tap -> B, so the test can count what A sends by kind
  tap.ForwardTo(portB);
  tandem::test::ScratchDir dir("tandem-headless");
  const std::string recordA = (dir.Path() / "a.mid").string();
  const std::string recordB = (dir.Path() / "b.mid").string();
  auto common = std::vector<std::string>{"--headless", "--midi-api", "none", "--dest", "127.0.0.1"};
  auto argsA = common, argsB = common;
  argsA.insert(argsA.end(),
               {"--listen-port", std::to_string(portA), "--send-port", std::to_string(tap.Port()),
                "--gen", "1", "--gen-interval", "20", "--seed", "7", "--record", recordA});
  argsB.insert(argsB.end(), {"--listen-port", std::to_string(portB), "--send-port",
                             std::to_string(tap.Port()), "--record", recordB});
  // A plays as soon as it is up, so B must be listening first.
  Peer b(argsB);
  ASSERT_TRUE(b.Listening()) << b.Output() << b.Errors();
  Peer a(argsA);
  ASSERT_TRUE(a.Listening()) << a.Output() << a.Errors();

  // The generator's 100 notes, one packet each, and about two buffer packets a second.
  auto deadline = Clock::now() + 30s;
  while (tap.Count(77) < 100 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(tap.Count(77), 100);
  int buffers = tap.Count(66);
  EXPECT_GE(buffers, 1);
  auto received = b.WaitLine(
      [&](const std::string& l) {
        auto n = NumberAfter(l, "# Received: ");
        return n && *n >= 100 + buffers;
      },
      15s);
  EXPECT_TRUE(received) << b.Output();

  a.Write("hello\n");
  EXPECT_TRUE(a.WaitLine("I : hello", 5s)) << a.Output();
  EXPECT_TRUE(b.WaitLine("you : hello", 10s)) << b.Output();
  EXPECT_GE(tap.Count(67), 1);
  // End of input stops chat, not the program.
  a.CloseInput();
  b.Write("back\n");
  EXPECT_TRUE(a.WaitLine("you : back", 10s)) << a.Output();

  a.Signal(SIGINT);
  b.Signal(SIGTERM);
  EXPECT_EQ(a.Wait(10s), 0) << a.Errors();
  EXPECT_EQ(b.Wait(10s), 0) << b.Errors();

  // Both recorded the session: A's track holds the generator's 100 notes, B's partner track
  // what B sounded of them, on its "Receive Canal" 1: each key once, since a key already
  // sounding is not struck again (the generator sends no note-offs). A key may sound a little
  // before its turn when a later note's key snapshot brings it.
  auto read = tandem::test::ReadWithMido({recordA, recordB}, false);
  ASSERT_EQ(read[0].error, "");
  ASSERT_EQ(read[1].error, "");
  ASSERT_EQ(read[0].tracks, 2);
  ASSERT_EQ(read[1].tracks, 2);
  const auto& played = read[0].messages[0];
  ASSERT_EQ(played.size(), 100u);
  std::set<int> keys;
  for (const auto& m : played) {
    EXPECT_EQ(m.status, 0x90);
    EXPECT_EQ(m.data2, 80);
    keys.insert(m.data1);
  }
  // The generator waits 20 ms between notes, so its notes span at least 99 times that.
  EXPECT_GE(played.back().ms - played.front().ms, 99 * 20);
  const auto& heard = read[1].messages[1];
  std::multiset<int> heardKeys;
  for (size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].status, 0x90) << i;
    EXPECT_EQ(heard[i].data2, 80) << i;
    heardKeys.insert(heard[i].data1);
    if (i > 0) {
      EXPECT_GE(heard[i].ms, heard[i - 1].ms);
    }
  }
  EXPECT_EQ(heardKeys, std::multiset<int>(keys.begin(), keys.end()));
  EXPECT_TRUE(read[0].messages[1].empty());
  EXPECT_TRUE(read[1].messages[0].empty());
}

TEST(Headless, AKilledRecordingStaysReadableAndAnUnwritableOneIsSaid) {
  tandem::test::ScratchDir dir("tandem-headless");
  const std::string file = (dir.Path() / "killed.mid").string();
  Peer killed({"--headless", "--midi-api", "none", "--no-rtp", "--gen", "1", "--gen-interval", "10",
               "--record", file});
  Peer unwritable({"--headless", "--midi-api", "none", "--listen-port",
                   std::to_string(FreePortPair()), "--record", "/nonexistent-folder/x.mid"});
  // Killed while it writes, at no moment of its choosing, the file holds what was written.
  int written = 0;
  EXPECT_TRUE(tandem::test::WaitFor([&] {
    auto r = tandem::test::ReadWithMido({file}, true);
    written = r[0].counts.size() == 2 ? r[0].counts[0] : 0;
    return written >= 20;
  })) << killed.Output();
  killed.Signal(SIGKILL);
  EXPECT_EQ(killed.Wait(10s), 128 + SIGKILL);
  auto read = tandem::test::ReadWithMido({file}, false);
  ASSERT_EQ(read[0].error, "");
  EXPECT_EQ(read[0].tracks, 2);
  EXPECT_GE(read[0].counts[0], written);

  EXPECT_TRUE(unwritable.WaitLine("RTP Status: RTP Initialisé", 10s)) << unwritable.Output();
  unwritable.Signal(SIGTERM);
  EXPECT_EQ(unwritable.Wait(10s), 0);
  EXPECT_NE(unwritable.Errors().find("Cannot record: cannot write /nonexistent-folder/x.mid"),
            std::string::npos);
}

TEST(Headless, TwoPeersOnIpv6LoopbackCarryNotesChatSnapshotsAndLinkFigures) {
  {
    UdpSocket probe;
    if (probe.BindDualStack(0) != 0 || probe.Family() != AF_INET6 ||
        probe.SendTo(std::vector<uint8_t>{0}, *ParseIpAddress("::1"), probe.LocalPort()) != 0) {
      GTEST_SKIP() << "no IPv6 loopback here";
    }
  }
  uint16_t portA = FreePortPair();
  uint16_t portB = FreePortPair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  auto common = std::vector<std::string>{"--headless", "--midi-api", "none", "--dest", "::1"};
  auto argsA = common, argsB = common;
  argsA.insert(argsA.end(), {"--listen-port", std::to_string(portA), "--send-port",
                             std::to_string(portB), "--gen", "1", "--gen-interval", "20", "--seed",
                             "7", "--retransmission", "constant", "--base", "50"});
  argsB.insert(argsB.end(),
               {"--listen-port", std::to_string(portB), "--send-port", std::to_string(portA)});
  // A plays as soon as it is up, so B must be listening first.
  Peer b(argsB);
  ASSERT_TRUE(b.Listening()) << b.Output() << b.Errors();
  Peer a(argsA);
  ASSERT_TRUE(a.Listening()) << a.Output() << a.Errors();

  // The generator's 100 notes and their key snapshots.
  auto received = b.WaitLine(
      [&](const std::string& l) {
        auto n = NumberAfter(l, "# Received: ");
        return n && *n >= 100;
      },
      30s);
  EXPECT_TRUE(received) << b.Output();
  EXPECT_TRUE(b.WaitLine("Reception: Reception info de retransmission", 10s)) << b.Output();

  a.Write("hello\n");
  EXPECT_TRUE(b.WaitLine("you : hello", 10s)) << b.Output();
  b.Write("back\n");
  EXPECT_TRUE(a.WaitLine("you : back", 10s)) << a.Output();
  // Each side's reports reach the other: the link line replaces "---".
  EXPECT_TRUE(a.WaitLine([](const std::string& l) { return l.rfind("Link: RTT ", 0) == 0; }, 20s))
      << a.Output();

  a.Signal(SIGINT);
  b.Signal(SIGTERM);
  EXPECT_EQ(a.Wait(10s), 0) << a.Errors();
  EXPECT_EQ(b.Wait(10s), 0) << b.Errors();
}

off_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

TEST(Headless, WithoutAMidiSystemTheSynthesizerSoundsWhatArrives) {
  uint16_t portA = FreePortPair();
  uint16_t portB = FreePortPair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  std::string wav = "/tmp/tandem-headless-" + std::to_string(getpid()) + ".wav";
  Peer b({"--headless", "--verbose", "--midi-api", "none", "--listen-port", std::to_string(portB),
          "--send-port", std::to_string(portA), "--render", wav});
  // A's whole performance lasts two seconds from its start: B must be listening by then.
  ASSERT_TRUE(b.Listening()) << b.Output() << b.Errors();
  Peer a({"--headless", "--midi-api", "none", "--midi-out", "none", "--listen-port",
          std::to_string(portA), "--send-port", std::to_string(portB), "--gen", "1",
          "--gen-interval", "20"});
  EXPECT_TRUE(b.WaitLine(
      [](const std::string& l) {
        auto n = NumberAfter(l, "# Received: ");
        return n && *n >= 20;
      },
      tandem::test::Scaled(20s)))
      << b.Output();
  // Received is not yet played: each note waits out the buffer first. The generator sends
  // note-ons only, so few notes play before every key is held, and a loaded run may print just
  // one of them: one played note, then half a second of rendering, keeps the file from silence.
  EXPECT_TRUE(b.WaitLine([&](const std::string& l) { return l.rfind("OUT: 144 ", 0) == 0; },
                         tandem::test::Scaled(20s)))
      << b.Output();
  const off_t halfSecond = 44100 / 2 * 4;  // 16-bit stereo frames
  const off_t sizeAtFirstNote = FileSize(wav);
  EXPECT_TRUE(tandem::test::WaitFor([&] { return FileSize(wav) >= sizeAtFirstNote + halfSecond; }))
      << FileSize(wav) << " bytes";
  a.Signal(SIGTERM);
  b.Signal(SIGTERM);
  EXPECT_EQ(a.Wait(tandem::test::Scaled(10s)), 0);
  EXPECT_EQ(b.Wait(tandem::test::Scaled(10s)), 0);
  EXPECT_EQ(b.Output().find("MIDI: built-in synthesizer"), std::string::npos) << b.Output();
  tandem::test::WavSound sound = tandem::test::ReadWavSound(wav);
  unlink(wav.c_str());
  ASSERT_GT(sound.rate, 0);
  // Measured from the first sound: a slow start (the font loads, the peers find each other) is
  // silence that says nothing about what was played.
  const double onset = sound.Onset();
  ASSERT_GE(onset, 0) << "the file is silent, " << sound.Seconds() << " s";
  EXPECT_GT(sound.Rms(onset, sound.Seconds()), tandem::test::kSounding);
}

bool HasLine(const std::string& output, const std::string& prefix) {
  return ("\n" + output).find("\n" + prefix) != std::string::npos;
}

std::function<bool(const std::string&)> AtLeast(const std::string& prefix, int n) {
  return [prefix, n](const std::string& l) {
    auto v = NumberAfter(l, prefix);
    return v && *v >= n;
  };
}

std::string WritePassphrase(const tandem::test::ScratchDir& dir, const std::string& name,
                            const std::string& passphrase) {
  const std::string path = (dir.Path() / name).string();
  std::ofstream(path) << passphrase << "\n";
  return path;
}

// A and B are partners on 127.0.0.1; C is anyone else who can reach B's ports. C's well-formed
// notes, snapshots, chat, buffer and reports are refused and counted, first by address (C on
// 127.0.0.2), then, with a passphrase set, by SRTP (C on 127.0.0.1, and C replaying a datagram
// of A's it captured).
TEST(Headless, OnlyThePartnerGetsIn) {
  tandem::test::ScratchDir dir("tandem-partner");
  const std::string secret = WritePassphrase(dir, "secret", "correct horse battery staple");
  for (bool withPassphrase : {false, true}) {
    SCOPED_TRACE(withPassphrase ? "passphrase" : "address");
    uint16_t portA = FreePortPair();
    uint16_t portB = FreePortPair();
    ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
    Tap tap;  // A -> tap -> B, so the test holds a datagram of A's as it was on the wire
    tap.ForwardTo(portB);
    std::vector<std::string> common = {"--headless", "--midi-api", "none", "--midi-out", "none"};
    if (withPassphrase) common.insert(common.end(), {"--passphrase-file", secret});
    auto argsA = common, argsB = common;
    argsA.insert(argsA.end(), {"--listen-port", std::to_string(portA), "--send-port",
                               std::to_string(tap.Port())});
    argsB.insert(argsB.end(), {"--verbose", "--listen-port", std::to_string(portB), "--send-port",
                               std::to_string(tap.Port())});
    Peer b(argsB);
    ASSERT_TRUE(b.Listening()) << b.Output() << b.Errors();
    Peer a(argsA);
    ASSERT_TRUE(a.Listening()) << a.Output() << a.Errors();
    a.Write("hello\n");
    ASSERT_TRUE(b.WaitLine("you : hello", tandem::test::Scaled(10s))) << b.Output();

    Sender c(withPassphrase ? INADDR_LOOPBACK : 0x7F000002);
    int expected = c.SendEveryKind(portB);
    if (withPassphrase) {
      const std::vector<uint8_t> chat = tap.Captured(67);
      ASSERT_FALSE(chat.empty());
      c.Send(portB, chat);  // the partner's own datagram, a second time
      ++expected;
    }
    ASSERT_TRUE(b.WaitLine(AtLeast("# Refused: ", expected), tandem::test::Scaled(10s)))
        << b.Output();
    // B has handled all of C's datagrams by now: refused each, played none, showed none.
    EXPECT_FALSE(b.WaitLine(AtLeast("# Refused: ", expected + 1), 1500ms)) << b.Output();
    const std::string out = b.Output();
    EXPECT_FALSE(HasLine(out, "you : intruder")) << out;
    EXPECT_EQ(out.find("you : hello"), out.rfind("you : hello")) << out;  // no replayed line
    EXPECT_FALSE(HasLine(out, "OUT: 144")) << out;
    EXPECT_FALSE(HasLine(out, "Reception: passphrase mismatch?")) << out;
    a.Signal(SIGTERM);
    b.Signal(SIGTERM);
    EXPECT_EQ(a.Wait(10s), 0);
    EXPECT_EQ(b.Wait(10s), 0);
  }
}

// Someone on the path records a protected session and, once the partners have started the next
// one with the same passphrase, plays the recording into it from the partner's address. Each
// session has keys of its own: nothing of the old one plays, every packet is refused, and the
// session goes on.
TEST(Headless, ARecordedSessionReplayedIntoTheNextPlaysNothing) {
  tandem::test::ScratchDir dir("tandem-replay");
  const std::string secret = WritePassphrase(dir, "secret", "correct horse battery staple");
  uint16_t portA = FreePortPair();
  uint16_t portB = FreePortPair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  auto args = [&](uint16_t listen, uint16_t send, std::vector<std::string> more) {
    std::vector<std::string> v = {"--headless",           "--midi-api",  "none",
                                  "--midi-out",           "none",        "--listen-port",
                                  std::to_string(listen), "--send-port", std::to_string(send),
                                  "--passphrase-file",    secret};
    v.insert(v.end(), more.begin(), more.end());
    return v;
  };
  auto played = [](const std::string& l) { return l.rfind("OUT: 144 ", 0) == 0; };
  std::vector<std::vector<uint8_t>> recording;
  {
    Tap tap;  // A -> tap -> B: the recording
    tap.ForwardTo(portB);
    Peer b(args(portB, tap.Port(), {"--verbose"}));
    ASSERT_TRUE(b.Listening()) << b.Output() << b.Errors();
    // Notes for 6 s: a slow start (a sanitizer build) still leaves plenty once the handshake is
    // done, since what waited longer than 2 s for it is dropped.
    Peer a(args(portA, tap.Port(), {"--gen", "1", "--gen-interval", "60"}));
    ASSERT_TRUE(b.WaitLine(played, tandem::test::Scaled(20s))) << b.Output();
    ASSERT_TRUE(b.WaitLine(AtLeast("# Received: ", 40), tandem::test::Scaled(20s))) << b.Output();
    a.Signal(SIGTERM);
    b.Signal(SIGTERM);
    EXPECT_EQ(a.Wait(10s), 0);
    EXPECT_EQ(b.Wait(10s), 0);
    recording = tap.All();
  }
  const auto sealed = std::count_if(recording.begin(), recording.end(),
                                    [](const auto& d) { return d[0] >= 128 && d[0] < 192; });
  ASSERT_GE(sealed, 40);

  Peer b(args(portB, portA, {"--verbose"}));
  ASSERT_TRUE(b.Listening()) << b.Output() << b.Errors();
  Peer a(args(portA, portB, {}));
  ASSERT_TRUE(b.WaitLine("Security: passphrase · handshake done", tandem::test::Scaled(10s)))
      << b.Output();
  Sender c(INADDR_LOOPBACK);
  for (const auto& d : recording) c.Send(portB, d);
  // Every datagram of it is refused and counted: its handshake as well as its sealed packets.
  EXPECT_TRUE(b.WaitLine(AtLeast("# Refused: ", static_cast<int>(recording.size())),
                         tandem::test::Scaled(10s)))
      << b.Output();
  a.Write("still here\n");
  EXPECT_TRUE(b.WaitLine("you : still here", tandem::test::Scaled(10s))) << b.Output();
  a.Signal(SIGTERM);
  b.Signal(SIGTERM);
  EXPECT_EQ(a.Wait(10s), 0);
  EXPECT_EQ(b.Wait(10s), 0);
  const std::string out = b.Output();
  EXPECT_FALSE(HasLine(out, "OUT: ")) << out;
  EXPECT_EQ(out.find("Security: passphrase · handshake done"),
            out.rfind("Security: passphrase · handshake done"))
      << out;
}

// Partners whose passphrases differ, or of whom one has none, play nothing of each other's,
// count what they refuse, and say why.
TEST(Headless, PartnersWithoutTheSamePassphrasePlayNothingAndSaySo) {
  tandem::test::ScratchDir dir("tandem-passphrase");
  const std::string one = WritePassphrase(dir, "one", "open sesame");
  const std::string other = WritePassphrase(dir, "other", "open sesamE");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {one, other}, {one, ""}, {"", one}};
  for (const auto& [fileA, fileB] : cases) {
    SCOPED_TRACE(fileA + " / " + fileB);
    uint16_t portA = FreePortPair();
    uint16_t portB = FreePortPair();
    ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
    auto args = [](uint16_t listen, uint16_t send, const std::string& file) {
      std::vector<std::string> v = {"--headless",    "--verbose",
                                    "--midi-api",    "none",
                                    "--midi-out",    "none",
                                    "--listen-port", std::to_string(listen),
                                    "--send-port",   std::to_string(send)};
      if (!file.empty()) v.insert(v.end(), {"--passphrase-file", file});
      return v;
    };
    // B listens before A plays; each says what the other sends it: A's notes and snapshots,
    // B's buffer announcements and chat.
    Peer b(args(portB, portA, fileB));
    ASSERT_TRUE(b.Listening()) << b.Output() << b.Errors();
    auto argsA = args(portA, portB, fileA);
    argsA.insert(argsA.end(),
                 {"--gen", "1", "--gen-interval", "20", "--retransmission", "constant"});
    Peer a(argsA);
    ASSERT_TRUE(a.Listening()) << a.Output() << a.Errors();
    a.Write("hello\n");
    b.Write("hello\n");
    // A protected side sends nothing but its handshake until it is done, so B may see only
    // those (one refusal per failed handshake, or per handshake datagram without a passphrase).
    for (auto [p, refused] : {std::pair<Peer*, int>{&a, 3}, {&b, 5}}) {
      EXPECT_TRUE(p->WaitLine("Reception: passphrase mismatch?", tandem::test::Scaled(10s)))
          << p->Output();
      EXPECT_TRUE(p->WaitLine(AtLeast("# Refused: ", refused), tandem::test::Scaled(20s)))
          << p->Output();
    }
    a.Signal(SIGTERM);
    b.Signal(SIGTERM);
    EXPECT_EQ(a.Wait(10s), 0);
    EXPECT_EQ(b.Wait(10s), 0);
    for (Peer* p : {&a, &b}) {
      const std::string out = p->Output();
      EXPECT_FALSE(HasLine(out, "you : ")) << out;
      EXPECT_FALSE(HasLine(out, "OUT: ")) << out;
      EXPECT_FALSE(HasLine(out, "Reception: Changement de Buffer")) << out;
      for (int n = 1; n < 10; ++n) EXPECT_FALSE(HasLine(out, "# Received: " + std::to_string(n)));
    }
  }
}

TEST(Headless, OddListenPortFailsTheSession) {
  Peer p({"--headless", "--midi-api", "none", "--listen-port", "2001"});
  EXPECT_TRUE(p.WaitLine("RTP Status: Erreur RTP", 10s)) << p.Output() << p.Errors();
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(10s), 0);
}

TEST(Headless, BadAddressIsShownAndNothingIsSent) {
  Peer p({"--headless", "--midi-api", "none", "--listen-port", std::to_string(FreePortPair()),
          "--dest", "300.1.2.3", "--gen", "1", "--gen-interval", "10"});
  EXPECT_TRUE(p.WaitLine("RTP Status: Bad IP address specified", 10s)) << p.Output();
  EXPECT_FALSE(p.WaitLine([](const std::string& l) { return l.rfind("# Sent", 0) == 0; }, 1s));
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(10s), 0);
}

TEST(Headless, BadOptionsExitWithStatusTwo) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"--headless", "--listen-port", "abc"},
           {"--headless", "--retransmission", "x"},
           {"--headless", "--no-such-option"},
           {"--headless", "--passphrase-file", "/nonexistent/tandem-passphrase"},
           {"--headless", "--passphrase-file", "/dev/null"}}) {
    Peer p(args);
    EXPECT_EQ(p.Wait(10s), 2) << args[1];
    EXPECT_NE(p.Errors().find(args[1]), std::string::npos);
  }
  Peer help({"--headless", "--help"});
  EXPECT_TRUE(
      help.WaitLine([](const std::string& l) { return l.find("--gen-interval") != l.npos; }, 5s));
  EXPECT_EQ(help.Wait(10s), 0);
}

// RTP-MIDI with another implementation of it, the npm package that scripts/setup installs, in both
// roles: we invite it, or it invites us and the player accepts; notes cross both ways; a BY from
// either side ends the session on both.
TEST(HeadlessRtpMidi, PlaysWithAnotherImplementationInBothRoles) {
  const std::string modules = TANDEM_NPM_MODULES;
  if (access((modules + "/rtpmidi/package.json").c_str(), R_OK) != 0 ||
      system("node --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no npm partner in " << modules << " (scripts/setup installs it)";
  }
  setenv("TANDEM_NPM_MODULES", modules.c_str(), 1);
  const auto wait = tandem::test::Scaled(std::chrono::milliseconds(15000));
  for (const bool weInvite : {true, false}) {
    SCOPED_TRACE(weInvite ? "Tandem invites" : "the partner invites");
    const uint16_t ours = FreePortPair();
    const uint16_t theirs = FreePortPair();
    std::vector<std::string> partnerArgs = {
        "node",   std::string(TANDEM_SOURCE_DIR) + "/tests/rtpmidi-partner/partner.js",
        "--port", std::to_string(theirs),
        "--name", "npm partner"};
    if (!weInvite) {
      partnerArgs.push_back("--invite");
      partnerArgs.push_back("127.0.0.1:" + std::to_string(ours));
    }
    std::vector<std::string> args = {"--headless",
                                     "--protocol",
                                     "rtpmidi",
                                     "--listen-port",
                                     std::to_string(ours),
                                     "--midi-api",
                                     "none",
                                     "--midi-in",
                                     "none",
                                     "--midi-out",
                                     "none",
                                     "--verbose",
                                     "--gen-interval",
                                     "100"};
    if (weInvite) {
      for (std::string a : {"--dest", "127.0.0.1", "--send-port"}) args.push_back(a);
      args.push_back(std::to_string(theirs));
    }
    Peer tandem(args);
    ASSERT_TRUE(tandem.Listening()) << tandem.Output();
    Peer partner(partnerArgs, "/usr/bin/env");
    ASSERT_TRUE(partner.WaitLine("ready", wait)) << partner.Output() << partner.Errors();
    if (!weInvite) {
      // Not from IP Dest (there is none): the player is asked.
      ASSERT_TRUE(tandem.WaitLine("Invitation from npm partner (127.0.0.1)", wait))
          << tandem.Output();
      tandem.Write("/accept\n");
    }
    ASSERT_TRUE(tandem.WaitLine("RTP Status: connected to npm partner (127.0.0.1)", wait))
        << tandem.Output();
    // The partner sends nothing before its first clock sync.
    ASSERT_TRUE(partner.WaitLine("synced", wait)) << partner.Output();
    partner.Write("chord 60 64 67\n");
    EXPECT_TRUE(tandem.WaitLine(
        [](const std::string& l) {
          return l == "OUT: 144 60 100 1" || l == "OUT: 144 64 100 1" || l == "OUT: 144 67 100 1";
        },
        wait))
        << tandem.Output();
    tandem.Write("/gen\n");  // note-ons from a generator of ours
    EXPECT_TRUE(
        partner.WaitLine([](const std::string& l) { return l.rfind("midi 90", 0) == 0; }, wait))
        << partner.Output();
    if (weInvite) {
      partner.Write("bye\n");
      EXPECT_TRUE(tandem.WaitLine("RTP Status: partner left", wait)) << tandem.Output();
    } else {
      tandem.Signal(SIGTERM);
      EXPECT_TRUE(partner.WaitLine("ended", wait)) << partner.Output();
      EXPECT_EQ(tandem.Wait(wait), 0);
    }
  }
}

}  // namespace
