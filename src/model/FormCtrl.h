// The window's state model: every setting and display by its control name, the shared values the
// worker threads publish, the four queues, and the commands the user runs. No toolkit here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "events/Listmidi.h"
#include "midi/Midi.h"
#include "model/Controls.h"
#include "net/DatagramPath.h"
#include "net/Discovery.h"
#include "record/SessionRecorder.h"
#include "rtp/RtpSession.h"

namespace tandem {

using KeyArray = std::array<std::atomic<int32_t>, 128>;

enum Retransmission { RetransNone = 0, RetransInMsg = 1, RetransConstant = 2, RetransVariable = 3 };

// Which wire a session speaks: our own, or RTP-MIDI for a partner on a Mac, an iPad, Windows or
// rtpmidid.
enum Protocol { ProtocolTandem = 0, ProtocolRtpMidi = 1 };

// Said in the chat while a session runs on a wire that carries no chat.
inline constexpr const char* kChatOffLine = "Chat is off: RTP-MIDI carries no chat";

// The invitation of a stranger, as the player answered it.
enum InvitationAnswer { InvitationNone = 0, InvitationAccepted = 1, InvitationRefused = 2 };

// "Tandem on HOST": our session name until the player gives another.
std::string DefaultSessionName();

// What the commands start and stop. The application implements it; tests record the calls.
class FormServices {
 public:
  virtual ~FormServices() = default;
  virtual void StartMidiRead() = 0;
  // Whether the capture thread started last is still running (false once it gave up).
  virtual bool MidiReadAlive() = 0;
  virtual void StartRtp() = 0;
  virtual void StopRtp() = 0;
  // Whether the session thread started last is still running (false after a failed set-up).
  virtual bool RtpAlive() = 0;
  virtual void StartGenerator() = 0;
};

class TFormCtl {
 public:
  // Apple's peers show session names of up to 63 bytes.
  static constexpr size_t kSessionNameMaxBytes = 63;

  // Construction opens the MIDI output through `outFactory`, since "Audition" starts checked.
  explicit TFormCtl(MidiOutFactory outFactory = {});
  TFormCtl(const TFormCtl&) = delete;
  TFormCtl& operator=(const TFormCtl&) = delete;

  void SetServices(FormServices* services) { services_ = services; }

  // ---- Commands (GUI thread). Those that convert a setting throw UserError and change nothing.
  void ButtonReadMidiClick();
  void ButtonStartRTPClick();
  void Button1Click();  // "MIDI Gen"
  void ButtonInvertPortClick();
  void ButtonSetLocalBufferClick();
  // Run after "Auto" changed state; SetAutomateLocalBuffer changes it and runs this.
  void CheckBoxAutomateLocalBufferClick();
  void SetAutomateLocalBuffer(bool checked);
  // Run after "Audition" changed state; SetAudition changes it and runs this.
  void CheckBoxMidiPlayClick();
  void SetAudition(bool checked);
  // Moves "Volume" (clamped to its range) and sets the output's level to it.
  void SetVolume(int32_t percent);
  // Step handlers: delta +1 for the up arrow, -1 for the down arrow.
  void UpDownLocalCanalChanging(int delta);
  void UpDownTransposeLocalValueChanging(int delta);
  void UpDownMidiCanalOutChanging(int delta);
  void UpDownTransposeOutChanging(int delta);
  void ButtonChatSendClick();
  void EditChatKeyPress(char key);
  void SetRetransmission(Retransmission mode) { RadioGroup1.Select(mode); }
  void SetProtocol(Protocol protocol) { RadioGroupProtocol.Select(protocol); }
  Protocol SelectedProtocol() const {
    return RadioGroupProtocol.Selected() == ProtocolRtpMidi ? ProtocolRtpMidi : ProtocolTandem;
  }
  // The player's answer to the invitation EditInvitation shows; the session thread takes it.
  void ButtonAcceptClick();
  void ButtonRefuseClick();
  // Puts a session from the Nearby list into "IP Dest" and "Send Port" (and its wire into
  // "Protocol"), as if the player had typed them.
  void ChooseNearby(const NearbyService& service);
  // Starts recording the session into `path`, or ends the recording; the status line says
  // where it goes, or why it cannot, and "Record" shows whether it runs.
  void SetRecording(bool checked, const std::string& path = {});
  // Unchecks "Record" once the recording stopped on its own (a full disk) and says why. Timer.
  void CheckRecording();

