#include "transport/RtpMidiWire.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <span>
#include <vector>

#include "model/Convert.h"
#include "net/HostAddress.h"
#include "transport/MidiRtp.h"

namespace tandem {

namespace {

// Datagrams taken from one socket in one pass, so a flood cannot hold the thread.
constexpr int kMaxReadsPerPass = 256;
// Commands handed to the session before they must go out, and how long the first of them may
// wait for the rest of its chord still on its way through OutgoingQueue.
constexpr int kMaxBatch = 64;
constexpr int64_t kGatherUs = 2000;
constexpr int64_t kRateWindowUs = 3'000'000;

std::optional<uint16_t> PortSetting(const EditBox& box) {
  auto v = TryStrToInt(box.Text());
  if (!v || *v <= 0 || *v > 65535) return std::nullopt;
  return static_cast<uint16_t>(*v);
}

std::string Trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string AddressText(const IpAddress& address) {
  return ToString(address.Unmapped());
}

// The bytes of a captured record as a MIDI message; nothing for what is no channel message.
std::optional<std::vector<uint8_t>> MessageOf(const EventRecord& r) {
  if (r.status < 0x80 || r.status > 0xE0 || (r.status & 0x0F) != 0) return std::nullopt;
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(r.status | (r.channel & 0x0F)),
                                static_cast<uint8_t>(r.note & 0x7F)};
  if (r.status != 0xC0 && r.status != 0xD0)
    bytes.push_back(static_cast<uint8_t>(r.velocity & 0x7F));
  return bytes;
}

}  // namespace

RtpMidiWire::RtpMidiWire(TFormCtl& form, MicroClockFn clock)
    : form_(form), clock_(std::move(clock)) {}

RtpMidiWire::~RtpMidiWire() {
  End();
}

bool RtpMidiWire::Setup() {
  form_.PublishLink({});
  now_ = arrival_ = clock_();
  auto fail = [this](const std::string& why) {
    form_.EditStatutReceive.SetText(why);
    form_.EditStatutConnect.SetText("Erreur RTP");
    return false;
  };
  // Invitation codes carry our own wire only.
  if (form_.ConnectionPath()) return fail("RTP-MIDI: invitation codes need the Tandem protocol");
  // Never a session in clear when a passphrase was asked for.
  if (!form_.EditPassphrase.Text().empty())
    return fail("RTP-MIDI has no encryption: clear the passphrase");
  const auto port = PortSetting(form_.EditPortLocal);
  if (!port || *port % 2 != 0 || *port == 65534)
    return fail("RTP-MIDI: Listen Port must be even (5004 is usual)");
  const std::string destText = Trimmed(form_.EditDestIp.Text());
  if (!destText.empty()) {
    dest_ = ResolveDestination(destText);
    if (!dest_) {
      form_.EditStatutConnect.SetText("Bad IP address specified");
      return false;
    }
    const auto destPort = PortSetting(form_.EditPortDistant);
    if (!destPort || *destPort == 65535) return fail("RTP-MIDI: bad Send Port");
    destPort_ = *destPort;
  }
  for (auto& line : LocalHostLines()) form_.MemoIpAddr.Append(line);
  if (control_.BindDualStack(*port) < 0 ||
      data_.BindDualStack(static_cast<uint16_t>(*port + 1)) < 0) {
    control_.Close();
    data_.Close();
    return fail("RTP-MIDI: ports " + std::to_string(*port) + " and " + std::to_string(*port + 1) +
                " are not free");
  }
  name_ = Trimmed(form_.EditSessionName.Text());
  if (name_.empty()) name_ = DefaultSessionName();

  std::random_device random;
  rtpmidi::SessionConfig config;
  config.name = name_;
  config.ssrc = random();
  config.firstSequence = static_cast<uint16_t>(random());
  session_ = std::make_unique<rtpmidi::Session>(config, now_);

  form_.EditStatutConnect.SetText("RTP Initialisé");
  form_.ResetDropped();
  form_.EditNbrRefused.SetText("0");
  form_.EditSecurity.SetText("RTP-MIDI · clear (the protocol has no encryption)");
  // RTP-MIDI announces no buffer: ours plays the partner too.
  form_.ReceptionBuffer.store(form_.LocalBuffer.load());
  form_.ChatOff.store(true);
  form_.ButtonChatSend.SetEnabled(false);
  form_.MemoChat.Append(kChatOffLine);
  lastRateUs_ = now_;
  if (dest_) {
    session_->Invite(*dest_, destPort_, random(), now_);
    SetStatus("inviting " + AddressText(*dest_) + ":" + std::to_string(destPort_));
  } else {
    SetStatus("listening as " + name_);
  }
  Drain();
  Show();
  wakeAtUs_ = now_;
  return true;
}

