// The headless front end: the same model and threads as the window, driven from the command line,
// reporting on standard output, chatting from standard input, stopped by SIGINT or SIGTERM.
#include "headless/Headless.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Application.h"
#include "app/Connection.h"
#include "app/Demo.h"
#include "headless/Options.h"
#include "headless/StatusPrinter.h"
#include "midi/RtMidiSystem.h"
#include "net/IpAddress.h"
#include "platform/Worker.h"

namespace tandem {

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(50);

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);  // a pipe reader sees each line at once
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads standard input into lines without blocking shut-down: a stop request wakes its wait,
// and it stops at end of file, which ends chat input but not the program.
class StdinReader : public Worker {
 public:
  StdinReader() : Worker("StdinReader") {
    GetWaker().PollFd();  // before Start, so no stop request comes before it exists
  }
  ~StdinReader() override { Stop(); }

  std::vector<std::string> TakeLines() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 protected:
  void Run() override {
    std::string partial;
    char buffer[4096];
    const int wakeFd = GetWaker().PollFd();
    while (!StopRequested()) {
      // Without a wake-up descriptor, the stop request is looked at every 100 ms.
      pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      int ready = ::poll(p, wakeFd >= 0 ? 2 : 1, wakeFd >= 0 ? 1000 : 100);
      if (ready < 0 && errno != EINTR) return;
      if (ready > 0 && p[1].revents != 0) GetWaker().Consume();
      if (ready <= 0 || p[0].revents == 0) continue;
      ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // end of input
      partial.append(buffer, static_cast<size_t>(n));
      for (size_t eol; (eol = partial.find('\n')) != std::string::npos;) {
        Push(partial.substr(0, eol));
        partial.erase(0, eol + 1);
      }
      // A line longer than a chat line is sent in pieces rather than held without bound.
      if (partial.size() > 4096) Push(std::exchange(partial, {}));
    }
    if (!partial.empty()) Push(partial);
  }

 private:
  void Push(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }

  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Waits for the RTP thread to report its set-up, so "RTP Initialisé" or the failure is printed
// before the first send replaces it.
void AwaitRtpSetup(TFormCtl& form, StatusPrinter& printer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (form.EditStatutConnect.Text() == "----" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // A set-up that took a while (a passphrase's key) finds a record waiting and sends it at once,
  // maybe before we look, and an RTP-MIDI session says at once whether it listens or invites;
  // the session was up all the same, and scripts wait for the line.
  const std::string status = form.EditStatutConnect.Text();
  if (status != "----" && status != "RTP Initialisé" && status != "Erreur RTP" &&
      status != "Bad IP address specified") {
    PrintLine("RTP Status: RTP Initialisé");
  }
  printer.Poll(SteadyMs());
}

// Waits up to `wait` for SIGINT or SIGTERM; true when one came.
bool StopSignalled(const sigset_t& stopSignals, std::chrono::milliseconds wait) {
  timespec t{0, std::chrono::nanoseconds(wait).count()};
  int sig = sigtimedwait(&stopSignals, nullptr, &t);
  return sig == SIGINT || sig == SIGTERM;
}

// The demo without a window: the partner plays into this peer for the options' time, and what
// this peer shows is printed, the OUT column and the reception buffer included.
int RunDemo(Application& app, StatusPrinter& printer, const HeadlessOptions& options,
            const sigset_t& stopSignals) {
  TFormCtl& form = app.Form();
  DemoPorts ports;
  if (options.listenPort) ports.listen = *options.listenPort;
  if (options.sendPort) ports.send = *options.sendPort;
  DemoPartner partner(ports, options.seed != 0 ? options.seed + 1 : 0);
  PrintLine("Demo: a partner on port " + std::to_string(ports.send) +
            " plays into this peer on port " + std::to_string(ports.listen) + " for " +
            std::to_string(options.demoSeconds) + " s");
  StartDemoPeer(form, ports);
  AwaitRtpSetup(form, printer);
  partner.Start();

  TFormCtl& other = partner.App().Form();
  std::string partnerStatus = other.EditStatutConnect.Text();
  int32_t shownBuffer = form.ReceptionBuffer.load();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.demoSeconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || StopSignalled(stopSignals, std::min(left, kPollPeriod))) break;
    form.CheckRecording();
    printer.Poll(SteadyMs());
    int32_t buffer = form.ReceptionBuffer.load();
    if (buffer != shownBuffer) {
      shownBuffer = buffer;
      PrintLine("Reception Buffer: " + std::to_string(buffer) + " ms");
    }
    // The partner is silent while it works; it speaks up when its session does not.
    std::string status = other.EditStatutConnect.Text();
    if (status != partnerStatus) {
      partnerStatus = status;
      if (status != "envoi correct") PrintLine("Partner RTP Status: " + status);
    }
  }
  // The partner stops first, so this peer's last counters include everything it was sent.
  partner.Shutdown();
  app.Shutdown();
  printer.Poll(SteadyMs());
  printer.FlushCounters();
  return 0;
}

