// What an idle peer costs: CPU time per second and resident memory of `tandem --headless` with a
// running session and nothing played, over 20 s, alone and with a peer, beside three threads that
// only sleep 2, 2 and 3 ms in a loop, measured at the same time. One more peer keeps the Nearby
// list open (--nearby): run inside a network namespace with an Avahi daemon to see its cost with
// one (tests/nearby/nearby.py sets one up).
//
// usage: idle [--seconds N] [--protocol tandem|rtpmidi]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

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

}  // namespace
}  // namespace tandem::bench

int main(int argc, char** argv) {
  using namespace tandem::bench;
  if (argc == 2 && std::string(argv[1]) == "--sleep-loop") return SleepLoop();
  int seconds = 20;
  bool rtpMidi = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seconds") seconds = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--protocol") rtpMidi = std::string(argv[i + 1]) == "rtpmidi";
  }
  ::signal(SIGPIPE, SIG_IGN);

  int quiet[2];
  if (::pipe(quiet) != 0) return 1;
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
