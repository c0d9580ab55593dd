// What an idle peer costs: CPU time per second and resident memory of `tandem --headless` with a
// running session and nothing played, over 20 s, alone and with a peer, beside three threads that
// only sleep 2, 2 and 3 ms in a loop, measured at the same time. One more peer keeps the Nearby
// list open (--nearby): run inside a network namespace with an Avahi daemon to see its cost with
// one (tests/nearby/nearby.py sets one up).
//
// With --jack, what JACK adds to an idle peer, on a private dummy server at each period given: a
// bare JACK client (a MIDI port each way, a callback that only clears its output) alone first,
// then a peer with both JACK ports open beside the same peer without MIDI, each thread on its own.
//
// usage: idle [--seconds N] [--protocol tandem|rtpmidi]
//             [--jack FRAMES[,FRAMES...] [--rounds N] [--realtime] [--tandem PATH]]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "JackHelpers.h"
#include "TwoPeers.h"

namespace tandem::bench {
namespace {

struct Child {
  std::string name;
  pid_t pid = -1;
};

// Starts `args` with standard input on a pipe that stays open and says nothing (as a terminal
// nobody types into) and standard output discarded.
pid_t Spawn(const std::vector<std::string>& args, int stdinFd) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::dup2(stdinFd, STDIN_FILENO);
  int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// CPU time of every thread of the process, in ns (the scheduler's own account, to the ns).
int64_t CpuNs(pid_t pid) {
  int64_t total = 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(dir + "/" + e->d_name + "/schedstat");
    int64_t ns = 0;
    if (f >> ns) total += ns;
  }
  ::closedir(d);
  return total;
}

// utime + stime from /proc/PID/stat, in clock ticks: a coarse cross-check of the above.
int64_t CpuTicks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(f, line);
  auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  int64_t utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return utime + stime;
}

int64_t RssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (f >> key) {
    if (key == "VmRSS:") {
      int64_t kb = 0;
      f >> kb;
      return kb;
    }
    f.ignore(4096, '\n');
  }
  return -1;
}

// The scheduler's account of each thread of a process, by thread id: its name, CPU time in ns and
// how many times it ran.
struct ThreadCpu {
  std::string name;
  int64_t ns = 0;
  int64_t runs = 0;
};
std::map<int, ThreadCpu> ThreadsCpu(pid_t pid) {
  std::map<int, ThreadCpu> threads;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return threads;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    ThreadCpu t;
    std::ifstream(dir + "/" + e->d_name + "/comm") >> t.name;
    int64_t waited = 0;
    if (std::ifstream(dir + "/" + e->d_name + "/schedstat") >> t.ns >> waited >> t.runs)
      threads[std::atoi(e->d_name)] = t;
  }
  ::closedir(d);
  return threads;
}

int SleepLoop() {
  std::vector<std::thread> threads;
  for (int ms : {2, 2, 3}) {
    threads.emplace_back([ms] {
      for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    });
  }
  for (auto& t : threads) t.join();
  return 0;
}

// A JACK client that does nothing: the cost of being woken every period.
int BareJack() {
  jack_client_t* client = jack_client_open("idle-bare", JackNoStartServer, nullptr);
  if (!client) return 1;
  static jack_port_t* out =
      jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(
      client,
      [](jack_nframes_t frames, void*) {
        jack_midi_clear_buffer(jack_port_get_buffer(out, frames));
        return 0;
      },
      nullptr);
  if (jack_activate(client) != 0) return 1;
  for (;;) ::pause();
}

// The server's MIDI ports, as jack_lsp lists them.
std::string JackPorts() {
  std::string ports;
  if (FILE* p = ::popen("jack_lsp 2>/dev/null", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, p)) ports += line;
    ::pclose(p);
  }
  return ports;
}

// Each process's CPU share over `seconds`, in % of a core, and each thread's that took any, with
// its CPU time a run.
std::vector<double> Measure(const std::vector<Child>& children, int seconds) {
  std::vector<std::map<int, ThreadCpu>> before;
  for (const auto& c : children) before.push_back(ThreadsCpu(c.pid));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = Ms(Clock::now() - start) / 1000.0;
  std::vector<double> shares;
  for (size_t i = 0; i < children.size(); ++i) {
    double total = 0;
    std::string lines;
    for (const auto& [tid, t] : ThreadsCpu(children[i].pid)) {
      const ThreadCpu was = before[i].count(tid) ? before[i][tid] : ThreadCpu{};
      const double ns = static_cast<double>(t.ns - was.ns);
      const double share = ns / 1e9 / wall * 100;
      total += share;
      if (share < 0.001) continue;
      char line[128];
      std::snprintf(line, sizeof line, "    thread %-7d %-8s %7.3f %%, %6.1f us a run\n", tid,
                    t.name.c_str(), share,
                    ns / 1e3 / static_cast<double>(std::max<int64_t>(1, t.runs - was.runs)));
      lines += line;
    }
    shares.push_back(total);
    std::printf("  %-44s %7.3f %% of a core\n%s", children[i].name.c_str(), total, lines.c_str());
  }
  return shares;
}

