#include "sources/MidiRead.h"

#include <algorithm>
#include <string>

#include "model/Convert.h"

namespace tandem {

namespace {

constexpr uint8_t kNoteOnStatus = 0x90;

}  // namespace

ThreadMidiRead::ThreadMidiRead(TFormCtl& form, MidiSystem& midi, PortChoice input)
    : Worker("ThreadMidiRead"), form_(form), midi_(midi), input_(std::move(input)) {}

bool ThreadMidiRead::MidiInputCallback(TFormCtl& form, const uint8_t* bytes, size_t length,
                                       int32_t now, int64_t nowUs) {
  if (bytes == nullptr || length == 0) return false;
  const uint8_t s = bytes[0];
  // System and real-time messages (clock, active sensing...) are not part of the performance;
  // a first byte below 0x80 is a data byte, not a message.
  if (s < 0x80 || s >= 0xF0) return false;
  const size_t needed = ShortMessageLength(s);
  if (length < needed) return false;
  for (size_t i = 1; i < needed; ++i) {
    if (bytes[i] > 0x7F) return false;
  }
  const uint8_t d1 = bytes[1];
  const uint8_t d2 = needed >= 3 ? bytes[2] : 0;

  // The "IN" column shows what arrived, before any conversion.
  form.EditByte1.SetText(std::to_string(s));
  form.EditCanal.SetText(std::to_string((s & 0x0F) + 1));
  form.EditByte2.SetText(std::to_string(d1));
  form.EditByte3.SetText(std::to_string(d2));

  // A note-on with velocity 0 is how most keyboards end a note; the rest of the system sees it
  // as the note-off it is.
  int32_t status = s & 0xF0;
  if (status == kNoteOnStatus && d2 == 0) status = 0x80;

  auto record = MakeRecord(EventMidi);
  record->time = now;
  record->arrivalUs = nowUs;
  record->status = status;
  record->channel = s & 0x0F;
  record->note = d1;
  record->velocity = d2;

  if (form.CheckBoxLocalMIDI.Checked()) {
    // The local copy goes first, so local audition never lags the peer's copy.
    auto copy = MakeRecord(EventMidi);
    copy->time = now;
    copy->arrivalUs = nowUs;
    copy->status = status;
    auto channel = TryStrToInt(form.EditLocalCanal.Text());
    copy->channel = channel && *channel >= 1 && *channel <= 16 ? *channel : 0;
    copy->note = d1;
    copy->velocity = d2;
    form.LocalQueue.Add(std::move(copy));
  }
  form.OutgoingQueue.Add(std::move(record));
  return true;
}

void ThreadMidiRead::Receive(const uint8_t* bytes, size_t length, int64_t atUs) {
  // The moment it was played: from the MIDI system when it knows it (JACK's frame), else stamped
  // here on its thread. Local audition waits from it, and the RTP timestamp counts from it.
  const int64_t nowUs = atUs > 0 ? atUs : ClockUs();
  const int32_t now = atUs > 0 ? ClockMsAt(atUs) : ClockMs();
  {
    std::lock_guard lock(inboxMutex_);
    if (inboxCount_ == kInboxSize || bytes == nullptr) {
      dropped_.fetch_add(1);
      return;
    }
    Pending& p = inbox_[(inboxHead_ + inboxCount_) % kInboxSize];
    p.length = static_cast<uint8_t>(std::min<size_t>(length, p.bytes.size()));
    std::copy_n(bytes, p.length, p.bytes.begin());
    p.time = now;
    p.timeUs = nowUs;
    ++inboxCount_;
  }
  GetWaker().Notify();
}

void ThreadMidiRead::Drain() {
  for (;;) {
    Pending p;
    {
      std::lock_guard lock(inboxMutex_);
      if (inboxCount_ == 0) return;
      p = inbox_[inboxHead_];
      inboxHead_ = (inboxHead_ + 1) % kInboxSize;
      --inboxCount_;
    }
    if (MidiInputCallback(form_, p.bytes.data(), p.length, p.time, p.timeUs)) {
      captured_.fetch_add(1);
    } else {
      dropped_.fetch_add(1);
    }
  }
}

void ThreadMidiRead::Run() {
  // On the road of every note, with short bounded passes: ahead of ordinary work where allowed.
  RaisePriority();
  std::string error;
  auto port = midi_.OpenInput(
      input_,
      [this](const uint8_t* bytes, size_t length, int64_t atUs) { Receive(bytes, length, atUs); },
      error);
  if (!port) {
    // The thread ends; the next "Read MIDI" press sees it gone and tries again.
    form_.EditMidiStatus.SetText("MIDI input: " + (error.empty() ? "cannot be opened" : error));
    return;
  }
  if (form_.EditMidiStatus.Text().rfind("MIDI input:", 0) == 0) form_.EditMidiStatus.SetText("");
  form_.CaptureHoldUs.store(port->DeliveredWithinUs());

  // Every message wakes the thread; without any, the flag is looked at every poll interval.
  while (form_.ReadMidiRunning.load()) {
    Drain();
    const std::string failure = port->Failure();
    if (!failure.empty()) {
      // The thread ends; the next "Read MIDI" press sees it gone and opens the input afresh.
      form_.EditMidiStatus.SetText("MIDI input: " + failure +
                                   " (press \"Read MIDI\" to reconnect)");
      break;
    }
    if (!Sleep(kPollInterval)) break;
  }
  port.reset();  // no callback runs once this returns
  Drain();
}

}  // namespace tandem
