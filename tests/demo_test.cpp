// The demo without a display: a partner in the same process plays into the program's peer, which
// prints what it shows and ends by itself.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "LoopbackPorts.h"
#include "WavFile.h"

namespace tandem {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome RunWithoutDisplay(const std::string& args) {
  std::string command =
      "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" TANDEM_BINARY "' " + args + " 2>&1";
  Outcome r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe)) r.out += buf;
  int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

// The largest count a line "PREFIX N" shows, or -1.
long Largest(const std::string& out, const std::string& prefix) {
  std::istringstream lines(out);
  long best = -1;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) == 0) best = std::max(best, std::atol(line.c_str() + prefix.size()));
  }
  return best;
}

TEST(Demo, WithoutADisplayThePartnerPlaysIntoThisPeerAndItEnds) {
  uint16_t listen = test::FreePortPair(), send = test::FreePortPair();
  ASSERT_TRUE(listen != 0 && send != 0 && listen != send);
  fs::path wav = fs::temp_directory_path() / ("tandem-demo-" + std::to_string(getpid()) + ".wav");
  Outcome r = RunWithoutDisplay("--demo --demo-seconds 3 --listen-port " + std::to_string(listen) +
                                " --send-port " + std::to_string(send) + " --render '" +
                                wav.string() + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("RTP Status: RTP Initialisé"), std::string::npos) << r.out;
  // About five notes a second, each with its note-off, and the partner's buffer announcements.
  EXPECT_GE(Largest(r.out, "# Received: "), 10) << r.out;
  EXPECT_NE(r.out.find("\nOUT: 144 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nOUT: 128 "), std::string::npos) << r.out;
  EXPECT_GT(Largest(r.out, "Reception Buffer: "), 0) << "the partner's Auto buffer arrives";
  EXPECT_EQ(r.out.find("Partner RTP Status"), std::string::npos) << r.out;

  test::WavSound sound = test::ReadWavSound(wav.string());
  fs::remove(wav);
#ifdef TANDEM_HAVE_FLUIDSYNTH
  ASSERT_GT(sound.rate, 0);
  EXPECT_GT(sound.Rms(0.5, 2.5), test::kSounding) << "the received notes sound";
#endif
}

}  // namespace
}  // namespace tandem
