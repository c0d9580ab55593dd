#include "transport/MidiRtp.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <optional>

#include "model/Convert.h"
#include "net/HostAddress.h"

namespace tandem {

std::mutex& SendStepMutex() {
  static std::mutex m;
  return m;
}

namespace {

// How often the thread looks at SendQueue when it has no wake-up descriptor.
constexpr std::chrono::milliseconds kFallbackWait{2};

std::optional<uint16_t> PortSetting(const EditBox& box) {
  auto v = TryStrToInt(box.Text());
  if (!v || *v < 0 || *v > 65535) return std::nullopt;
  return static_cast<uint16_t>(*v);
}

}  // namespace

MidiRTP::MidiRTP(TFormCtl& form, std::unique_ptr<RtpLink> link, ClockFn clock,
                 MicroClockFn microClock)
    : Worker("MidiRTP"),
      form_(form),
      link_(std::move(link)),
      clock_(std::move(clock)),
      microClock_(std::move(microClock)) {
  // Made before the thread runs, so no stop request or new record can come before it exists.
  GetWaker().PollFd();
}

MidiRTP::~MidiRTP() {
  Stop();
}

void MidiRTP::Run() {
  // On the road of every note, with short bounded passes: ahead of ordinary work where allowed.
  RaisePriority();
  if (form_.SelectedProtocol() == ProtocolRtpMidi) {
    RunRtpMidi();
    return;
  }
  if (!Setup(clock_())) return;
  // A record for SendQueue, a datagram and a stop request each end the wait at once.
  form_.SendQueue.SetWaker(&GetWaker());
  bool running = true;
  while (running && !StopRequested()) {
    const int32_t now = clock_();
    running = Pass(now);
    if (running && nextWait_ != 0) WaitForWork(now);
  }
  form_.SendQueue.RemoveWaker(&GetWaker());
  // Asked to stop: close the session (and say BYE) now, not at destruction.
  if (running) link_->Destroy();
}

void MidiRTP::WaitForWork(int32_t now) {
  auto until = NextPassTime(clock_, now, nextWait_, kLongestWait);
  if (holdUntilUs_ > 0) until = std::min(until, ClockUsReaches(holdUntilUs_));
  const int wakeFd = GetWaker().PollFd();
  // Without a wake-up descriptor, records are found by looking again as often as before.
  if (wakeFd < 0) until = std::min(until, std::chrono::steady_clock::now() + kFallbackWait);
  std::array<pollfd, 3> fds{};
  nfds_t count = 0;
  for (int fd : {wakeFd, link_->DataFd(), link_->ControlFd()}) {
    if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
  }
  const auto left = std::max(until - std::chrono::steady_clock::now(),
                             std::chrono::steady_clock::duration::zero());
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
  const timespec timeout{static_cast<time_t>(secs.count()),
                         static_cast<long>(std::chrono::nanoseconds(left - secs).count())};
  // Readiness is read by the pass itself (Poll drains the sockets); an error or EINTR only
  // means the pass comes a little early.
  if (::ppoll(fds.data(), count, &timeout, nullptr) > 0 && wakeFd >= 0 && fds[0].revents != 0)
    GetWaker().Consume();
}

bool MidiRTP::Setup(int32_t now) {
  bool error = false;
  bool badAddress = false;
  link_->Destroy();
  form_.PublishLink({});  // a new session, or none: the last one's figures no longer hold
  // A connection from invitation codes knows its own way; the typed address is not used then.
  const std::shared_ptr<rtp::DatagramPath> path = form_.ConnectionPath();
  onPath_ = path != nullptr;
  form_.PathCertificateRefused.store(false);
  if (path) {
    for (auto& line : LocalHostLines()) form_.MemoIpAddr.Append(line);
    if (link_->CreateOnPath(path) < 0) error = true;
    if (!error) link_->SetTimestampUnit(kTimestampUnit);
  } else {
    auto localPort = PortSetting(form_.EditPortLocal);
    if (!localPort) error = true;
    auto destIp = ResolveDestination(form_.EditDestIp.Text());
    if (!destIp) {
      // Nothing is sent anywhere rather than to the broadcast address.
      form_.EditStatutConnect.SetText("Bad IP address specified");
      error = badAddress = true;
    }
    auto destPort = PortSetting(form_.EditPortDistant);
    if (!destPort) error = true;
    for (auto& line : LocalHostLines()) form_.MemoIpAddr.Append(line);

    if (!error && link_->Create(*localPort) < 0) error = true;
    if (!error) link_->SetTimestampUnit(kTimestampUnit);
    if (!error && link_->AddDestinationAddress(*destIp, *destPort) < 0) error = true;
  }
  bool securityError = false;
  if (!error) {
    const std::string passphrase = form_.EditPassphrase.Text();
    std::optional<rtp::SrtpKey> key;
    try {
      if (!passphrase.empty()) key = rtp::DeriveSrtpKey(passphrase);
    } catch (const std::exception&) {
      securityError = true;
    }
    // Never a session in clear when a passphrase was asked for.
    // On a connection path only the partner's checked address reaches us at all.
    const bool senderCheck = !path && !form_.CheckBoxAcceptAny.Checked();
    if (securityError || link_->SetSecurity(senderCheck, key) < 0) {
      error = securityError = true;
    }
    protected_ = key.has_value();
  }
  if (error) {
    if (securityError) form_.EditStatutReceive.SetText("erreur SRTP");
    link_->Destroy();
    if (!badAddress) form_.EditStatutConnect.SetText("Erreur RTP");
    return false;
  }
  form_.EditStatutConnect.SetText("RTP Initialisé");
  receivedCount_ = 0;
  shownReceived_ = -1;
  sentCount_ = 0;
  const rtp::SessionStats stats = link_->Stats();
  sessionDrops_ = SessionDrops(stats);
  form_.ResetDropped();
  protectedSeen_ = 0;
  refusedShown_ = 0;
  authRefusedSeen_ = stats.refusedAuth + link_->Security().stats.handshakesRefused;
  acceptedSeen_ = stats.rtpReceived + stats.rtcpReceived;
  haveAccepted_ = false;
  form_.EditNbrRefused.SetText("0");
  securityShown_.clear();
  ShowSecurity(link_->Security());
  lastStatsTime_ = static_cast<uint32_t>(now);
  bandwidthBytes_ = 0;
  lastSendMs_ = -1;
  return true;
}

bool MidiRTP::Pass(int32_t now) {
  auto unow = static_cast<uint32_t>(now);
  if (unow - lastStatsTime_ > kStatsPeriodMs) {
    lastStatsTime_ = unow;
    // Payload bytes over a nominal 3 s window, in kilobytes (1000 bytes) per second.
    form_.EditDebit.SetText(
        FloatToStrGeneral(static_cast<double>(bandwidthBytes_) * (1.0 / 3000), 2, 2) + "KB/s");
    bandwidthBytes_ = 0;
  }
  if (!form_.RtpActive.load()) {
    link_->Destroy();
    return false;
  }
  int pollResult = link_->Poll();
  const uint64_t droppedBefore = dropped_;
  Receive(now);
  // Every datagram that came to nothing counts once in "# Dropped", whichever layer refused it.
  const rtp::SessionStats stats = link_->Stats();
  const rtp::SecurityStatus security = link_->Security();
  CountRefused(stats, security.stats, now);
  const uint64_t sessionDrops = SessionDrops(stats);
  uint64_t newDrops = dropped_ - droppedBefore;
  if (sessionDrops > sessionDrops_) newDrops += sessionDrops - sessionDrops_;
  sessionDrops_ = sessionDrops;
  form_.CountDropped(newDrops);
  form_.PublishLink(link_->Link());
  ShowSecurity(security);
  keyed_ = !security.dtls || security.keyed;
  int64_t holdWait = kNoDeadline;
  if (!keyed_) holdWait = HoldForHandshake();
  if (receivedCount_ != shownReceived_) {
    form_.EditNbrRec.SetText(IntToStr(receivedCount_));
    shownReceived_ = receivedCount_;
  }
  if (pollResult < 0) form_.EditStatutReceive.SetText("erreur de poll");
  if (!keyed_) {
    // Only the handshake may leave: what is played meanwhile waits in SendQueue.
    int64_t wait = std::min(holdWait, int64_t{kStatsPeriodMs} + 1 - (unow - lastStatsTime_));
    if (int64_t due = link_->MillisUntilRtcp(); due >= 0) wait = std::min(wait, due);
    nextWait_ = static_cast<int32_t>(std::clamp<int64_t>(wait, 1, kNoDeadline));
  } else if (!SendHead(now)) {
    nextWait_ = 1;  // the failed record is tried again at the next clock step
  } else if (form_.SendQueue.Count() > 0 && holdUntilUs_ == 0) {
    nextWait_ = 0;
  } else {
    int64_t wait = int64_t{kStatsPeriodMs} + 1 - (unow - lastStatsTime_);
    if (int64_t rtcp = link_->MillisUntilRtcp(); rtcp >= 0) wait = std::min(wait, rtcp);
    nextWait_ = static_cast<int32_t>(std::clamp<int64_t>(wait, 1, kNoDeadline));
  }
  return true;
}

void MidiRTP::Receive(int32_t now) {
  if (!link_->GotoFirstSourceWithData()) return;
  link_->SetCurrentSourceTimestampUnit(kTimestampUnit);
  for (;;) {
    if (auto packet = link_->GetNextPacket()) {
      if (LooksProtected(*packet)) {
        ++protectedSeen_;
        continue;
      }
      ++receivedCount_;
      Dispatch(*packet, now);
    } else if (!link_->GotoNextSourceWithData()) {
      return;
    }
  }
}

int64_t MidiRTP::ArrivalOf(const rtp::Packet& packet) {
  const int64_t arrival = packet.arrival != 0 ? packet.arrival : microClock_();
  // Events that left the sender back to back (a chord) carry consecutive sequence numbers and
  // timestamps at most a step apart. One that arrives within a millisecond of the first of them
  // is taken as arriving with it, so the chord becomes due at one moment and sounds as one.
  // Other packets (a buffer announcement, a snapshot) neither join nor start a chord.
  const bool event = packet.payloadType == PacketMidi || packet.payloadType == PacketMidiKeys;
  if (!event) {
    haveGroup_ = false;
    return arrival;
  }
  const bool sibling = haveGroup_ && packet.ssrc == groupSource_ &&
                       packet.timestamp - groupTimestamp_ <= kGroupTimestampMs &&
                       packet.extendedSequence == groupSequence_ + 1 &&
                       arrival - groupArrival_ >= 0 && arrival - groupArrival_ <= kGroupWindowUs;
  groupSequence_ = packet.extendedSequence;
  if (sibling) return groupArrival_;
  haveGroup_ = true;
  groupSource_ = packet.ssrc;
  groupTimestamp_ = packet.timestamp;
  groupArrival_ = arrival;
  return arrival;
}

void MidiRTP::Dispatch(const rtp::Packet& packet, int32_t now) {
  const int64_t arrival = ArrivalOf(packet);
  Decoded d = Decode(packet.payloadType, packet.payload, packet.timestamp, packet.extendedSequence,
                     packet.ssrc, now);
  if (d.drop != DropReason::None) {
    ++dropped_;
    return;
  }
  if (d.record) d.record->arrivalUs = arrival;
  if (d.keyOn) {
    for (size_t k = 0; k < 128; ++k) form_.KeysSent[k].store((*d.keyOn)[k]);
  }
  switch (packet.payloadType) {
    case PacketKeys:
      form_.EditStatutReceive.SetText("Reception info de retransmission");
      break;
    case PacketBuffer:
      form_.EditStatutReceive.SetText("Changement de Buffer");
      break;
    case PacketChat:
      form_.MemoChat.Append("you : " + *d.chat);
      form_.EditStatutReceive.SetText("Chat Reception");
      break;
    default:
      break;
  }
  if (d.record && !form_.ReceiveQueue.InsertOrdered(std::move(d.record))) ++dropped_;
}

bool MidiRTP::SendHead(int32_t now) {
  std::lock_guard lock(SendStepMutex());
  EventRecord* rec = form_.SendQueue.Get(0);
  holdUntilUs_ = 0;
  if (!rec) return true;
  // With a buffer, a captured event leaves a fixed time after its moment rather than when the
  // input's period delivered it: a peer playing it a buffer after arrival keeps its spacing.
  const int64_t hold = form_.CaptureHoldUs.load();
  if (hold > 0 && rec->kind == EventMidi && rec->arrivalUs != 0 && form_.LocalBuffer.load() > 0) {
    const int64_t release = rec->arrivalUs + hold;
    if (microClock_() < release) {
      holdUntilUs_ = release;
      return true;
    }
  }
  // The timeline advances by the time since the last successful send, again on every retry, on
  // a clock of whole milliseconds. A captured event counts from the moment it was played, so
  // the timestamps carry the rhythm as played for a partner that plays by them; never backwards.
  const int64_t stampUs =
      rec->kind == EventMidi && rec->arrivalUs != 0 ? rec->arrivalUs : microClock_();
  int64_t sendMs = stampUs / 1000;
  if (lastSendMs_ < 0) lastSendMs_ = sendMs;
  sendMs = std::max(sendMs, lastSendMs_);
  int result = link_->IncrementTimestamp(static_cast<uint32_t>(sendMs - lastSendMs_));
  auto payload = Encode(*rec, sentKeys_, form_.RadioButtonNoTransm.Checked(), now);
  if (payload) {
    bandwidthBytes_ += static_cast<int64_t>(payload->length);
    result =
        link_->SendPacket(payload->bytes.data(), payload->length, payload->payloadType, false, 0);
  }
  if (result < 0) {
    form_.EditStatutConnect.SetText("erreur a l'envoi");
    return false;  // the same record is tried again next pass
  }
  form_.EditStatutConnect.SetText("envoi correct");
  form_.SendQueue.DeleteFirst();  // frees it: the record's road ends here
  ++sentCount_;
  form_.EditNbrSend.SetText(IntToStr(sentCount_));
  lastSendMs_ = sendMs;
  return true;
}

}  // namespace tandem
