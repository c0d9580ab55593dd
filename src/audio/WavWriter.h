// The built-in synthesizer's WAV file: 16-bit PCM, stereo, written by libsndfile. The header's
// sizes are brought up to date every second of audio and on close, so even a file whose writer was
// killed plays up to its last second.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tandem {

class WavWriter {
 public:
  static constexpr int kChannels = 2;
  static constexpr uint32_t kFrameBytes = 2 * kChannels;
  // The RIFF size field counts 36 header bytes plus the data in 32 bits.
  static constexpr uint64_t kMaxDataBytes = (0xFFFFFFFFull - 36) / kFrameBytes * kFrameBytes;

  ~WavWriter() { Close(); }

  bool Open(const std::string& path, int rate, std::string& error);
  bool Good() const { return file_ != nullptr && error_.empty(); }
  const std::string& Error() const { return error_; }
  uint64_t Frames() const { return dataBytes_ / kFrameBytes; }
  // Appends interleaved frames; false once the file failed or is full (the error says which).
  bool Write(const int16_t* samples, size_t frames);
  void Close();

 private:
  void UpdateHeader();
  // The system's reason when there is one, else libsndfile's.
  std::string Reason() const;

  SNDFILE* file_ = nullptr;
  uint32_t rate_ = 0;
  uint64_t dataBytes_ = 0;
  std::string error_;
};

}  // namespace tandem
