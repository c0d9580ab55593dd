// A sender blasting datagrams at the listen port: the receive queue keeps its cap, everything
// beyond it is counted and shown, memory stays flat, and once the flood stops a real peer is
// heard again. The peer's two passes are stepped here with a clock the test controls, on real
// loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPorts.h"
#include "app/Application.h"
#include "midi/MemoryMidi.h"
#include "model/FormCtrl.h"
#include "playback/PrepareRec.h"
#include "rtp/RtpPacket.h"
#include "transport/MidiRtp.h"

namespace tandem {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators keep freed memory on purpose
#else
constexpr bool kSanitized = false;
#endif

// Resident memory of this process in kB, from /proc.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// A source that is no peer of ours: raw RTP datagrams from a plain socket.
class Flooder {
 public:
  explicit Flooder(uint16_t target) : fd_(test::BoundSocket(0)) {
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_.sin_port = htons(target);
  }
  ~Flooder() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }

  void Send(uint8_t payloadType, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> datagram;
    rtp::BuildRtp({false, payloadType, sequence_++, timestamp_, kSsrc}, payload, datagram);
    timestamp_ += 1;
    sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
           sizeof to_);
  }

  // Note-ons and note-offs on keys 0 to 31, as fast as the socket takes them, until `count` are
  // sent or `limit` has passed.
  uint64_t Blast(uint64_t count, std::chrono::milliseconds limit) {
    const auto end = SteadyClock::now() + limit;
    uint64_t sent = 0;
    for (; sent < count && (sent % 256 != 0 || SteadyClock::now() < end); ++sent) {
      const auto key = static_cast<uint8_t>((sent / 2) % 32);
      Send(77, {static_cast<uint8_t>(sent % 2 == 0 ? 144 : 128), key, 1, 0});
    }
    return sent;
  }

 private:
  static constexpr uint32_t kSsrc = 0xF100D;
  int fd_;
  sockaddr_in to_{};
  uint16_t sequence_ = 1000;
  uint32_t timestamp_ = 777;
};

// One peer's receiving side (or sending side) as its threads would run it, stepped by the test.
struct SteppedPeer {
  SteppedPeer(uint16_t listen, uint16_t sendTo)
      : recorder(std::make_shared<MidiRecorder>()),
        form([rec = recorder](std::string&) { return std::make_unique<MemoryMidiOut>(rec); }) {
    form.ReceiveQueue.SetCapacity(AppConfig{}.receiveQueueCapacity);
    form.EditPortLocal.SetText(std::to_string(listen));
    form.EditPortDistant.SetText(std::to_string(sendTo));
    form.RtpActive.store(true);
    rtp = std::make_unique<MidiRTP>(form);
    playback = std::make_unique<PrepareRecPass>(form);
  }
  ~SteppedPeer() {
    form.RtpActive.store(false);
    rtp->Pass(now);  // closes the session
  }

  void Step() {
    ASSERT_TRUE(rtp->Pass(now));
    playback->Pass(PlaybackNow());
  }

  // Messages the output sounded for `key` with `velocity`.
  int Sounded(uint8_t status, uint8_t key, uint8_t velocity) const {
    int n = 0;
    for (const auto& m : recorder->Messages()) {
      if (m.bytes.size() == 3 && m.bytes[0] == status && m.bytes[1] == key &&
          m.bytes[2] == velocity)
        ++n;
    }
    return n;
  }

  // Datagrams are stamped on the real clock as they are read. The playback's clock moves with
  // it, or by the test's own steps when they are larger, so the test can still skip a minute.
  int64_t PlaybackNow() {
    const int64_t real = ClockUs();
    const int64_t stepped = int64_t{now} * 1000;
    playbackUs += std::max(real - lastRealUs, stepped - lastSteppedUs);
    lastRealUs = real;
    lastSteppedUs = stepped;
    return playbackUs;
  }

  std::shared_ptr<MidiRecorder> recorder;
  TFormCtl form;
  std::unique_ptr<MidiRTP> rtp;
  std::unique_ptr<PrepareRecPass> playback;
  int32_t now = 1'000'000;
  int64_t lastSteppedUs = int64_t{now} * 1000;
  int64_t lastRealUs = ClockUs();
  int64_t playbackUs = lastRealUs;
};

