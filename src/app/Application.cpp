#include "app/Application.h"

#include <cstdlib>
#include <random>
#include <string_view>

#include "playback/PrepareRec.h"
#include "send/PrepareSend.h"
#include "sources/MidiGen.h"
#include "sources/MidiRead.h"
#include "transport/MidiRtp.h"

namespace tandem {

Application::Application(AppConfig config) : config_(std::move(config)) {
  if (!config_.midi) config_.midi = std::make_shared<NullMidiSystem>();
  nextSeed_ = config_.seed != 0 ? config_.seed : std::random_device{}();
  auto midi = config_.midi;
  form_ = std::make_unique<TFormCtl>([this, midi](std::string& error) {
    PortChoice out = Ports().second;
    switch (out.kind) {
      case PortChoice::Kind::Default:
      case PortChoice::Kind::Synth: {
        // The sound font loads behind the model's back, so neither start-up nor a click on
        // "Audition" waits for it; a font that fails says so on the MIDI status line.
        SynthOptions synth = config_.synth;
        synth.loadInBackground = true;
        synth.onLoadError = [this](const std::string& why) { form_->EditMidiStatus.SetText(why); };
        return OpenSynthOutput(synth, error);
      }
      case PortChoice::Kind::None:
        error = "no MIDI output chosen";
        return std::unique_ptr<MidiOutPort>();
      default:
        return midi->OpenOutput(out, error);
    }
  });
  form_->SetServices(this);
  form_->ReceiveQueue.SetCapacity(config_.receiveQueueCapacity);
  prepareSend_ = std::make_unique<ThreadPrepareSend>(*form_);
  prepareSend_->Start();
  prepareRec_ = std::make_unique<ThreadPrepareRec>(*form_);
  prepareRec_->Start();
  // Test suites that run many peers keep them off a daemon that may announce on a real network.
  const char* nearby = std::getenv("TANDEM_NEARBY");
  if (nearby != nullptr && std::string_view(nearby) == "off") config_.nearby = NearbyMode::kOff;
  if (config_.nearby != NearbyMode::kOff)
    discovery_ = std::make_unique<Discovery>(config_.nearby == NearbyMode::kBrowse);
}

Application::~Application() {
  Shutdown();
}

void Application::SetPorts(PortChoice in, PortChoice out) {
  std::lock_guard lock(portsMutex_);
  config_.midiIn = std::move(in);
  config_.midiOut = std::move(out);
}

std::pair<PortChoice, PortChoice> Application::Ports() {
  std::lock_guard lock(portsMutex_);
  return {config_.midiIn, config_.midiOut};
}

void Application::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // Producers first, then the consumers, so no thread hands a record to one that has stopped.
  form_->RtpActive.store(false);
  form_->ReadMidiRunning.store(false);
  for (auto& t : rtps_) t->Stop();
  for (auto& t : midiReads_) t->Stop();
  for (auto& t : generators_) t->Stop();
  prepareSend_->Stop();
  prepareRec_->Stop();
  // Everything played is in the recording now: it gets its end.
  form_->SetRecording(false);
  rtps_.clear();
  midiReads_.clear();
  generators_.clear();
  form_->MidiOutHandle.Close();
  // Off the network before the program goes.
  discovery_.reset();
  for (auto* q :
       {&form_->OutgoingQueue, &form_->SendQueue, &form_->ReceiveQueue, &form_->LocalQueue})
    q->Clear();
}

void Application::Reap() {
  // Finished threads are joined and freed here, on the GUI thread, never by themselves.
  auto reap = [](auto& list, bool keepLast) {
    size_t end = keepLast && !list.empty() ? list.size() - 1 : list.size();
    for (size_t i = 0; i < end;) {
      if (!list[i]->Alive()) {
        list[i]->Stop();
        list.erase(list.begin() + static_cast<long>(i));
        --end;
      } else {
        ++i;
      }
    }
  };
  reap(rtps_, true);
  reap(midiReads_, true);
  reap(generators_, false);
}

void Application::StartMidiRead() {
  if (shutDown_) return;
  Reap();
  PortChoice in = Ports().first;
  midiReads_.push_back(std::make_unique<ThreadMidiRead>(*form_, *config_.midi, in));
  midiReads_.back()->Start();
}

bool Application::MidiReadAlive() {
  return !midiReads_.empty() && midiReads_.back()->Alive();
}

void Application::StartRtp() {
  if (shutDown_) return;
  // Only one session may own the ports. One stopped a moment ago (Start RTP clicked twice)
  // still holds them until its next pass, so it is finished first; that takes a few ms.
  for (auto& t : rtps_) t->Stop();
  rtps_.clear();
  Reap();
  rtps_.push_back(std::make_unique<MidiRTP>(*form_));
  rtps_.back()->Start();
  // Read as the session reads them, so a port typed while it runs is not what is announced.
  listening_.reset();
  auto port = TryStrToInt(form_->EditPortLocal.Text());
  std::string name = form_->EditSessionName.Text();
  if (name.empty()) name = DefaultSessionName();
  // RTP-MIDI is announced on its control port, our own wire on its listen port: the same
  // setting. Never our wire as RTP-MIDI: a Mac would invite it and fail.
  const ServiceKind kind =
      form_->SelectedProtocol() == ProtocolRtpMidi ? ServiceKind::kRtpMidi : ServiceKind::kTandem;
  if (!form_->ConnectionPath() && port && *port > 0 && *port <= 65535)
    listening_ = Listening{kind, name, static_cast<uint16_t>(*port)};
}

bool Application::NearbySettled() const {
  if (!discovery_) return true;
  const DiscoveryView view = discovery_->View();
  return view.tried && (!view.available || view.settled);
}

void Application::PollNearby() {
  if (!discovery_) return;
  std::optional<Listening> wanted;
  if (form_->RtpActive.load() && RtpAlive()) wanted = listening_;
  if (wanted != announced_) {
    announced_ = wanted;
    if (wanted) {
      discovery_->Announce(wanted->kind, wanted->name, wanted->port);
    } else {
      discovery_->Withdraw();
    }
  }
  const uint64_t version = discovery_->Version();
  if (version == discoverySeen_) return;
  discoverySeen_ = version;
  DiscoveryView view = discovery_->View();
  form_->EditNearby.SetText(view.status);
  form_->SetNearby(std::move(view.services));
}

void Application::StopRtp() {
  if (!rtps_.empty()) rtps_.back()->RequestStop();
}

bool Application::RtpAlive() {
  return !rtps_.empty() && rtps_.back()->Alive();
}

void Application::StartGenerator() {
  if (shutDown_) return;
  Reap();
  generators_.push_back(std::make_unique<MidiGenerator>(
      form_->OutgoingQueue, nextSeed_++, MidiGenerator::kNotes, config_.generatorInterval,
      config_.generatorNoteLength, config_.generatorNoteLength.count() > 0));
  generators_.back()->Start();
}

}  // namespace tandem
