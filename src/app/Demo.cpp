#include "app/Demo.h"

#include <string>

#include "model/Convert.h"

namespace tandem {

namespace {

constexpr char kLoopback[] = "127.0.0.1";

}  // namespace

DemoPartner::DemoPartner(DemoPorts ports, uint32_t seed) {
  AppConfig config;
  config.midi = std::make_shared<NullMidiSystem>("the demo partner uses no MIDI system");
  config.midiIn.kind = PortChoice::Kind::None;
  config.midiOut.kind = PortChoice::Kind::None;
  config.seed = seed;
  config.generatorNoteLength = kNoteLength;
  app_ = std::make_unique<Application>(std::move(config));
  TFormCtl& form = app_->Form();
  form.SetAudition(false);
  form.EditMidiStatus.SetText("");
  form.EditDestIp.SetText(kLoopback);
  form.EditPortLocal.SetText(IntToStr(ports.send));
  form.EditPortDistant.SetText(IntToStr(ports.listen));
  form.SetAutomateLocalBuffer(true);
}

DemoPartner::~DemoPartner() {
  Shutdown();
}

void DemoPartner::Start() {
  TFormCtl& form = app_->Form();
  if (!form.RtpActive.load()) form.ButtonStartRTPClick();
  form.Button1Click();
}

void DemoPartner::Shutdown() {
  app_->Shutdown();
}

void StartDemoPeer(TFormCtl& form, DemoPorts ports) {
  form.EditDestIp.SetText(kLoopback);
  form.EditPortLocal.SetText(IntToStr(ports.listen));
  form.EditPortDistant.SetText(IntToStr(ports.send));
  if (!form.RtpActive.load()) form.ButtonStartRTPClick();
}

}  // namespace tandem
