// The whole receiving side on whatever the network sends: datagrams into a session, the session
// thread's passes turning packets into records, the playback passes playing them, with the
// output settings changed at odd moments. Whatever arrives, only well-formed MIDI reaches the
// output, the queue keeps its bound and every drop is counted.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "model/FormCtrl.h"
#include "playback/PrepareRec.h"
#include "rtp/RtpPacket.h"
#include "rtp/SessionCore.h"
#include "transport/MidiRtp.h"

using namespace tandem;

namespace {

constexpr size_t kQueueCapacity = 48;
constexpr int kMaxSteps = 2000;

// The output device: every message must be one a synthesizer can take.
class CheckingOut : public MidiOutPort {
 public:
  bool Send(const uint8_t* bytes, size_t length) override {
    FUZZ_CHECK(length >= 2 && length <= 3);
    FUZZ_CHECK(bytes[0] >= 0x80 && bytes[0] < 0xF0);
    for (size_t i = 1; i < length; ++i) FUZZ_CHECK(bytes[i] < 0x80);
    return true;
  }
};

// A session fed from the fuzzer's datagrams instead of sockets.
class FuzzLink : public RtpLink {
 public:
  FuzzLink() : core_(Config(), 0) { core_.SetTimestampUnit(0.001); }

  std::deque<std::pair<bool, std::vector<uint8_t>>> arriving;  // (control?, bytes)
  rtp::Micros now = 0;

  int Create(uint16_t) override { return 0; }
  int Destroy() override { return 0; }
  int SetTimestampUnit(double seconds) override { return core_.SetTimestampUnit(seconds); }
  int AddDestination(uint32_t ip, uint16_t port) override { return core_.AddDestination(ip, port); }
  int IncrementTimestamp(uint32_t units) override {
    core_.IncrementTimestamp(units);
    return 0;
  }
  int SendPacket(const uint8_t*, size_t, uint8_t, bool, uint32_t) override { return 0; }
  int Poll() override {
    for (auto& [control, bytes] : arriving) {
      if (control) {
        core_.OnControl(bytes, now);
      } else {
        core_.OnData(bytes, now);
      }
    }
    arriving.clear();
    return 0;
  }
  bool GotoFirstSourceWithData() override { return core_.GotoFirstSourceWithData(); }
  bool GotoNextSourceWithData() override { return core_.GotoNextSourceWithData(); }
  int SetCurrentSourceTimestampUnit(double seconds) override {
    return core_.SetCurrentSourceTimestampUnit(seconds);
  }
  std::unique_ptr<rtp::Packet> GetNextPacket() override { return core_.TakeNextPacket(); }
  rtp::SessionStats Stats() const override { return core_.Stats(); }

 private:
  static rtp::CoreConfig Config() {
    rtp::CoreConfig c;
    c.ssrc = 0x5EED0001;
    c.seed = 3;
    return c;
  }
  rtp::SessionCore core_;
};

std::vector<uint8_t> Payload(FuzzedDataProvider& in, uint8_t type) {
  // Mostly the kind's own size, so decoding goes deep; sometimes any size.
  size_t size = 0;
  switch (type) {
    case 77:
      size = 4;
      break;
    case 88:
    case 83:
      size = 36;
      break;
    case 67:
      size = 100;
      break;
    case 66:
      size = 2;
      break;
  }
  if (in.ConsumeIntegralInRange(0, 3) == 0) size = in.ConsumeIntegralInRange<size_t>(0, 110);
  std::vector<uint8_t> p = in.ConsumeBytes<uint8_t>(size);
  return p;
}

std::vector<uint8_t> Datagram(FuzzedDataProvider& in) {
  static constexpr uint8_t kTypes[] = {77, 88, 83, 67, 66};
  rtp::RtpHeader h;
  h.payloadType = in.ConsumeBool() ? in.PickValueInArray(kTypes) : in.ConsumeIntegral<uint8_t>();
  h.sequence = in.ConsumeIntegral<uint16_t>();
  h.timestamp = in.ConsumeIntegral<uint32_t>();
  h.ssrc = 0xB0000000u + in.ConsumeIntegralInRange<uint32_t>(0, 3);
  std::vector<uint8_t> out;
  rtp::BuildRtp(h, Payload(in, h.payloadType), out);
  return out;
}

void SetSetting(FuzzedDataProvider& in, TFormCtl& form) {
  static const char* kTexts[] = {"0",    "1",   "16", "17",          "-12", "12", "127",
                                 "-128", "abc", "",   "99999999999", "-0",  "+5"};
  std::string text =
      in.ConsumeBool() ? in.PickValueInArray(kTexts) : in.ConsumeRandomLengthString(12);
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      form.EditTransposeOut.SetText(text);
      break;
    case 1:
      form.EditMidiCanalOut.SetText(text);
      break;
    case 2:
      form.EditLocalCanal.SetText(text);
      break;
    case 3:
      form.CheckBoxTransposeOut.SetChecked(in.ConsumeBool());
      break;
    case 4:
      form.CheckBoxMidiCanalOut.SetChecked(in.ConsumeBool());
      break;
    default:
      form.CheckBoxLocalMIDI.SetChecked(in.ConsumeBool());
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  TFormCtl form([](std::string&) { return std::make_unique<CheckingOut>(); });
  form.ReceiveQueue.SetCapacity(kQueueCapacity);
  form.RtpActive.store(true);
  auto ownedLink = std::make_unique<FuzzLink>();
  FuzzLink& link = *ownedLink;
  MidiRTP rtp(form, std::move(ownedLink), [] { return 0; });
  PrepareRecPass playback(form);
  int32_t now = in.ConsumeIntegral<int32_t>();

  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0:
      case 1:
        link.arriving.emplace_back(false, Datagram(in));
        break;
      case 2: {  // anything at all, on either port
        const bool control = in.ConsumeBool();
        link.arriving.emplace_back(control,
                                   in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 64)));
        break;
      }
      case 3:
        link.now += 2000;
        FUZZ_CHECK(rtp.Pass(now));
        break;
      case 4: {
        const int passes = in.ConsumeIntegralInRange(1, 8);
        for (int i = 0; i < passes; ++i) playback.Pass(now);
        break;
      }
      case 5:
        // Any step of the clock, backwards and across its wrap included.
        now = static_cast<int32_t>(static_cast<uint32_t>(now) +
                                   in.ConsumeIntegralInRange<uint32_t>(0, 70000) *
                                       (in.ConsumeBool() ? 1u : 0xFFFFFFFFu));
        break;
      case 6:
        SetSetting(in, form);
        break;
      default: {  // a local audition record with any values
        auto r = MakeRecord(EventMidi);
        r->status = in.ConsumeIntegral<int32_t>() % 512;
        r->note = in.ConsumeIntegral<int32_t>() % 512;
        r->velocity = in.ConsumeIntegral<int32_t>() % 512;
        r->time = now;
        form.LocalQueue.Add(std::move(r));
        break;
      }
    }
    FUZZ_CHECK(form.ReceiveQueue.Count() <= static_cast<int32_t>(kQueueCapacity));
    for (auto& k : form.KeysPlayed) FUZZ_CHECK(k.load() == 0 || k.load() == 1);
    for (auto& k : form.KeysSent) FUZZ_CHECK(k.load() == 0 || k.load() == 1);
    FUZZ_CHECK(form.Dropped() >= rtp.DroppedCount());
    FUZZ_CHECK(form.EditNbrDropped.Text() == std::to_string(form.Dropped()));
  }
  form.ReceiveQueue.Clear();
  form.LocalQueue.Clear();
  return 0;
}