void Stop(Child& c) {
  ::kill(c.pid, SIGTERM);
  ::waitpid(c.pid, nullptr, 0);
}

// What JACK adds to an idle peer, and what a bare client costs alone on the server just before:
// false when either did not come up.
bool JackRound(const std::string& program, int seconds, int quiet, double& added, double& bare) {
  Child client{"bare JACK client, alone on the server",
               Spawn({"/proc/self/exe", "--bare-jack"}, quiet)};
  const bool up = WaitUntil([] { return JackPorts().find("idle-bare:in") != std::string::npos; },
                            std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  if (up) bare = Measure({client}, seconds)[0];
  Stop(client);
  if (!up) return false;

  const uint16_t a = tandem::test::FreePortPair(), b = tandem::test::FreePortPair();
  const uint16_t nobody = tandem::test::FreePortPair();
  auto peer = [&](uint16_t listen, std::vector<std::string> midi) {
    std::vector<std::string> args = {program,         "--headless",
                                     "--listen-port", std::to_string(listen),
                                     "--send-port",   std::to_string(nobody)};
    args.insert(args.end(), midi.begin(), midi.end());
    return args;
  };
  std::vector<Child> peers = {
      {"peer with both JACK ports open",
       Spawn(peer(a, {"--midi-api", "jack", "--midi-in", "virtual", "--midi-out", "virtual",
                      "--client-name", "idle-peer"}),
             quiet)},
      {"the same peer without MIDI",
       Spawn(peer(b, {"--midi-api", "none", "--midi-out", "none"}), quiet)},
  };
  const bool open = WaitUntil(
      [] {
        // Both ports, whatever clients hold them.
        std::istringstream lines(JackPorts());
        int ours = 0;
        for (std::string line; std::getline(lines, line);) ours += line.rfind("idle-peer", 0) == 0;
        return ours >= 2;
      },
      std::chrono::seconds(30));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  if (open) {
    const auto shares = Measure(peers, seconds);
    added = shares[0] - shares[1];
    std::printf("  JACK adds %.3f %% of a core, a bare client costs %.3f %%: %+.3f\n", added, bare,
                added - bare);
  } else {
    std::printf("  the peer's JACK ports did not appear:\n%s", JackPorts().c_str());
  }
  for (auto& c : peers) Stop(c);
  return open;
}

// At one period, `rounds` times over: the wakes' cost wanders with what else the machine runs.
bool MeasureJack(const std::string& program, const std::string& period, int seconds, int rounds,
                 bool realtime, int quiet) {
  tandem::test::PrivateJackServer server;
  std::string why;
  if (!server.Start(why, /*synchronous=*/false, period.c_str(), realtime)) {
    std::printf("%s frames: %s\n", period.c_str(), why.c_str());
    return false;
  }
  std::vector<double> beyond;
  for (int r = 0; r < rounds; ++r) {
    std::printf("%s frames at 48000 Hz (%s dummy server), load average %.2f, %d s each\n",
                period.c_str(), realtime ? "real-time" : "not real-time", LoadAverage(), seconds);
    double added = 0, bare = 0;
    if (!JackRound(program, seconds, quiet, added, bare)) return false;
    beyond.push_back(added - bare);
  }
  std::sort(beyond.begin(), beyond.end());
  std::printf(
      "%s frames: JACK adds a bare client's cost %+.3f to %+.3f %% of a core (median "
      "%+.3f); the goal, at most +0.2: %s\n",
      period.c_str(), beyond.front(), beyond.back(), Percentile(beyond, 0.5),
      Percentile(beyond, 0.5) <= 0.2 ? "met" : "NOT MET");
  return true;
}

}  // namespace
}  // namespace tandem::bench