  // ---- Group "MIDI"
  EditBox EditByte1{"---"}, EditByte2{"---"}, EditByte3{"---"}, EditCanal{"---"};
  EditBox EditMsgOut{"---"}, EditNoteOut{"---"}, EditVelociteOut{"---"}, EditCanalOut{"---"};
  Button ButtonReadMidi{"Read MIDI"};
  Button Button1{"MIDI Gen"};
  CheckBox CheckBoxMidiPlay{"Audition", true};
  CheckBox CheckBoxRecord{"Record", false};
  // Not a control of the original window: the built-in synthesizer's level, in percent.
  Slider TrackBarVolume{0, kMaxVolume, kDefaultVolume};
  // Not a control of the original window: where the MIDI layer says what it could not do.
  EditBox EditMidiStatus{""};

  // ---- Group "RTP"
  Memo MemoIpAddr{"Local IP information"};
  EditBox EditDestIp{"127.0.0.1"};
  EditBox EditPortLocal{"2000"};
  EditBox EditPortDistant{"3000"};
  // Not controls of the original window: who may reach us. The passphrase (empty: none, the
  // packets travel in clear) protects the session; without "Accept any", datagrams are taken
  // only from the address "IP Dest" names. Both are read when a session starts.
  EditBox EditPassphrase{""};
  // Off: the passphrase is never written to the settings file.
  CheckBox CheckBoxRememberPassphrase{"Remember", false};
  CheckBox CheckBoxAcceptAny{"Accept any", false};
  // Not controls of the original window: the wire of the next session, and our name in RTP-MIDI
  // sessions. Both are read when a session starts.
  RadioGroup RadioGroupProtocol{ProtocolTandem};
  RadioButton RadioButtonTandem{RadioGroupProtocol, ProtocolTandem, "Tandem"};
  RadioButton RadioButtonRtpMidi{RadioGroupProtocol, ProtocolRtpMidi, "RTP-MIDI"};
  EditBox EditSessionName{DefaultSessionName(), kSessionNameMaxBytes};
  // Not controls of the original window: an RTP-MIDI invitation from an address other than
  // "IP Dest" waits for the player ("Invitation from NAME (ADDRESS)"; empty: none waits).
  // Written by the session thread; Accept and Refuse are enabled while one waits.
  EditBox EditInvitation{""};
  Button ButtonAccept{"Accept", false};
  Button ButtonRefuse{"Refuse", false};
  std::atomic<int> InvitationAnswerGiven{InvitationNone};
  // Set by the session thread while its wire carries no chat; "Send" then says so instead.
  std::atomic<bool> ChatOff{false};
  Button ButtonInvertPort{"Invert Port"};
  Button ButtonStartRTP{"Start RTP "};
  // Connecting through routers from invitation codes (ICE), beside the typed address.
  Button ButtonInvite{"Invite"};
  Button ButtonJoin{"Join"};
  EditBox EditStun{"stun.l.google.com:19302"};  // HOST:PORT of the STUN server
  EditBox EditTurn{""};                         // HOST:PORT of a TURN relay; empty: none
  EditBox EditTurnUser{""};
  EditBox EditTurnPassword{""};
  EditBox EditStatutConnect{"----"};
  EditBox EditStatutReceive{"----"};
  EditBox EditNbrRec{"----"};
  EditBox EditNbrSend{"----"};
  EditBox EditDebit{"---"};
  // Not a control of the original window: received datagrams that came to nothing.
  EditBox EditNbrDropped{"0"};
  // Not a control of the original window: datagrams refused as not our partner's, by address or
  // by passphrase. Written by the session thread only.
  EditBox EditNbrRefused{"0"};
  // Not a control of the original window: round trip, loss and jitter from the RTCP reports,
  // "---" until the partner's first report (ShowLink fills it in).
  EditBox EditLink{"---"};
  // Not a control of the original window: how the session is protected ("clear", "passphrase")
  // and whether its handshake is done. Written by the session thread only.
  EditBox EditSecurity{"---"};

  // Not a control of the original window: sessions announced on the local network, and how
  // the search stands ("searching", "announced as NAME", "unavailable (no Avahi daemon)").
  // Filled by the application from its discovery; any thread.
  EditBox EditNearby{""};
  void SetNearby(std::vector<NearbyService> services);
  std::vector<NearbyService> Nearby() const;
  // Bumped by every SetNearby that changed the list.
  uint64_t NearbyVersion() const { return nearbyVersion_.load(); }