void RtpMidiWire::Pass() {
  if (!session_ || ended_) return;
  now_ = arrival_ = clock_();
  Receive(control_, rtpmidi::Port::kControl);
  Receive(data_, rtpmidi::Port::kData);
  now_ = arrival_ = clock_();
  TakeAnswer();
  TakeSendQueue();
  if (now_ >= session_->NextWakeUs()) {
    session_->Tick(now_);
    Drain();
  }
  form_.ReceptionBuffer.store(form_.LocalBuffer.load());
  Show();
  int64_t wake = std::min(session_->NextWakeUs(), lastRateUs_ + kRateWindowUs + 1);
  if (holdUntilUs_ > 0) wake = std::min(wake, holdUntilUs_);
  if (pendingCommands_ > 0) wake = std::min(wake, pendingSinceUs_ + kGatherUs);
  wakeAtUs_ = wake;
}

void RtpMidiWire::Receive(UdpSocket& socket, rtpmidi::Port port) {
  std::array<uint8_t, 2048> buffer;
  for (int i = 0; i < kMaxReadsPerPass; ++i) {
    const UdpSocket::Received r = socket.ReceiveFrom(buffer);
    if (r.result == -EAGAIN || r.result == -EWOULDBLOCK) return;
    if (r.result < 0) {
      // An ICMP error for an earlier datagram; the next read has the next datagram.
      if (r.result == -EINTR || r.result == -ECONNREFUSED || r.result == -EHOSTUNREACH ||
          r.result == -ENETUNREACH)
        continue;
      return;
    }
    arrival_ = clock_();
    if (r.truncated) {
      ++dropped_;  // no datagram of ours is this long: not one the partner meant for us
      continue;
    }
    uint16_t fromPort = 0;
    const IpAddress from = FromSockaddr(r.from, &fromPort);
    session_->OnDatagram(port, from, fromPort,
                         std::span<const uint8_t>(buffer.data(), static_cast<size_t>(r.result)),
                         arrival_);
    Drain();
  }
}

void RtpMidiWire::Drain() {
  for (;;) {
    std::vector<rtpmidi::Datagram> datagrams = session_->TakeDatagrams();
    std::vector<rtpmidi::Event> events = session_->TakeEvents();
    if (datagrams.empty() && events.empty()) break;
    for (const auto& d : datagrams) Send(d);
    for (auto& e : events) OnEvent(e);
    FileRepairs();
  }
}

void RtpMidiWire::Send(const rtpmidi::Datagram& d) {
  UdpSocket& socket = d.port == rtpmidi::Port::kControl ? control_ : data_;
  const int result = socket.SendTo(d.bytes, d.to, d.toPort);
  if (result == 0) {
    if (d.port == rtpmidi::Port::kData) {
      bandwidthBytes_ += static_cast<int64_t>(d.bytes.size());
      CountJournal(d.bytes);
    }
    return;
  }
  // The way to the partner is gone (no route, or its host says nothing listens there).
  if (session_->IsConnected() && !closing_ &&
      (result == -ENETUNREACH || result == -EHOSTUNREACH || result == -ECONNREFUSED)) {
    pathError_ = true;
  }
}

