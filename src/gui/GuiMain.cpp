#include "gui/GuiMain.h"

#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QSettings>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/Application.h"
#include "gui/MainWindow.h"
#include "midi/RtMidiSystem.h"
#include "net/Dtls.h"

namespace tandem {

namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

void ShowStatus(Application& app, const std::string& midiMessage) {
  // With no MIDI system at all a port's error only repeats why; otherwise keep what the form
  // said about the output it could not open. The built-in synthesizer needs no MIDI system.
  std::string output = app.Form().EditMidiStatus.Text();
  bool synth = output.rfind("built-in synthesizer", 0) == 0;
  bool repeat = output.empty() || (app.Midi().Name() == "none" && !synth);
  app.Form().EditMidiStatus.SetText(repeat ? midiMessage : midiMessage + " | " + output);
}

int Run(int argc, char** argv, const char* screenshot, const DemoPorts* demo) {
  QApplication qtApp(argc, argv);
  QApplication::setApplicationName("tandem");

  std::unique_ptr<Application> app;
  try {
    std::string midiMessage;
    AppConfig config;
    config.midi = MakeMidiSystem("auto", "tandem", midiMessage);
    config.nearby = NearbyMode::kBrowse;
    app = std::make_unique<Application>(std::move(config));
    ShowStatus(*app, midiMessage);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tandem: %s\n", e.what());
    if (screenshot == nullptr)
      QMessageBox::critical(nullptr, "Tandem", QString::fromStdString(e.what()));
    return 1;
  }

  std::unique_ptr<DemoPartner> partner;
  if (demo != nullptr) {
    try {
      partner = std::make_unique<DemoPartner>(*demo);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tandem: %s\n", e.what());
      app->Shutdown();
      return 1;
    }
    StartDemoPeer(app->Form(), *demo);
    partner->Start();
  }

  int status = 0;
  {
    MainWindow window(*app);
    // The screenshot and the demo show the window as it starts; only real use is remembered.
    const bool remember = screenshot == nullptr && demo == nullptr;
    QSettings settings("Tandem", "Tandem");
    if (remember) {
      window.RestoreSettings(settings);
      // This installation's certificate, made once beside the settings: its fingerprint is what
      // a partner checks. A failure only costs that; sessions with a passphrase need none.
      const QString folder = QFileInfo(settings.fileName()).absolutePath();
      try {
        net::DtlsIdentity::LoadOrCreate(std::filesystem::path(folder.toStdString()) /
                                        "identity.pem");
      } catch (const std::exception& e) {
        std::fprintf(stderr, "tandem: no certificate identity: %s\n", e.what());
      }
    }
    if (screenshot != nullptr) {
      window.show();
      // The picture shows how the search for nearby sessions stands, once the daemon answered
      // or was found missing; the same line goes to standard output, for scripts.
      for (int i = 0; i < 100 && !app->NearbyKnown(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      QApplication::processEvents();
      window.Tick();
      QApplication::processEvents();
      std::printf("Nearby: %s\n", app->Form().EditNearby.Text().c_str());
      if (!window.grab().save(QString::fromLocal8Bit(screenshot), "PNG")) {
        std::fprintf(stderr, "tandem: could not write the screenshot to %s\n", screenshot);
        status = 1;
      }
    } else {
      window.show();
      status = QApplication::exec();
      if (remember) window.StoreSettings(settings);
    }
    // Every thread stops before a widget goes away; the threads only ever touch the model.
    // The partner goes first, so nothing arrives for a peer that has stopped.
    if (partner) partner->Shutdown();
    app->Shutdown();
  }
  return status;
}

}  // namespace

bool DisplayAvailable() {
  if (EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY")) return true;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return platform != nullptr && std::string(platform) == "offscreen";
}

int RunGui(int argc, char** argv) {
  const char* screenshot = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--screenshot") {
      if (i + 1 >= argc) {
        std::fprintf(stderr,
                     "tandem: --screenshot needs a file name (tandem --screenshot FILE.png)\n");
        return 2;
      }
      screenshot = argv[++i];
    } else {
      std::fprintf(stderr, "tandem: unknown option %s (see tandem --help)\n", argv[i]);
      return 2;
    }
  }
  if (screenshot != nullptr) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  } else if (!DisplayAvailable()) {
    std::fputs(
        "tandem: no display (DISPLAY and WAYLAND_DISPLAY are unset); use tandem --headless\n",
        stderr);
    return 1;
  }
  try {
    return Run(argc, argv, screenshot, nullptr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tandem: %s\n", e.what());
    return 1;
  }
}

int RunGuiDemo(int argc, char** argv, DemoPorts ports) {
  if (!DisplayAvailable()) {
    std::fputs("tandem: no display for the demo's window\n", stderr);
    return 1;
  }
  try {
    // Qt is given only the program name: the options are the demo's.
    int qtArgc = argc > 0 ? 1 : 0;
    return Run(qtArgc, argv, nullptr, &ports);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tandem: %s\n", e.what());
    return 1;
  }
}

}  // namespace tandem
