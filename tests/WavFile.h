// Reads the synthesizer's WAV files (16-bit stereo PCM after a 44-byte header) for tests that
// listen to what was played: loudness over a stretch of time, and where the sound starts.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tandem::test {

// RMS levels, full scale 1: a piano note at velocity 80-100 sounds around 0.01; its release and
// the reverb are below 0.0001 within a second.
constexpr double kSounding = 0.003;
constexpr double kSilent = 0.0001;

struct WavSound {
  int rate = 0;
  std::vector<int16_t> samples;  // interleaved stereo

  double Seconds() const { return rate > 0 ? double(samples.size() / 2) / rate : 0.0; }
  // Root mean square of both channels between two times in seconds, full scale 1.
  double Rms(double from, double to) const {
    auto at = [&](double t) {
      return std::min(samples.size(), static_cast<size_t>(std::max(0.0, t) * rate) * 2);
    };
    size_t a = at(from), b = at(to);
    double sum = 0;
    for (size_t i = a; i < b; ++i) sum += double(samples[i]) * samples[i];
    return b > a ? std::sqrt(sum / double(b - a)) / 32768.0 : 0.0;
  }
  // When the sound first exceeds `level` (full scale 32768), in seconds; -1 if never.
  double Onset(int level = 100) const {
    for (size_t i = 0; i < samples.size(); ++i) {
      if (std::abs(samples[i]) > level) return double(i / 2) / rate;
    }
    return -1;
  }
};

// Empty (rate 0) when the file is missing or has no WAV header.
inline WavSound ReadWavSound(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  WavSound w;
  if (b.size() < 44 || std::string(b.begin(), b.begin() + 4) != "RIFF" ||
      std::string(b.begin() + 36, b.begin() + 40) != "data") {
    return w;
  }
  w.rate = b[24] | b[25] << 8 | b[26] << 16 | b[27] << 24;
  for (size_t i = 44; i + 1 < b.size(); i += 2)
    w.samples.push_back(static_cast<int16_t>(b[i] | b[i + 1] << 8));
  return w;
}

}  // namespace tandem::test
