#ifdef TANDEM_HAVE_FLUIDSYNTH

#include <cmath>

#include "audio/SynthImpl.h"

namespace tandem {

using namespace synth;

namespace {

class RenderThread : public Worker {
 public:
  explicit RenderThread(SynthOutput::Impl& impl) : Worker("synth-render"), impl_(impl) {}
  ~RenderThread() override { Stop(); }

 protected:
  // 10 ms passes keep the file within a few blocks of the present at little cost.
  void Run() override {
    while (Sleep(kRenderPass)) impl_.Pump();
  }

 private:
  SynthOutput::Impl& impl_;
};

}  // namespace

int64_t SynthOutput::Impl::FrameAt(int64_t us) const {
  int64_t d = std::max<int64_t>(0, us - startUs);
  return d / 1000000 * kSampleRate + d % 1000000 * kSampleRate / 1000000;
}

bool SynthOutput::Impl::Enqueue(const uint8_t* bytes, bool silence, int64_t dueUs) {
  Pending p{0, {0, 0, 0}, silence};
  if (bytes != nullptr) std::copy_n(bytes, ShortMessageLength(bytes[0]), p.bytes.begin());
  std::lock_guard lock(queueMutex);
  if (!silence && queue.size() >= kMaxPending) return false;
  if (dueUs > 0) {
    // A timed message takes its own frame, among the others by frame; one already rendered
    // past plays at the first frame still to come.
    p.frame = std::max(FrameAt(dueUs), floorFrame);
    auto at = queue.end();
    while (at != queue.begin() && std::prev(at)->frame > p.frame) --at;
    queue.insert(at, p);
  } else {
    // One sent now follows everything sent before it.
    p.frame = std::max({FrameAt(clock()), floorFrame, lastFrame});
    queue.push_back(p);
  }
  lastFrame = std::max(lastFrame, p.frame);
  return true;
}

void SynthOutput::Impl::Pump(bool all) {
  // Nothing is rendered before the font is in: the messages keep their frames and sound there
  // once it is. A font that failed leaves the file silent.
  if (font.load() == Font::Loading) return;
  std::lock_guard render(renderMutex);
  due.clear();
  int64_t target;
  {
    std::lock_guard lock(queueMutex);
    target = std::max(FrameAt(clock()), floorFrame);
    if (all) target = std::max(target, lastFrame);
    floorFrame = target;
    // What falls due up to `target`; timed messages for later frames wait for a later pass.
    while (!queue.empty() && queue.front().frame <= target) {
      due.push_back(queue.front());
      queue.pop_front();
    }
  }
  PlaySpan(synth, renderedFrames, target, due.data(), due.size(),
           [this](int64_t n) { RenderTo(renderedFrames + n); });
}

void SynthOutput::Impl::RenderTo(int64_t frame) {
  if (!wav.Good()) {
    renderedFrames = std::max(renderedFrames, frame);
    return;
  }
  floats.resize(kChunkFrames * WavWriter::kChannels);
  samples.resize(kChunkFrames * WavWriter::kChannels);
  while (renderedFrames < frame) {
    int n = static_cast<int>(std::min(frame - renderedFrames, kChunkFrames));
    // Rendered as float and rounded here, without the dither of FluidSynth's 16-bit output, so
    // silence is written as exact zeros.
    fluid_synth_write_float(synth, n, floats.data(), 0, 2, floats.data(), 1, 2);
    for (size_t i = 0; i < size_t(n) * WavWriter::kChannels; ++i) {
      float v = std::isfinite(floats[i]) ? std::clamp(floats[i], -1.0f, 1.0f) * 32767.0f : 0.0f;
      samples[i] = static_cast<int16_t>(std::lround(v));
    }
    bool ok = wav.Write(samples.data(), static_cast<size_t>(n));
    renderedFrames += n;
    framesWritten.store(wav.Frames());
    if (!ok) {
      std::lock_guard lock(errorMutex);
      renderError = wav.Error();
      renderedFrames = frame;
    }
  }
}

bool synth::StartRendering(SynthOutput::Impl& impl, const SynthOptions& options,
                           std::string& error) {
  std::string why;
  if (!impl.wav.Open(options.renderPath, SynthOutput::kSampleRate, why)) {
    error = kPrefix + "cannot write " + options.renderPath + " (" + why + ")";
    return false;
  }
  impl.rendering = true;
  impl.driverName = "render";
  impl.clock = options.clockUs ? options.clockUs : SteadyUs;
  impl.startUs = impl.clock();
  if (options.renderThread) {
    impl.thread = std::make_unique<RenderThread>(impl);
    impl.thread->Start();
  }
  return true;
}

}  // namespace tandem

#endif