void RtpMidiWire::CountJournal(std::span<const uint8_t> datagram) {
  // An RTP packet (version 2; session commands start with 0xFFFF): the journal is what follows
  // its command section.
  if (datagram.size() < 13 || (datagram[0] >> 6) != 2) return;
  const size_t header = 12 + 4 * static_cast<size_t>(datagram[0] & 0x0F);
  if (datagram.size() <= header) return;
  rtpmidi::CommandSection section;
  if (!rtpmidi::ParseCommandSection(datagram.subspan(header), section) || !section.journal) return;
  const auto size = static_cast<uint32_t>(section.rest.size());
  ++journalSizes_[std::min<size_t>(size, journalSizes_.size() - 1)];
  journalLargest_ = std::max(journalLargest_, size);
  ++journalCount_;
}

void RtpMidiWire::OnEvent(rtpmidi::Event& event) {
  if (auto* pending = std::get_if<rtpmidi::InvitationPending>(&event)) {
    // The sender check: "IP Dest" gets in at once, and everyone with "Accept any".
    if (form_.CheckBoxAcceptAny.Checked() || FromDestination(pending->from)) {
      session_->Accept(now_);
      return;
    }
    pending_ = true;
    form_.InvitationAnswerGiven.store(InvitationNone);
    form_.EditInvitation.SetText("Invitation from " + pending->name + " (" +
                                 AddressText(pending->from) + ")");
    form_.ButtonAccept.SetEnabled(true);
    form_.ButtonRefuse.SetEnabled(true);
  } else if (std::holds_alternative<rtpmidi::InvitationWithdrawn>(event)) {
    ClearInvitation();
  } else if (auto* connected = std::get_if<rtpmidi::Connected>(&event)) {
    ClearInvitation();
    // A session of its own for the playback, even when the partner keeps its SSRC.
    source_ = session_->PartnerSsrc() ^ std::random_device{}();
    SetStatus("connected to " + connected->name + " (" + AddressText(connected->address) + ")");
  } else if (std::holds_alternative<rtpmidi::NoAnswer>(event)) {
    SetStatus("no answer");
  } else if (auto* refused = std::get_if<rtpmidi::Refused>(&event)) {
    SetStatus("refused by " + refused->name);
  } else if (auto* ended = std::get_if<rtpmidi::Ended>(&event)) {
    FileRepairs();
    switch (ended->reason) {
      case rtpmidi::EndReason::kPartnerLeft:
        SetStatus("partner left");
        break;
      case rtpmidi::EndReason::kSilent:
        SetStatus("partner left (silent for a minute)");
        break;
      case rtpmidi::EndReason::kLocal:
        if (pathError_) SetStatus("partner left (path error)");
        break;
    }
    pathError_ = false;
  } else if (auto* midi = std::get_if<rtpmidi::MidiIn>(&event)) {
    OnMidi(*midi);
  }
}

void RtpMidiWire::Stamp(EventRecord& record, int64_t momentUs) {
  ++received_;
  record.sequence = received_;
  record.time = static_cast<int32_t>(received_);
  record.arrivalUs = arrival_;
  record.momentUs = momentUs;
  record.source = source_;
}

void RtpMidiWire::OnMidi(const rtpmidi::MidiIn& midi) {
  if (midi.bytes.empty()) return;
  const uint8_t status = midi.bytes[0];
  // The reception path plays channel messages; SysEx and system messages stop here.
  if (status < 0x80 || status >= 0xF0) return;
  const uint8_t type = status & 0xF0;
  const uint8_t first = midi.bytes.size() > 1 ? midi.bytes[1] & 0x7F : 0;
  const uint8_t second = midi.bytes.size() > 2 ? midi.bytes[2] & 0x7F : 0;
  if (midi.repair && (type == 0x80 || type == 0x90)) {
    // The journal's notes: the same repair as our key snapshots, for the keys it names. A note
    // struck and released in what was lost comes as its strike, then its release: each its own
    // repair, so the strike is played rather than cancelled.
    const bool on = type == 0x90 && second != 0;
    if (repairs_ && !on && repairs_->keyKnown[first] && repairs_->keyOn[first]) FileRepairs();
    if (!repairs_) {
      repairs_ = MakeRecord(EventKeyRefresh);
      repairs_->partialKeys = true;
      Stamp(*repairs_, midi.atUs);
    }
    repairs_->keyKnown[first] = 1;
    repairs_->keyOn[first] = on;
    repairs_->keyRecent[first] = on;  // a held note the journal gives back is a recent one
    return;
  }
  FileRepairs();
  RecordPtr record = MakeRecord(EventMidiBare);
  record->status = type;
  record->note = first;
  record->velocity = second;
  record->channel = status & 0x0F;
  Stamp(*record, midi.atUs);
  if (!form_.ReceiveQueue.InsertOrdered(std::move(record))) ++dropped_;
}

