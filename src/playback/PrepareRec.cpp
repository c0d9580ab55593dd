#include "playback/PrepareRec.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace tandem {

namespace {

constexpr int32_t kNoteOn = 144;
constexpr int32_t kNoteOff = 128;
constexpr int32_t kPolyPressure = 160;

bool IsChannelStatus(int32_t status) {
  return status >= 0x80 && status <= 0xE0 && (status & 0x0F) == 0;
}

// Program change and channel pressure carry one data byte; the second is never sent.
bool HasSecondByte(int32_t status) {
  return status != 0xC0 && status != 0xD0;
}

// A record from the network is only used when every byte it would put on the wire is a MIDI
// byte: above 127 a note would index past the key tables and a data byte would turn into a status.
bool Usable(int32_t status, int32_t note, int32_t velocity) {
  if (!IsChannelStatus(status)) return false;
  if (note < 0 || note > 127) return false;
  if (HasSecondByte(status) && (velocity < 0 || velocity > 127)) return false;
  return true;
}

// The MIDI standard's note-off: a note-on with velocity 0.
int32_t EffectiveStatus(int32_t status, int32_t velocity) {
  return status == kNoteOn && velocity == 0 ? kNoteOff : status;
}

}  // namespace

PrepareRecPass::PrepareRecPass(TFormCtl& form)
    : form_(form),
      transposeOut_(form.EditTransposeOut, 0, -127, 127),
      canalOut_(form.EditMidiCanalOut, 1, 1, 16),
      localCanal_(form.EditLocalCanal, 2, 1, 16) {}

int64_t PrepareRecPass::Waited(const EventRecord& record, int64_t now) {
  return now - record.arrivalUs;
}

int64_t PrepareRecPass::ReceivedDue(const EventRecord& r, bool steady, bool& late) {
  const int64_t buffer = int64_t{receptionBuffer_} * 1000;
  late = false;
  // Plain: once it has waited more than the buffer since its datagram was read.
  if (!steady) return r.arrivalUs + buffer + 1;
  // Within a millisecond of its moment nobody hears it as late; only beyond that is it counted,
  // or a buffer of 0 would count nearly every note.
  constexpr int64_t kHeardLateUs = 1000;
  // A sender whose clock we know already (RTP-MIDI's clock sync) needs no learnt mapping.
  if (r.momentUs != 0) {
    late = r.momentUs + buffer + kHeardLateUs < r.arrivalUs;
    return r.momentUs + buffer;
  }
  if (mapped_.arrival != r.arrivalUs || mapped_.source != r.source ||
      mapped_.sequence != r.sequence) {
    mapped_ = {r.source, r.sequence, r.arrivalUs,
               steady_.Map(r.source, static_cast<uint32_t>(r.time), r.arrivalUs)};
  }
  // Steady: at its sender's moment plus the buffer; if that had passed when it came, at once.
  const int64_t due = mapped_.moment + buffer;
  late = due + kHeardLateUs < r.arrivalUs;
  return due;
}

int64_t PrepareRecPass::Pass(int64_t now) {
  const int64_t localBuffer = int64_t{form_.LocalBuffer.load()} * 1000;
  receptionBuffer_ = form_.ReceptionBuffer.load();
  const bool steady = form_.CheckBoxSteady.Checked();
  // An output that places events within its audio period (JACK, the synthesizer) takes them this
  // much before their moment; the others get them at it.
  const int64_t lead = std::max<int64_t>(0, form_.MidiOutHandle.LeadUs());
  now_ = now;
  const int64_t countLeft = CountArrived(now);

  // What each due test saw of a head it left queued: how long it still has to wait.
  int64_t recLeft = kNoDeadlineUs;
  int64_t locLeft = kNoDeadlineUs;
  int64_t recDue = 0;
  bool late = false;

  // Examining and removing the head is one locked step: a record inserted ahead of it meanwhile
  // stays queued for a later pass.
  RecordPtr received = form_.ReceiveQueue.TakeFirstIf([&](const EventRecord& r) {
    recDue = ReceivedDue(r, steady, late);
    recLeft = recDue - lead - now;
    return recLeft <= 0;
  });
  if (received) {
    if (late && (received->kind == EventMidi || received->kind == EventMidiBare)) {
      form_.EditNbrLate.SetText(std::to_string(counters_.late.fetch_add(1) + 1));
    }
    dueUs_ = recDue;
    ActOnReceived(*received);
  }

  int64_t locDue = 0;
  RecordPtr local = form_.LocalQueue.TakeFirstIf([&](const EventRecord& r) {
    locDue = r.arrivalUs + localBuffer + 1;
    locLeft = locDue - lead - now;
    return locLeft <= 0;
  });
  if (local && local->kind == EventMidi) {
    dueUs_ = locDue;
    PlayEvent(local->note, local->status, local->velocity, local->sequence, local->time, true);
  }
  dueUs_ = 0;

  if ((received && form_.ReceiveQueue.Count() > 0) || (local && form_.LocalQueue.Count() > 0))
    return 0;
  const int64_t wait =
      std::min({received ? kNoDeadlineUs : recLeft, local ? kNoDeadlineUs : locLeft,
                aheadCount_ > 0 ? CountArrived(now) : countLeft});
  return std::clamp<int64_t>(wait, 1, kNoDeadlineUs);
}

