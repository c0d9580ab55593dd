#include "audio/WavWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tandem {

bool WavWriter::Open(const std::string& path, int rate, std::string& error) {
  // Opened here rather than by libsndfile, so a path that cannot be created and a disk that
  // cannot take the header are told apart.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = kChannels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  errno = 0;
  file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
  if (file_ == nullptr) {
    error = "write failed: " +
            (errno != 0 ? std::string(std::strerror(errno)) : std::string(sf_strerror(nullptr)));
    ::close(fd);
    return false;
  }
  rate_ = static_cast<uint32_t>(rate);
  return true;
}

bool WavWriter::Write(const int16_t* samples, size_t frames) {
  if (!Good()) return false;
  uint64_t room = (kMaxDataBytes - dataBytes_) / kFrameBytes;
  bool full = frames > room;
  if (full) frames = static_cast<size_t>(room);
  errno = 0;
  sf_count_t written = sf_writef_short(file_, samples, static_cast<sf_count_t>(frames));
  uint64_t before = dataBytes_;
  if (written > 0) dataBytes_ += static_cast<uint64_t>(written) * kFrameBytes;
  if (written != static_cast<sf_count_t>(frames)) {
    error_ = "write failed: " + Reason();
    return false;
  }
  if (dataBytes_ / (rate_ * kFrameBytes) != before / (rate_ * kFrameBytes)) UpdateHeader();
  if (full) {
    error_ = "the WAV file reached its 4 GiB limit";
    return false;
  }
  return true;
}

void WavWriter::Close() {
  if (file_ == nullptr) return;
  // sf_close writes the final sizes into the header.
  errno = 0;
  if (sf_close(file_) != 0 && error_.empty()) error_ = "close failed: " + Reason();
  file_ = nullptr;
}

void WavWriter::UpdateHeader() {
  errno = 0;
  sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
  if (sf_error(file_) != SF_ERR_NO_ERROR && error_.empty()) error_ = "write failed: " + Reason();
}

std::string WavWriter::Reason() const {
  return errno != 0 ? std::string(std::strerror(errno)) : std::string(sf_strerror(file_));
}

}  // namespace tandem
