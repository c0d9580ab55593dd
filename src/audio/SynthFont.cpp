#ifdef TANDEM_HAVE_FLUIDSYNTH

#include <filesystem>
#include <system_error>

#include "audio/SynthImpl.h"

namespace tandem {

using namespace synth;

namespace synth {
namespace {

thread_local std::string* t_logSink = nullptr;

void OnFluidLog(int level, const char* message, void*) {
  if (level != FLUID_PANIC && level != FLUID_ERR) return;
  if (t_logSink == nullptr || message == nullptr) return;
  if (!t_logSink->empty()) *t_logSink += "; ";
  *t_logSink += message;
}

}  // namespace

void QuietFluidLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int level = 0; level < LAST_LOG_LEVEL; ++level) {
      fluid_set_log_function(level, OnFluidLog, nullptr);
    }
  });
}

std::mutex& OpenMutex() {
  static std::mutex mutex;
  return mutex;
}

LogCapture::LogCapture() {
  t_logSink = &text_;
}

LogCapture::~LogCapture() {
  t_logSink = nullptr;
}

std::string FindSoundFont(const SynthOptions& options, std::string& error) {
  std::error_code ec;
  if (!options.soundFont.empty()) {
    if (std::filesystem::is_regular_file(options.soundFont, ec)) return options.soundFont;
    error = kPrefix + "sound font not found: " + options.soundFont;
    return {};
  }
  for (const std::string& path : options.soundFontSearch) {
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  error = kPrefix + "sound font not found (install fluid-soundfont-gm)";
  return {};
}

}  // namespace synth

void SynthOutput::Impl::LoadFont(const std::string& path) {
  LogCapture log;
  bool ok = fluid_synth_sfload(synth, path.c_str(), 1) != FLUID_FAILED;
  std::string error = ok ? std::string() : kPrefix + "cannot load sound font " + path + log.Why();
  // Said before the font is marked failed, so whoever waits for Ready() finds it said.
  if (!ok && onLoadError) onLoadError(error);
  uint64_t lost = 0;
  {
    // What waited plays under the lock, before the font is marked loaded: a message sent now
    // waits for the lock, so a note-off never overtakes its note-on.
    std::lock_guard lock(earlyMutex);
    for (const Pending& p : early) {
      if (!ok) {
        lost += p.silence ? 0 : 1;
      } else if (p.silence) {
        ReleaseAll(synth);
      } else {
        Play(synth, p.bytes.data());
      }
    }
    early.clear();
    font.store(ok ? Font::Loaded : Font::Failed);
  }
  if (ok) return;
  {
    // Rendering: the queued messages can never sound either.
    std::lock_guard lock(queueMutex);
    for (const Pending& p : queue) lost += p.silence ? 0 : 1;
    queue.clear();
  }
  rejected.fetch_add(lost);
}

bool SynthOutput::Impl::PlayNowOrKeep(const uint8_t* bytes, bool silence, bool& refused) {
  refused = false;
  if (font.load() != Font::Loading) return true;
  std::lock_guard lock(earlyMutex);
  if (font.load() != Font::Loading) return true;
  if (silence) {
    early.clear();  // what it would release has not sounded yet
    return false;
  }
  if (early.size() >= kMaxPending) {
    refused = true;
    return false;
  }
  Pending p{0, {0, 0, 0}, false};
  std::copy_n(bytes, ShortMessageLength(bytes[0]), p.bytes.begin());
  early.push_back(p);
  return false;
}

}  // namespace tandem

#endif