void RtpMidiWire::FileRepairs() {
  if (repairs_ && !form_.ReceiveQueue.InsertOrdered(std::move(repairs_))) ++dropped_;
  repairs_.reset();
}

void RtpMidiWire::TakeAnswer() {
  if (!pending_) return;
  const int answer = form_.InvitationAnswerGiven.exchange(InvitationNone);
  if (answer == InvitationNone) return;
  ClearInvitation();
  if (answer == InvitationAccepted) {
    session_->Accept(now_);
  } else {
    session_->Refuse(now_);
  }
  Drain();
}

void RtpMidiWire::TakeSendQueue() {
  std::lock_guard lock(SendStepMutex());
  holdUntilUs_ = 0;
  const int64_t hold = form_.CaptureHoldUs.load();
  const bool buffered = form_.LocalBuffer.load() > 0;
  for (int n = 0; n < kMaxBatch; ++n) {
    EventRecord* record = form_.SendQueue.Get(0);
    if (!record) break;
    if (record->kind == EventMidi || record->kind == EventMidiBare) {
      // With a buffer, a captured event leaves a fixed time after its moment, as on our wire.
      if (hold > 0 && buffered && record->arrivalUs != 0 && now_ < record->arrivalUs + hold) {
        holdUntilUs_ = record->arrivalUs + hold;
        break;
      }
      const auto message = MessageOf(*record);
      if (message && session_->IsConnected()) {
        // Stamped with the moment it was played: a JACK event with its frame's.
        session_->SendMidi(*message, record->arrivalUs != 0 ? record->arrivalUs : now_);
        if (pendingCommands_++ == 0) pendingSinceUs_ = now_;
      }
    }
    // Chat, buffer announcements and key snapshots have no place on this wire.
    form_.SendQueue.DeleteFirst();
  }
  // Events played together (a chord) go in one packet: wait while the rest of them are still on
  // their way from the capture, a moment at most.
  if (pendingCommands_ > 0 &&
      (form_.OutgoingQueue.Count() == 0 || now_ - pendingSinceUs_ >= kGatherUs ||
       pendingCommands_ >= kMaxBatch)) {
    session_->Flush(now_);
    pendingCommands_ = 0;
    Drain();
  }
}