int main(int argc, char** argv) {
  using namespace tandem::bench;
  if (argc == 2 && std::string(argv[1]) == "--sleep-loop") return SleepLoop();
  if (argc == 2 && std::string(argv[1]) == "--bare-jack") return BareJack();
  int seconds = 20;
  bool rtpMidi = false;
  std::string jack;
  bool realtime = false;
  int rounds = 1;
  std::string program = TANDEM_BINARY;  // or another build's, to compare
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--protocol" && i + 1 < argc) {
      rtpMidi = std::string(argv[++i]) == "rtpmidi";
    } else if (arg == "--jack" && i + 1 < argc) {
      jack = argv[++i];
    } else if (arg == "--tandem" && i + 1 < argc) {
      program = argv[++i];
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--realtime") {
      realtime = true;
    } else {
      std::fprintf(stderr,
                   "usage: idle [--seconds N] [--protocol tandem|rtpmidi] [--jack "
                   "FRAMES[,FRAMES...] [--rounds N] [--realtime] "
                   "[--tandem PATH]]\n");
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);

  int quiet[2];
  if (::pipe(quiet) != 0) return 1;
  if (!jack.empty()) {
    bool all = true;
    std::istringstream periods(jack);
    for (std::string period; std::getline(periods, period, ',');)
      all = MeasureJack(program, period, seconds, rounds, realtime, quiet[0]) && all;
    return all ? 0 : 1;
  }
  const uint16_t alone = tandem::test::FreePortPair(), nobody = tandem::test::FreePortPair();
  const uint16_t a = tandem::test::FreePortPair(), b = tandem::test::FreePortPair();
  const uint16_t listing = tandem::test::FreePortPair();
  auto peer = [rtpMidi](uint16_t listen, uint16_t sendTo) {
    std::vector<std::string> args{TANDEM_BINARY,   "--headless",
                                  "--midi-api",    "none",
                                  "--midi-out",    "none",
                                  "--listen-port", std::to_string(listen),
                                  "--send-port",   std::to_string(sendTo)};
    // Each invites the other, as two of us with each other's address do.
    if (rtpMidi) {
      for (const char* a : {"--protocol", "rtpmidi", "--dest", "127.0.0.1"}) args.push_back(a);
    }
    return args;
  };
  std::vector<Child> children = {
      {"peer alone (session to a silent port)", Spawn(peer(alone, nobody), quiet[0])},
      {"peer A (with peer B)", Spawn(peer(a, b), quiet[0])},
      {"peer B (with peer A)", Spawn(peer(b, a), quiet[0])},
      {"peer alone, Nearby list open", Spawn(
                                           [&] {
                                             auto args = peer(listing, nobody);
                                             args.push_back("--nearby");
                                             return args;
                                           }(),
                                           quiet[0])},
      {"bare loop: 3 threads sleeping 2/2/3 ms",
       Spawn({"/proc/self/exe", "--sleep-loop"}, quiet[0])},
  };
  std::printf("load average %.2f; %d s each, after 2 s to settle; all five run at once\n",
              LoadAverage(), seconds);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<int64_t> ns0, ticks0;
  for (auto& c : children) {
    ns0.push_back(CpuNs(c.pid));
    ticks0.push_back(CpuTicks(c.pid));
  }
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = Ms(Clock::now() - start) / 1000.0;
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::printf("%-42s %14s %14s %10s\n", "", "CPU, % of core", "(from ticks)", "VmRSS");
  double bare = 0;
  std::vector<double> shares;
  for (size_t i = 0; i < children.size(); ++i) {
    const pid_t pid = children[i].pid;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != 0) {
      std::printf("%-42s ended early\n", children[i].name.c_str());
      shares.push_back(-1);
      continue;
    }
    const double share = static_cast<double>(CpuNs(pid) - ns0[i]) / 1e9 / wall * 100;
    const double fromTicks = static_cast<double>(CpuTicks(pid) - ticks0[i]) / tick / wall * 100;
    shares.push_back(share);
    if (i + 1 == children.size()) bare = share;
    std::printf("%-42s %13.3f %% %13.2f %% %7.1f MB\n", children[i].name.c_str(), share, fromTicks,
                static_cast<double>(RssKb(pid)) / 1024);
  }
  for (size_t i = 0; i + 1 < shares.size(); ++i) {
    if (shares[i] > 0)
      std::printf("bare loop / %s: %.1f x\n", children[i].name.c_str(), bare / shares[i]);
  }
  for (auto& c : children) {
    ::kill(c.pid, SIGTERM);
    ::waitpid(c.pid, nullptr, 0);
  }
  return 0;
}