int64_t PrepareRecPass::CountArrived(int64_t now) {
  while (aheadCount_ > 0) {
    const int64_t left = ahead_[aheadHead_] - now;
    if (left > 0) return left;
    aheadHead_ = (aheadHead_ + 1) % kMaxAhead;
    --aheadCount_;
    counters_.played.fetch_add(1);
  }
  return kNoDeadlineUs;
}

void PrepareRecPass::NoteSource(uint32_t source) {
  // A new session of the peer starts its sequence numbers and times afresh; stamps of the old
  // one would make the keys ignore it. What sounds stays known, so it can still be ended.
  if (haveSource_ && source != lastSource_) {
    for (KeyState& k : keyStates) {
      k.lastSequence = 0;
      k.lastTime = 0;
    }
    counters_.sourceChanges.fetch_add(1);
  }
  haveSource_ = true;
  lastSource_ = source;
}

void PrepareRecPass::ActOnReceived(const EventRecord& r) {
  NoteSource(r.source);
  switch (r.kind) {
    case EventMidiBare:
    case EventMidi: {
      if (!Usable(r.status, r.note, r.velocity)) {
        counters_.invalid.fetch_add(1);
        form_.CountDropped(1);  // a datagram that came to nothing, shown with the others
        return;
      }
      const int32_t status = EffectiveStatus(r.status, r.velocity);
      if (status != kNoteOn && status != kNoteOff) {
        PlayEvent(r.note, status, r.velocity, r.sequence, r.time, false);
        return;
      }
      const KeyState& key = keyStates[static_cast<size_t>(r.note)];
      const bool on = status == kNoteOn;
      if (on != key.sounding && key.lastSequence < r.sequence) {
        // Only a note-on's velocity is a fair guess for notes that a snapshot starts; a note-off
        // often has velocity 0, which would start them silent.
        if (on) lastVelocity = r.velocity;
        PlayEvent(r.note, status, r.velocity, r.sequence, r.time, false);
      } else {
        counters_.stale.fetch_add(1);
      }
      if (r.kind == EventMidi) RepairKeys(r);
      return;
    }
    case EventKeyRefresh:
      RepairKeys(r);
      return;
    case EventBuffer:
      receptionBuffer_ = r.bufferMs;
      form_.ReceptionBuffer.store(r.bufferMs);
      return;
    default:
      return;
  }
}

void PrepareRecPass::RepairKeys(const EventRecord& r) {
  const auto time = static_cast<uint32_t>(r.time);
  for (int32_t k = 0; k < 128; ++k) {
    if (r.partialKeys && r.keyKnown[static_cast<size_t>(k)] == 0) continue;
    KeyState& key = keyStates[static_cast<size_t>(k)];
    if (!(key.lastTime < time)) continue;  // nothing newer than what is known of the key
    key.lastTime = time;
    const bool on = r.keyOn[static_cast<size_t>(k)] != 0;
    if (key.sounding == on) continue;
    if (!on) {
      PlayEvent(k, kNoteOff, lastVelocity, r.sequence, r.time, false);
    } else if (r.keyRecent[static_cast<size_t>(k)] != 0) {
      // A key held for a second or more is not started late.
      PlayEvent(k, kNoteOn, lastVelocity, r.sequence, r.time, false);
    }
  }
}