void RtpMidiWire::Show() {
  const rtpmidi::SessionCounters& c = session_->Counters();
  if (c.packetsIn != packetsInShown_) {
    packetsInShown_ = c.packetsIn;
    form_.EditNbrRec.SetText(std::to_string(c.packetsIn));
  }
  if (c.packetsOut != packetsOutShown_) {
    packetsOutShown_ = c.packetsOut;
    form_.EditNbrSend.SetText(std::to_string(c.packetsOut));
  }
  if (c.refused != refusedShown_) {
    refusedShown_ = c.refused;
    form_.EditNbrRefused.SetText(std::to_string(c.refused));
  }
  const uint64_t dropped = c.malformed + dropped_;
  if (dropped > droppedShown_) form_.CountDropped(dropped - droppedShown_);
  droppedShown_ = dropped;
  if (now_ - lastRateUs_ > kRateWindowUs) {
    lastRateUs_ = now_;
    // Bytes sent over a nominal 3 s window, in kilobytes (1000 bytes) per second.
    form_.EditDebit.SetText(
        FloatToStrGeneral(static_cast<double>(bandwidthBytes_) * (1.0 / 3000), 2, 2) + "KB/s");
    bandwidthBytes_ = 0;
  }
  rtp::LinkFigures f;
  f.journal = true;
  f.haveReport = session_->IsConnected() || c.packetsIn > 0;
  f.haveRtt = session_->RoundTripUs() >= 0;
  f.rttMs = f.haveRtt ? static_cast<double>(session_->RoundTripUs()) / 1000.0 : 0;
  f.haveReceived = c.packetsIn > 0;
  const uint64_t expected = c.packetsIn + c.lost;
  f.receivedFractionLost = expected > 0 ? static_cast<double>(c.lost) / expected : 0;
  f.receivedCumulativeLost = static_cast<int64_t>(c.lost);
  f.recovered = c.recovered;
  if (journalCount_ != journalCounted_) {
    journalCounted_ = journalCount_;
    uint64_t below = 0;
    for (size_t size = 0; size < journalSizes_.size(); ++size) {
      below += journalSizes_[size];
      if (2 * below >= journalCount_) {
        journalMedian_ = static_cast<uint32_t>(size);
        break;
      }
    }
  }
  f.journalMedianBytes = journalMedian_;
  f.journalLargestBytes = journalLargest_;
  form_.PublishLink(f);
  if (pathError_ && session_->IsConnected()) {
    session_->End(now_);
    Drain();
  }
}

void RtpMidiWire::SetStatus(const std::string& text) {
  if (text == status_) return;
  status_ = text;
  form_.EditStatutConnect.SetText(text);
}

void RtpMidiWire::ClearInvitation() {
  pending_ = false;
  form_.ButtonAccept.SetEnabled(false);
  form_.ButtonRefuse.SetEnabled(false);
  form_.InvitationAnswerGiven.store(InvitationNone);
  if (!form_.EditInvitation.Text().empty()) form_.EditInvitation.SetText("");
}

bool RtpMidiWire::FromDestination(const IpAddress& address) const {
  return dest_ && dest_->Unmapped() == address.Unmapped();
}

void RtpMidiWire::End() {
  if (ended_) return;
  ended_ = true;
  if (session_) {
    closing_ = true;
    now_ = arrival_ = clock_();
    const bool connected = session_->IsConnected();
    session_->End(now_);
    Drain();
    Show();
    if (connected) SetStatus("left the session");
  }
  control_.Close();
  data_.Close();
  ClearInvitation();
  form_.ChatOff.store(false);
  form_.ButtonChatSend.SetEnabled(true);
}

void MidiRTP::RunRtpMidi() {
  RtpMidiWire wire(form_, microClock_);
  if (!wire.Setup()) return;
  form_.SendQueue.SetWaker(&GetWaker());
  const int wakeFd = GetWaker().PollFd();
  while (!StopRequested() && form_.RtpActive.load()) {
    wire.Pass();
    // Until the session's next timer, a datagram, a record for SendQueue or a stop request; a
    // cleared RtpActive is seen within the longest wait.
    const int64_t nowUs = microClock_();
    int64_t waitUs = std::clamp<int64_t>(wire.WakeAtUs() - nowUs, 0,
                                         std::chrono::microseconds(kLongestWait).count());
    if (wakeFd < 0) waitUs = std::min<int64_t>(waitUs, 2000);
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    for (int fd : {wakeFd, wire.ControlFd(), wire.DataFd()}) {
      if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    }
    const timespec timeout{static_cast<time_t>(waitUs / 1'000'000),
                           static_cast<long>((waitUs % 1'000'000) * 1000)};
    if (::ppoll(fds.data(), count, &timeout, nullptr) > 0 && wakeFd >= 0 && fds[0].revents != 0)
      GetWaker().Consume();
  }
  form_.SendQueue.RemoveWaker(&GetWaker());
  wire.End();
}

}  // namespace tandem
