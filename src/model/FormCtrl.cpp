#include "model/FormCtrl.h"

#include <unistd.h>

#include <cstring>

namespace tandem {

namespace {

// The synthesizer's messages name it already; a port's say only what went wrong.
std::string OutputStatus(const std::string& error) {
  return error.rfind("built-in synthesizer: ", 0) == 0 ? error : "MIDI output: " + error;
}

}  // namespace

std::string DefaultSessionName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "Tandem";
  std::string name = host;
  // The short name: the domain only makes it longer on the partner's screen.
  if (auto dot = name.find('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return "Tandem on " + name;
}

TFormCtl::TFormCtl(MidiOutFactory outFactory) {
  // The queues and key arrays exist (members above); the permanent threads are started by the
  // application once this constructor has returned, so they never see a half-built model.
  for (int k = 0; k < 128; ++k) {
    KeysPlayed[k].store(0);
    KeysSent[k].store(0);
  }
  LocalBuffer.store(StrToInt(EditBufferLocal.Text()));
  ReadMidiRunning.store(false);
  RtpActive.store(false);
  MidiOutHandle.SetFactory(std::move(outFactory));
  // "Audition" shows checked, so the output is open from the start.
  if (CheckBoxMidiPlay.Checked()) {
    std::string error;
    if (!MidiOutHandle.Open(&error)) EditMidiStatus.SetText(OutputStatus(error));
  }
}

void TFormCtl::ButtonReadMidiClick() {
  // A capture thread that gave up (no device, device busy) leaves the flag set; the next press
  // then tries again instead of only clearing it.
  if (ReadMidiRunning.load() && services_ && !services_->MidiReadAlive()) {
    ReadMidiRunning.store(false);
  }
  bool running = !ReadMidiRunning.load();
  ReadMidiRunning.store(running);
  if (running && services_) services_->StartMidiRead();
}

void TFormCtl::ButtonStartRTPClick() {
  // Likewise a session whose set-up failed has ended: the press starts a new one.
  if (RtpActive.load() && services_ && !services_->RtpAlive()) RtpActive.store(false);
  if (!RtpActive.load()) {
    RtpActive.store(true);  // before the thread starts, so its first pass finds it set
    if (services_) services_->StartRtp();
  } else {
    if (services_) services_->StopRtp();
    RtpActive.store(false);
  }
}

void TFormCtl::Button1Click() {
  if (services_) services_->StartGenerator();
}

void TFormCtl::ButtonInvertPortClick() {
  std::string local = EditPortLocal.Text();
  EditPortLocal.SetText(EditPortDistant.Text());
  EditPortDistant.SetText(local);
}

void TFormCtl::ButtonSetLocalBufferClick() {
  if (!ButtonSetLocalBuffer.Enabled()) return;
  LocalBuffer.store(StrToInt(EditBufferLocal.Text()));
}

void TFormCtl::CheckBoxAutomateLocalBufferClick() {
  ButtonSetLocalBuffer.SetEnabled(!CheckBoxAutomateLocalBuffer.Checked());
}

void TFormCtl::SetAutomateLocalBuffer(bool checked) {
  CheckBoxAutomateLocalBuffer.SetChecked(checked);
  CheckBoxAutomateLocalBufferClick();
}

void TFormCtl::CheckBoxMidiPlayClick() {
  if (CheckBoxMidiPlay.Checked()) {
    std::string error;
    if (MidiOutHandle.Open(&error)) {
      EditMidiStatus.SetText("");
    } else {
      EditMidiStatus.SetText(OutputStatus(error));
    }
  } else {
    MidiOutHandle.Close();
  }
}

void TFormCtl::SetAudition(bool checked) {
  // An output whose server went away is still shown checked: the press that would close it
  // opens it afresh instead, which reconnects once the server is back.
  if (!checked && !MidiOutHandle.Failure().empty()) checked = true;
  CheckBoxMidiPlay.SetChecked(checked);
  CheckBoxMidiPlayClick();
}

void TFormCtl::SetVolume(int32_t percent) {
  TrackBarVolume.SetPosition(percent);
  MidiOutHandle.SetVolume(TrackBarVolume.Position());
}

void TFormCtl::SetRecording(bool checked, const std::string& path) {
  std::string error;
  if (checked) {
    if (Recorder.Recording()) return;
    if (Recorder.Start(path, error)) {
      EditMidiStatus.SetText("Recording to " + Recorder.Path());
    } else {
      EditMidiStatus.SetText("Cannot record: " + error);
    }
  } else if (!Recorder.Path().empty()) {
    std::string where = Recorder.Path();
    if (Recorder.Stop(error)) {
      EditMidiStatus.SetText("Recorded to " + where);
    } else {
      EditMidiStatus.SetText("Recording ended early: " + error);
    }
  }
  CheckBoxRecord.SetChecked(Recorder.Recording());
}

void TFormCtl::CheckRecording() {
  if (!CheckBoxRecord.Checked() || Recorder.Recording()) return;
  SetRecording(false);
}

void TFormCtl::Step(UpDown& upDown, EditBox& edit, int delta) {
  edit.SetText(IntToStr(upDown.Step(delta)));
}

void TFormCtl::UpDownLocalCanalChanging(int delta) {
  Step(UpDownLocalCanal, EditLocalCanal, delta);
}
void TFormCtl::UpDownTransposeLocalValueChanging(int delta) {
  Step(UpDownTransposeLocalValue, EditTransposeLocalValue, delta);
}
void TFormCtl::UpDownMidiCanalOutChanging(int delta) {
  Step(UpDownMidiCanalOut, EditMidiCanalOut, delta);
}
void TFormCtl::UpDownTransposeOutChanging(int delta) {
  Step(UpDownTransposeOut, EditTransposeOut, delta);
}

void TFormCtl::ButtonAcceptClick() {
  if (!ButtonAccept.Enabled()) return;
  InvitationAnswerGiven.store(InvitationAccepted);
}

void TFormCtl::ButtonRefuseClick() {
  if (!ButtonRefuse.Enabled()) return;
  InvitationAnswerGiven.store(InvitationRefused);
}

void TFormCtl::ButtonChatSendClick() {
  if (ChatOff.load()) {
    MemoChat.Append(kChatOffLine);
    return;
  }
  auto record = MakeRecord(EventChat);
  std::string text = EditChat.Text();
  text.resize(Utf8Prefix(text, kChatMaxChars).size());
  std::memcpy(record->text.data(), text.data(), text.size());  // the rest stays NUL
  MemoChat.SetColor(kRgbRed);
  MemoChat.Append("I : " + text);
  MemoChat.SetColor(kRgbBlue);
  EditChat.SetText("");
  OutgoingQueue.Add(std::move(record));
}

void TFormCtl::EditChatKeyPress(char key) {
  if (key == '\r') ButtonChatSendClick();
}

void TFormCtl::CountDropped(uint64_t n) {
  if (n == 0) return;
  std::lock_guard lock(droppedMutex_);
  dropped_ += n;
  EditNbrDropped.SetText(std::to_string(dropped_));
}

void TFormCtl::ResetDropped() {
  std::lock_guard lock(droppedMutex_);
  dropped_ = 0;
  EditNbrDropped.SetText("0");
}

uint64_t TFormCtl::Dropped() const {
  std::lock_guard lock(droppedMutex_);
  return dropped_;
}

void TFormCtl::PublishLink(const rtp::LinkFigures& figures) {
  std::lock_guard lock(linkMutex_);
  link_ = figures;
}

void TFormCtl::SetConnectionPath(std::shared_ptr<rtp::DatagramPath> path) {
  std::lock_guard lock(linkMutex_);
  path_ = std::move(path);
}

std::shared_ptr<rtp::DatagramPath> TFormCtl::ConnectionPath() const {
  std::lock_guard lock(linkMutex_);
  return path_;
}

void TFormCtl::ChooseNearby(const NearbyService& service) {
  SetProtocol(service.kind == ServiceKind::kRtpMidi ? ProtocolRtpMidi : ProtocolTandem);
  EditDestIp.SetText(service.address);
  EditPortDistant.SetText(IntToStr(service.port));
}

void TFormCtl::SetNearby(std::vector<NearbyService> services) {
  std::lock_guard lock(nearbyMutex_);
  if (services == nearby_) return;
  nearby_ = std::move(services);
  nearbyVersion_.fetch_add(1);
}

std::vector<NearbyService> TFormCtl::Nearby() const {
  std::lock_guard lock(nearbyMutex_);
  return nearby_;
}

rtp::LinkFigures TFormCtl::Link() const {
  std::lock_guard lock(linkMutex_);
  return link_;
}

}  // namespace tandem
