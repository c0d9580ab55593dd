// What recording a session costs: a player thread hands note-ons and note-offs to the recorder
// at a steady pace on both tracks, as the send and playback threads do. Counted: the writer
// thread's CPU time (the scheduler's account of it), the end written at stop, and the hand-over
// on the playing threads, timed over many calls. The player's own waking is not the recording's
// and is left out.
//
// usage: recording [--seconds N] [--rate NOTES_PER_SECOND_PER_TRACK] [--file PATH]
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "record/SessionRecorder.h"

namespace {

using namespace std::chrono;

// CPU time of every live thread of this process but the calling one, in ns.
int64_t OtherThreadsCpuNs() {
  int64_t total = 0;
  const std::string self = std::to_string(::gettid());
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.' || self == e->d_name) continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/schedstat");
    int64_t ns = 0;
    if (f >> ns) total += ns;
  }
  ::closedir(d);
  return total;
}

int64_t ThreadCpuNs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// Plays `rate` notes a second on each track (a note-on and its note-off) for `seconds`.
void Play(tandem::SessionRecorder& recorder, int seconds, int rate) {
  std::thread player([&] {
    const auto period = microseconds(1000000 / rate);
    auto next = steady_clock::now();
    const auto end = next + std::chrono::seconds(seconds);
    for (int i = 0; next < end; ++i) {
      std::this_thread::sleep_until(next);
      const int note = 36 + (i * 7) % 60;
      const auto track =
          i % 2 == 0 ? tandem::SessionRecorder::Ours : tandem::SessionRecorder::Partner;
      recorder.Take(track, (i / 2) % 2 == 0 ? 0x90 : 0x80, note, 90);
      next += period / 4;  // two tracks, a note-on and a note-off per note
    }
  });
  player.join();
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int rate = 10;
  std::string path =
      (std::filesystem::temp_directory_path() / "tandem-bench-recording.mid").string();
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--seconds") seconds = std::atoi(argv[i + 1]);
    if (a == "--rate") rate = std::atoi(argv[i + 1]);
    if (a == "--file") path = argv[i + 1];
  }
  if (seconds <= 0 || rate <= 0 || rate > 10000) {
    std::fprintf(stderr, "usage: recording [--seconds N] [--rate N] [--file PATH]\n");
    return 2;
  }
  std::printf("recording: %d s, %d notes/s per track (%d messages/s in all)\n", seconds, rate,
              4 * rate);

  tandem::SessionRecorder recorder;
  std::string error;
  // The hand-over alone: many calls in a row, the buffer emptied by the writer meanwhile.
  const std::string scratch = path + ".handover";
  if (!recorder.Start(scratch, error)) {
    std::fprintf(stderr, "recording: %s\n", error.c_str());
    return 1;
  }
  constexpr int kCalls = 20000;
  const int64_t handStart = ThreadCpuNs();
  for (int i = 0; i < kCalls; ++i) recorder.Take(tandem::SessionRecorder::Ours, 0x90, i % 128, 90);
  const double perCall = static_cast<double>(ThreadCpuNs() - handStart) / kCalls;
  recorder.Stop(error);
  std::filesystem::remove(scratch);

  if (!recorder.Start(path, error)) {
    std::fprintf(stderr, "recording: %s\n", error.c_str());
    return 1;
  }
  Play(recorder, seconds, rate);
  // The player has ended: the live threads are this one and the writer.
  const int64_t writer = OtherThreadsCpuNs();
  const int64_t stopStart = ThreadCpuNs();
  const bool ok = recorder.Stop(error);
  const int64_t stop = ThreadCpuNs() - stopStart;
  if (!ok) std::fprintf(stderr, "recording: %s\n", error.c_str());

  const double messages = 4.0 * rate * seconds;
  const double total = static_cast<double>(writer + stop) + perCall * messages;
  std::printf("  writer thread:  %.3f ms CPU\n", writer / 1e6);
  std::printf("  end at stop:    %.3f ms CPU\n", stop / 1e6);
  std::printf("  hand-over:      %.0f ns a message, %.3f ms for %.0f messages\n", perCall,
              perCall * messages / 1e6, messages);
  std::printf("  recording costs %.3f ms CPU = %.4f %% of a core; goal <= 0.1 %%\n", total / 1e6,
              total / (seconds * 1e9) * 100.0);
  std::printf("  file: %s, %ju bytes, %ju bytes written in all, %ju messages dropped\n",
              path.c_str(), static_cast<uintmax_t>(std::filesystem::file_size(path)),
              static_cast<uintmax_t>(recorder.BytesWritten()),
              static_cast<uintmax_t>(recorder.Dropped()));
  return ok ? 0 : 1;
}