void PrepareRecPass::PlayEvent(int32_t note, int32_t status, int32_t velocity, uint32_t sequence,
                               int32_t time, bool isLocal) {
  if (!Usable(status, note, velocity)) {
    counters_.invalid.fetch_add(1);
    return;
  }
  status = EffectiveStatus(status, velocity);
  const auto key = static_cast<size_t>(note);
  const bool isNote = status == kNoteOn || status == kNoteOff;

  if (!isLocal && isNote) {
    KeyState& state = keyStates[key];
    if (state.sounding == (status == kNoteOn)) return;
    state.sounding = status == kNoteOn;
    state.lastSequence = sequence;
    state.lastTime = static_cast<uint32_t>(time);
  }

  // The output note and channel by the current settings.
  int32_t outNote = note;
  const bool transposable = isNote || status == kPolyPressure;
  if (transposable && form_.CheckBoxTransposeOut.Checked()) outNote = note + transposeOut_.Get();
  int32_t shownChannel = 1;
  if (!isLocal && form_.CheckBoxMidiCanalOut.Checked()) shownChannel = canalOut_.Get();
  if (isLocal && form_.CheckBoxLocalMIDI.Checked()) shownChannel = localCanal_.Get();

  // A note-off, or pressure on a held note, goes where its note-on went, whatever the settings
  // are now, so no note is left hanging on the synthesizer.
  SentNote& sent = (isLocal ? sentLocal_ : sentReceived_)[key];
  if (status == kNoteOff || status == kPolyPressure) {
    if (sent.state == SentNote::Sent) {
      outNote = sent.outNote;
      shownChannel = sent.channel + 1;
    }
    if (status == kNoteOff) {
      const bool wasSuppressed = sent.state == SentNote::Suppressed;
      sent.state = SentNote::None;
      form_.KeysPlayed[key].store(0);
      if (wasSuppressed) {
        counters_.outOfRange.fetch_add(1);
        return;  // its note-on never went out either
      }
    }
  }

  if (outNote < 0 || outNote > 127) {
    if (status == kNoteOn) {
      sent.state = SentNote::Suppressed;
      if (isLocal) form_.KeysPlayed[key].store(0);
    }
    counters_.outOfRange.fetch_add(1);
    return;
  }
  if (status == kNoteOn) {
    sent = {SentNote::Sent, static_cast<uint8_t>(outNote), static_cast<uint8_t>(shownChannel - 1)};
    form_.KeysPlayed[key].store(isLocal ? 0 : 1);
  }

  const uint32_t data2 = HasSecondByte(status) ? static_cast<uint32_t>(velocity) : 0;
  const uint32_t word = (data2 << 16) | (static_cast<uint32_t>(outNote) << 8) |
                        static_cast<uint32_t>(status + shownChannel - 1);
  // Recorded at the moment it sounds, not after the output took its time with it: its due
  // moment when it went out ahead of it, else now.
  const bool early = dueUs_ > now_;
  const auto sentAt = early ? ClockUsReaches(dueUs_) : SessionRecorder::Clock::now();
  // No open device: the rest goes on as if it sounded. One that went away says so, once.
  if (!form_.MidiOutHandle.ShortMsgAt(word, dueUs_)) {
    const std::string failure = form_.MidiOutHandle.Failure();
    const std::string status = "MIDI output: " + failure + " (press \"Audition\" to reconnect)";
    if (!failure.empty() && form_.EditMidiStatus.Text() != status) {
      form_.EditMidiStatus.SetText(status);
    }
  }
  if (!isLocal) {
    form_.Recorder.Take(SessionRecorder::Partner, static_cast<int32_t>(word & 0xFF), outNote,
                        static_cast<int32_t>(data2), sentAt);
  }
  if (early && aheadCount_ < kMaxAhead) {
    // Counted when it sounds; kept in order of moments, which a later one never precedes.
    const size_t last = (aheadHead_ + aheadCount_ + kMaxAhead - 1) % kMaxAhead;
    ahead_[(aheadHead_ + aheadCount_) % kMaxAhead] =
        aheadCount_ > 0 ? std::max(ahead_[last], dueUs_) : dueUs_;
    ++aheadCount_;
  } else {
    counters_.played.fetch_add(1);
  }

  form_.EditMsgOut.SetText(std::to_string(status));
  form_.EditNoteOut.SetText(std::to_string(outNote));
  form_.EditVelociteOut.SetText(std::to_string(velocity));
  form_.EditCanalOut.SetText(std::to_string(shownChannel));
}

ThreadPrepareRec::ThreadPrepareRec(TFormCtl& form, MicroClockFn clock)
    : Worker("ThreadPrepareRec"), form_(form), clock_(std::move(clock)), pass_(form) {}

void ThreadPrepareRec::Run() {
  // A due record must not wait for a busy core's next tick: the pass is short and bounded, so
  // it may run ahead of ordinary work where the system lets it.
  RaisePriority();
  // Producers wake the thread, so a record waits no longer than its due time says.
  form_.ReceiveQueue.SetWaker(&GetWaker());
  form_.LocalQueue.SetWaker(&GetWaker());
  for (;;) {
    const int64_t now = clock_();
    const int64_t wait = pass_.Pass(now);
    const auto longest = wait == kNoDeadlineUs ? kIdleWait : kLongestWait;
    if (wait == 0 ? StopRequested() : !SleepUntil(NextPassTimeUs(clock_, now, wait, longest)))
      break;
  }
  form_.ReceiveQueue.RemoveWaker(&GetWaker());
  form_.LocalQueue.RemoveWaker(&GetWaker());
}

}  // namespace tandem