  // ---- Local panel
  Gauge GaugeSpeedLocal{1000, 500};
  EditBox EditSpeed{"0"};
  Gauge GaugeBufferLocal{120, 0};
  EditBox EditBufferLocal{"0"};
  CheckBox CheckBoxAutomateLocalBuffer{"Auto", false};
  Button ButtonSetLocalBuffer{"Set"};
  CheckBox CheckBoxLocalMIDI{"Local Channel", false};
  EditBox EditLocalCanal{"2"};
  UpDown UpDownLocalCanal{1, 16, 2};
  CheckBox CheckBoxTranspose{"Transpose", false};
  EditBox EditTransposeLocalValue{"0"};
  UpDown UpDownTransposeLocalValue{-12, 12, 0};

  // ---- Reception panel
  Gauge GaugeBufferRemote{120, 0};
  // Not controls of the original window: play received events at their sender's moments, and
  // how many of them came too late for theirs.
  CheckBox CheckBoxSteady{"Steady", false};
  EditBox EditNbrLate{"0"};
  CheckBox CheckBoxMidiCanalOut{"Receive Canal", true};
  EditBox EditMidiCanalOut{"1"};
  UpDown UpDownMidiCanalOut{1, 16, 1};
  CheckBox CheckBoxTransposeOut{"Transpose", false};
  EditBox EditTransposeOut{"0"};
  UpDown UpDownTransposeOut{-12, 12, 0};

  // ---- Retransmission
  RadioGroup RadioGroup1{RetransNone};
  RadioButton RadioButtonNoTransm{RadioGroup1, RetransNone, "None"};
  RadioButton RadioButtonInMsg{RadioGroup1, RetransInMsg, "In Normal Msg"};
  RadioButton RadioButtonCst{RadioGroup1, RetransConstant, "Constant Rate"};
  RadioButton RadioButtonVariable{RadioGroup1, RetransVariable, "Variable Rate"};
  EditBox EditBaseValue{"5"};
  EditBox EditMulValue{"2"};

  // ---- Chat
  Memo MemoChat{"Riro-ZUV-Eraz"};
  EditBox EditChat{"", kChatMaxChars};
  Button ButtonChatSend{"Send"};

  // ---- Controls with no effect
  EditBox EditFactorADSR{"1"}, EditAttack{"0"}, EditRelease{"0"}, EditProgram{"Grand Piano"};

  // ---- Non-control state, in construction order
  KeyArray KeysPlayed{};
  KeyArray KeysSent{};
  ThreadMidiList OutgoingQueue, SendQueue, ReceiveQueue, LocalQueue;
  GuardedMidiOut MidiOutHandle;
  SessionRecorder Recorder;
  std::atomic<float> LocalSpeed{0.0f};
  std::atomic<int32_t> LocalBuffer{0};
  std::atomic<int32_t> ReceptionBuffer{0};
  std::atomic<bool> ReadMidiRunning{false};
  // How long after its moment a captured event is sure to have come in, when the MIDI input
  // stamps events with their moment (JACK: from its frame); 0 otherwise. With a buffer, events
  // are sent that long after their moment, so a peer that plays them a buffer after arrival
  // keeps their spacing rather than the input's period steps.
  std::atomic<int64_t> CaptureHoldUs{0};
  std::atomic<bool> RtpActive{false};

  // Counts received datagrams dropped for any reason (malformed, unknown type, unusable values,
  // ReceiveQueue full) and shows the total in EditNbrDropped. Any thread.
  void CountDropped(uint64_t n);
  // Back to 0 when a new session starts, like "# Received".
  void ResetDropped();
  uint64_t Dropped() const;

  // The session thread publishes the link figures (empty ones when a session starts); the
  // displays and benches read them. Any thread.
  void PublishLink(const rtp::LinkFigures& figures);
  rtp::LinkFigures Link() const;

  // A connection made from invitation codes: while one is set, the next session runs over it
  // instead of the typed address and ports. Any thread.
  void SetConnectionPath(std::shared_ptr<rtp::DatagramPath> path);
  std::shared_ptr<rtp::DatagramPath> ConnectionPath() const;
  // The session over that path met a partner whose certificate is not the one its code named;
  // the path works, the connection does not. Set by the session thread, read by the Connection
  // line.
  std::atomic<bool> PathCertificateRefused{false};

 private:
  void Step(UpDown& upDown, EditBox& edit, int delta);

  FormServices* services_ = nullptr;
  // Held while the total and its text change together, so the text never goes backwards.
  mutable std::mutex droppedMutex_;
  uint64_t dropped_ = 0;
  mutable std::mutex linkMutex_;
  rtp::LinkFigures link_;
  std::shared_ptr<rtp::DatagramPath> path_;  // under linkMutex_
  mutable std::mutex nearbyMutex_;
  std::vector<NearbyService> nearby_;
  std::atomic<uint64_t> nearbyVersion_{0};
};

}  // namespace tandem
