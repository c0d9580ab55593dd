// The session thread's RTP-MIDI wire: an RTP-MIDI session (Apple's session protocol with the
// recovery journal) over two UDP sockets, control on "Listen Port" and data on the next one.
// The protocol itself lives in rtpmidi::Session; this moves its datagrams through the sockets,
// answers invitations by the sender check or the player's choice, sends SendQueue and files what
// arrives into ReceiveQueue, and keeps the window's displays.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "model/FormCtrl.h"
#include "net/IpAddress.h"
#include "net/UdpSocket.h"
#include "rtpmidi/Session.h"
#include "send/Fonctionutile.h"

namespace tandem {

class RtpMidiWire {
 public:
  RtpMidiWire(TFormCtl& form, MicroClockFn clock);
  // Leaves the session (BY) and gives the chat back.
  ~RtpMidiWire();
  RtpMidiWire(const RtpMidiWire&) = delete;
  RtpMidiWire& operator=(const RtpMidiWire&) = delete;

  // Binds the sockets and, when "IP Dest" is set, invites it. False, with the reason shown, when
  // the session cannot run.
  bool Setup();
  // Takes every waiting datagram, the player's answer to an invitation, SendQueue and the
  // protocol's timers, and brings the displays up to date.
  void Pass();
  // ClockUs when the next pass is due, arrivals and new records aside.
  int64_t WakeAtUs() const { return wakeAtUs_; }
  int ControlFd() const { return control_.Fd(); }
  int DataFd() const { return data_.Fd(); }
  // Says BY and closes the sockets.
  void End();

 private:
  void Receive(UdpSocket& socket, rtpmidi::Port port);
  void Drain();  // sends the session's datagrams and acts on its events
  void Send(const rtpmidi::Datagram& datagram);
  void CountJournal(std::span<const uint8_t> datagram);
  void OnEvent(rtpmidi::Event& event);
  void OnMidi(const rtpmidi::MidiIn& midi);
  // Orders a received record after the ones before it, for the partner's session.
  void Stamp(EventRecord& record, int64_t momentUs);
  void FileRepairs();
  void TakeAnswer();
  void TakeSendQueue();
  void Show();
  void SetStatus(const std::string& text);
  void ClearInvitation();
  bool FromDestination(const IpAddress& address) const;

  TFormCtl& form_;
  MicroClockFn clock_;
  UdpSocket control_, data_;
  std::unique_ptr<rtpmidi::Session> session_;
  std::string name_;
  std::optional<IpAddress> dest_;
  uint16_t destPort_ = 0;
  bool pending_ = false;  // an invitation waits for the player
  bool ended_ = false;
  bool closing_ = false;    // we are leaving: what fails now ends nothing more
  bool pathError_ = false;  // a send found no way to the partner
  int64_t now_ = 0;         // the pass's time
  int64_t arrival_ = 0;     // when the datagram being taken was read
  int64_t wakeAtUs_ = 0;

  // Received events are ordered by a count of our own: the session hands them over in order.
  uint32_t received_ = 0;
  uint32_t source_ = 0;  // the partner's SSRC, salted per session so a new one starts afresh
  // The journal's note repairs of the packet being taken, filed together as one key snapshot.
  RecordPtr repairs_;

  // SendQueue: commands handed to the session and not yet sent, since when, and a captured
  // event held back until its moment plus the capture's hold (0: none).
  int pendingCommands_ = 0;
  int64_t pendingSinceUs_ = 0;
  int64_t holdUntilUs_ = 0;

  // Displays, as last shown.
  uint64_t packetsInShown_ = UINT64_MAX;
  uint64_t packetsOutShown_ = UINT64_MAX;
  uint64_t refusedShown_ = UINT64_MAX;
  uint64_t droppedShown_ = 0;
  uint64_t dropped_ = 0;  // datagrams that came to nothing here (cut, unusable)
  // How many packets we sent carried a journal of each size (the last slot: that or more).
  std::array<uint32_t, 2048> journalSizes_{};
  uint32_t journalLargest_ = 0;
  uint64_t journalCount_ = 0, journalCounted_ = 0;
  uint32_t journalMedian_ = 0;
  int64_t lastRateUs_ = 0;
  int64_t bandwidthBytes_ = 0;
  std::string status_;
};

}  // namespace tandem