// The first line of standard input, read a byte at a time so nothing after it is taken from the
// chat reader that follows.
std::string FirstStdinLine() {
  std::string line;
  char c = 0;
  while (line.size() < 4096 && ::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Sets up the invitation side of the session; nothing (the reason said) when it cannot start.
std::unique_ptr<Connection> StartConnection(TFormCtl& form, const HeadlessOptions& options) {
  IceSettings settings;
  const auto stun = ParseServer(options.stun.empty() ? kDefaultStun : options.stun);
  if (!stun) {
    std::fprintf(stderr, "tandem: bad --stun '%s'\n", options.stun.c_str());
    return nullptr;
  }
  settings.stun = *stun;
  if (!options.turn.empty()) {
    const auto turn = ParseServer(options.turn);
    if (!turn) {
      std::fprintf(stderr, "tandem: bad --turn '%s'\n", options.turn.c_str());
      return nullptr;
    }
    settings.turn = *turn;
    settings.turnUser = options.turnUser;
    settings.turnPassword = options.turnPassword.value_or("");
  }
  auto connection = std::make_unique<Connection>(form, settings);
  try {
    if (options.invite) {
      PrintLine("Invitation: " + connection->Invite());
    } else {
      std::string code;
      if (*options.join == "-") {
        code = FirstStdinLine();
      } else {
        std::ifstream in(*options.join);
        if (!in || !std::getline(in, code)) {
          std::fprintf(stderr, "tandem: cannot read the invitation in '%s'\n",
                       options.join->c_str());
          return nullptr;
        }
      }
      std::string error;
      const auto answer = connection->Join(code, error);
      if (!answer) {
        PrintLine("Connection: failed: " + error);
        return nullptr;
      }
      PrintLine("Answer: " + *answer);
    }
  } catch (const std::exception& e) {
    PrintLine(std::string("Connection: failed: ") + e.what());
    return nullptr;
  }
  return connection;
}

// A line typed on standard input: a command when it starts with "/", else chat.
void TakeLine(const std::string& line, TFormCtl& form, Connection* connection) {
  std::string chat = line;
  if (line.rfind("//", 0) == 0) {
    chat = line.substr(1);
  } else if (line.rfind("/answer", 0) == 0) {
    std::string error;
    if (!connection) {
      PrintLine("Connection: no invitation of ours to answer (start with --invite)");
    } else if (!connection->Answer(line.substr(7), error)) {
      PrintLine("Connection: answer refused: " + error);
    }
    return;
  } else if (line == "/gen") {
    form.Button1Click();
    return;
  } else if (line == "/accept" || line == "/refuse") {
    if (!form.ButtonAccept.Enabled()) {
      PrintLine("Invitation: none waits");
    } else if (line == "/accept") {
      form.ButtonAcceptClick();
    } else {
      form.ButtonRefuseClick();
    }
    return;
  } else if (line.rfind("/", 0) == 0) {
    PrintLine(
        "Commands: /answer CODE, /gen, /accept, /refuse, //text (sends the chat line \"/text\")");
    return;
  }
  form.EditChat.SetText(chat);
  form.ButtonChatSendClick();
}

// A --dest that names a session on the local network: its address and port once the list has
// it. One not listed by the time the network has answered is taken as a host name, as before.
void ChooseByName(Application& app, const std::string& name) {
  TFormCtl& form = app.Form();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    app.PollNearby();
    const std::vector<NearbyService> list = form.Nearby();
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const NearbyService& s) { return s.name == name; });
    if (it != list.end()) {
      form.ChooseNearby(*it);
      PrintLine("Nearby: chose " + NearbyLine(*it) + " \u00b7 " + NearbyEndpoint(*it));
      return;
    }
    if (app.NearbySettled() || std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int RunHeadless(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = ParseOptions(args, error);
  if (!options) {
    std::fprintf(stderr, "tandem: %s\nTry 'tandem --help' for the options.\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }

  if (!ReadSettings(*options, error)) {
    std::fprintf(stderr, "tandem: %s\n", error.c_str());
    return 2;
  }

  // Every thread started from here on inherits the blocked signals; only the main loop below
  // takes them, so a signal never interrupts a worker halfway through a pass.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed output pipe must not kill the session

  AppConfig config;
  config.midiIn = PortChoice::Parse(options->midiIn);
  config.midiOut = PortChoice::Parse(options->midiOut);
  const bool outputIsPort = config.midiOut.kind == PortChoice::Kind::Named ||
                            config.midiOut.kind == PortChoice::Kind::Virtual;
  if (options->demo && !outputIsPort) {
    // The demo captures nothing and sounds on the synthesizer: a MIDI system would only talk.
    config.midi = std::make_shared<NullMidiSystem>();
  } else {
    std::string midiMessage;
    config.midi = MakeMidiSystem(options->midiApi, options->clientName, midiMessage);
    if (midiMessage.rfind("MIDI: ", 0) == 0) midiMessage.erase(0, 6);
    if (!midiMessage.empty()) PrintLine("MIDI: " + midiMessage);
  }
  config.synth.renderPath = options->render;
  config.seed = options->seed;
  config.generatorInterval = std::chrono::milliseconds(options->generatorIntervalMs);
  // A --dest that is no address may be a session's name: the list is needed to find it.
  const bool destByName = options->dest && !ParseIpAddress(*options->dest);
  if (!options->demo) {
    config.nearby = options->nearby || destByName ? NearbyMode::kBrowse : NearbyMode::kAnnounce;
  }

  Application app(config);
  TFormCtl& form = app.Form();
  for (const std::string& key : ApplyOptions(*options, form))
    std::fprintf(stderr, "tandem: settings: %s is unusable, its default stays\n", key.c_str());
  // Without a MIDI system the line above has said so; opening its ports would only say it again.
  // The built-in synthesizer needs none, and says itself why it cannot sound.
  bool noMidi = app.Midi().Name() == "none";
  if ((noMidi && outputIsPort) || config.midiOut.kind == PortChoice::Kind::None) {
    form.SetAudition(false);
    form.EditMidiStatus.SetText("");
  }
  if (!options->record.empty()) {
    form.SetRecording(true, options->record);
    // The session goes on without a recording: only the file is missing.
    if (!form.Recorder.Recording())
      std::fprintf(stderr, "tandem: %s\n", form.EditMidiStatus.Text().c_str());
  }
  StatusPrinter printer(form, PrintLine, options->verbose || options->demo);
  if (options->demo) return RunDemo(app, printer, *options, stopSignals);
  printer.ListNearby(options->nearby);
  if (destByName) ChooseByName(app, *options->dest);

  std::unique_ptr<Connection> connection;
  if (options->invite || options->join) {
    // The session starts once the connection finds a path.
    connection = StartConnection(form, *options);
    if (!connection) {
      app.Shutdown();
      return 1;
    }
  } else if (!options->noRtp) {
    form.ButtonStartRTPClick();
    AwaitRtpSetup(form, printer);
  }
  if (!noMidi && config.midiIn.kind != PortChoice::Kind::None) form.ButtonReadMidiClick();
  for (int i = 0; i < options->generators; ++i) form.Button1Click();

  StdinReader input;
  input.Start();
  for (;;) {
    if (StopSignalled(stopSignals, kPollPeriod)) break;
    form.CheckRecording();
    for (auto& line : input.TakeLines()) TakeLine(line, form, connection.get());
    if (connection) {
      if (auto text = connection->Poll()) PrintLine("Connection: " + *text);
    }
    app.PollNearby();
    printer.Poll(SteadyMs());
  }
  input.Stop();
  app.Shutdown();
  connection.reset();
  printer.Poll(SteadyMs());
  printer.FlushCounters();
  return 0;
}

}  // namespace tandem