TEST(Flood, QueueStaysCappedDropsAreShownAndThePeerIsHeardAfterwards) {
  const uint16_t bPort = test::FreePortPair();
  const uint16_t aPort = test::FreePortPair();
  ASSERT_NE(bPort, 0);
  ASSERT_NE(aPort, 0);
  SteppedPeer b(bPort, aPort);
  ASSERT_TRUE(b.rtp->Setup(b.now)) << b.form.EditStatutConnect.Text();
  EXPECT_EQ(b.form.EditNbrDropped.Text(), "0");
  const size_t cap = AppConfig{}.receiveQueueCapacity;

  // The flooder first announces a buffer of a minute, so nothing it sends is played meanwhile.
  Flooder flooder(bPort);
  ASSERT_TRUE(flooder.Ok());
  flooder.Send(66, {0x60, 0xEA});  // 60000 ms
  const auto deadline = SteadyClock::now() + 5s;
  while (b.form.ReceiveQueue.Count() == 0 && SteadyClock::now() < deadline) b.Step();
  b.now += 10;
  b.Step();
  ASSERT_EQ(b.form.ReceptionBuffer.load(), 60000);

  const long rssBefore = ResidentKb();
  std::atomic<bool> flooding{true};
  std::atomic<uint64_t> blasted{0};
  std::thread blaster([&] {
    blasted = flooder.Blast(400'000, 3s);
    flooding = false;
  });
  // The peer's passes at their own pace while the flood lasts; its clock follows real time.
  const int32_t floodStart = b.now;
  const auto started = SteadyClock::now();
  int32_t longest = 0;
  int quietPasses = 0;
  int32_t lastReceived = -1;
  while (flooding.load() || quietPasses < 20) {
    b.now = floodStart + static_cast<int32_t>((SteadyClock::now() - started) / 1ms);
    b.Step();
    longest = std::max(longest, b.form.ReceiveQueue.Count());
    ASSERT_LE(b.form.ReceiveQueue.Count(), static_cast<int32_t>(cap));
    const int32_t received = b.rtp->ReceivedCount();
    quietPasses = !flooding.load() && received == lastReceived ? quietPasses + 1 : 0;
    lastReceived = received;
    std::this_thread::sleep_for(1ms);
  }
  blaster.join();
  const long rssAfter = ResidentKb();

  std::printf("flood: %llu datagrams blasted, %d received, %llu dropped, RSS %+ld kB\n",
              static_cast<unsigned long long>(blasted.load()), b.rtp->ReceivedCount(),
              static_cast<unsigned long long>(b.form.Dropped()), rssAfter - rssBefore);
  // The queue filled to its cap and no further; every packet is either queued or counted.
  EXPECT_EQ(longest, static_cast<int32_t>(cap));
  const int32_t received = b.rtp->ReceivedCount();
  EXPECT_GT(received, static_cast<int32_t>(2 * cap)) << "blasted " << blasted.load();
  EXPECT_EQ(static_cast<uint64_t>(received),
            1 + static_cast<uint64_t>(b.form.ReceiveQueue.Count()) + b.rtp->DroppedCount());
  EXPECT_GE(b.form.Dropped(), b.rtp->DroppedCount());
  EXPECT_EQ(b.form.EditNbrDropped.Text(), std::to_string(b.form.Dropped()));
  EXPECT_EQ(b.recorder->Count(), 0u);  // nothing played: the announced minute has not passed
  if (!kSanitized) {
    // A queue without a cap would hold every record received (hundreds of bytes each).
    EXPECT_LT(rssAfter - rssBefore, 16 * 1024) << "received " << received;
  }

  // Once the minute has passed the backlog plays out, one record per pass.
  b.now += 61'000;
  for (size_t i = 0; i < cap + 10 && b.form.ReceiveQueue.Count() > 0; ++i) b.Step();
  EXPECT_EQ(b.form.ReceiveQueue.Count(), 0);
  EXPECT_GT(b.recorder->Count(), 0u);

  // A real peer now announces no buffer and plays a note: it is heard.
  SteppedPeer a(aPort, bPort);
  ASSERT_TRUE(a.rtp->Setup(a.now)) << a.form.EditStatutConnect.Text();
  auto buffer = MakeRecord(EventBuffer);
  buffer->bufferMs = 0;
  a.form.SendQueue.Add(std::move(buffer));
  for (int status : {144, 128}) {
    auto note = MakeRecord(EventMidi);
    note->status = status;
    note->note = 60;
    note->velocity = status == 144 ? 90 : 0;
    a.form.SendQueue.Add(std::move(note));
  }
  for (int i = 0; i < 3; ++i) a.Step();
  EXPECT_EQ(a.rtp->SentCount(), 3);
  const int32_t before = b.rtp->ReceivedCount();
  const auto arrival = SteadyClock::now() + 5s;
  while (b.rtp->ReceivedCount() < before + 3 && SteadyClock::now() < arrival) b.Step();
  ASSERT_EQ(b.rtp->ReceivedCount(), before + 3);
  // The flood's minute still governs until the peer's own announcement is acted on.
  b.now += 61'000;
  for (int i = 0; i < 5; ++i) b.Step();
  EXPECT_EQ(b.form.ReceptionBuffer.load(), 0);
  EXPECT_EQ(b.Sounded(0x90, 60, 90), 1);
  EXPECT_EQ(b.Sounded(0x80, 60, 0), 1);
}

}  // namespace
}  // namespace tandem
