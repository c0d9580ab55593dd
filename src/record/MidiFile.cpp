#include "record/MidiFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace tandem {

namespace {

constexpr uint8_t kEndOfTrack[] = {0x00, 0xFF, 0x2F, 0x00};
constexpr size_t kEndSize = sizeof kEndOfTrack;
constexpr size_t kSmallestFiller = 4;  // delta, FF 7F, length 0

void PutVarLen(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = value & 0x7F;
    value >>= 7;
  } while (value != 0);
  while (n > 1) out.push_back(static_cast<uint8_t>(groups[--n] | 0x80));
  out.push_back(groups[0]);
}

size_t VarLenSize(size_t value) {
  size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// The non-zero start of a filler event exactly `size` bytes long (0 or at least 4); its payload
// is the zeros that follow. Some sizes fit no single event (131 + 1: a length of 128 needs a
// second length byte), so an empty filler goes first and the rest is one event.
std::vector<uint8_t> FillerHeader(size_t size) {
  std::vector<uint8_t> out;
  while (size >= kSmallestFiller) {
    for (size_t k = 1; k <= 4; ++k) {
      if (size < 3 + k) break;
      size_t payload = size - 3 - k;
      if (VarLenSize(payload) == k) {
        out.insert(out.end(), {0x00, 0xFF, 0x7F});
        PutVarLen(out, static_cast<uint32_t>(payload));
        return out;
      }
    }
    out.insert(out.end(), {0x00, 0xFF, 0x7F, 0x00});
    size -= kSmallestFiller;
  }
  return out;  // size 0
}

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

MidiFileWriter::~MidiFileWriter() {
  if (fd_ >= 0) ::close(fd_);
}

bool MidiFileWriter::Open(const std::string& path, const std::vector<std::string>& trackNames,
                          std::string& error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  // A link is followed once, here, so renaming the rewritten file replaces what it points to.
  char resolved[PATH_MAX];
  path_ = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
  tracks_.assign(trackNames.size(), Track{});
  bytesWritten_ = 0;
  for (size_t t = 0; t < trackNames.size(); ++t) {
    std::vector<uint8_t>& body = tracks_[t].body;
    const std::string& name = trackNames[t];
    body.insert(body.end(), {0x00, 0xFF, 0x03});
    PutVarLen(body, static_cast<uint32_t>(name.size()));
    body.insert(body.end(), name.begin(), name.end());
    if (t == 0) {
      body.insert(body.end(), {0x00, 0xFF, 0x51, 0x03});
      body.insert(body.end(), {static_cast<uint8_t>(kTempo >> 16),
                               static_cast<uint8_t>(kTempo >> 8), static_cast<uint8_t>(kTempo)});
    }
  }
  return Rewrite(reserve_, error);
}

void MidiFileWriter::Add(size_t track, uint32_t ms, const uint8_t* bytes, size_t length) {
  if (track >= tracks_.size() || length == 0) return;
  Track& t = tracks_[track];
  ms = std::max(ms, t.lastMs);
  PutVarLen(t.body, ms - t.lastMs);
  t.lastMs = ms;
  t.body.insert(t.body.end(), bytes, bytes + length);
}

bool MidiFileWriter::Flush(std::string& error) {
  if (fd_ < 0) {
    error = "no file open";
    return false;
  }
  for (Track& t : tracks_) {
    if (t.body.size() == t.written) continue;
    // Out of room: twice the room it holds now, so rewrites grow rarer as the track grows.
    const size_t more = std::max(reserve_, t.body.size());
    if (t.body.size() + kEndSize > t.region) return Rewrite(more, error);
    const size_t gap = t.region - kEndSize - t.body.size();
    if (gap != 0 && gap < kSmallestFiller) return Rewrite(more, error);
    // The new events and the shorter filler's start, in one write over the old filler's start;
    // zeros cover what is left of that, so the new filler's payload is all zeros.
    std::vector<uint8_t> out(t.body.begin() + static_cast<long>(t.written), t.body.end());
    std::vector<uint8_t> filler = FillerHeader(gap);
    out.insert(out.end(), filler.begin(), filler.end());
    const size_t newHeaderEnd = t.body.size() + filler.size();
    if (t.written + out.size() < t.fillerHeaderEnd) out.resize(t.fillerHeaderEnd - t.written, 0);
    if (!WriteAt(t.offset + t.written, out.data(), out.size(), error)) return false;
    t.written = t.body.size();
    t.fillerHeaderEnd = newHeaderEnd;
  }
  return true;
}

bool MidiFileWriter::Finish(std::string& error) {
  if (fd_ < 0) {
    error = "no file open";
    return false;
  }
  bool ok = Rewrite(0, error);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return ok;
}

bool MidiFileWriter::Rewrite(size_t reserve, std::string& error) {
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1};
  file.push_back(static_cast<uint8_t>(tracks_.size() >> 8));
  file.push_back(static_cast<uint8_t>(tracks_.size()));
  file.push_back(static_cast<uint8_t>(kDivision >> 8));
  file.push_back(static_cast<uint8_t>(kDivision));
  std::vector<Track> laid = tracks_;
  for (Track& t : laid) {
    // No filler can be 1 to 3 bytes long: a reserve that small becomes none.
    size_t room = reserve >= kSmallestFiller ? reserve : 0;
    t.region = t.body.size() + room + kEndSize;
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    Put32(file, static_cast<uint32_t>(t.region));
    t.offset = file.size();
    file.insert(file.end(), t.body.begin(), t.body.end());
    std::vector<uint8_t> filler = FillerHeader(room);
    file.insert(file.end(), filler.begin(), filler.end());
    file.resize(file.size() + room - filler.size(), 0);
    file.insert(file.end(), std::begin(kEndOfTrack), std::end(kEndOfTrack));
    t.written = t.body.size();
    t.fillerHeaderEnd = t.body.size() + filler.size();
  }

  // Beside the file, so the rename stays within one file system and the old file is whole
  // until the new one replaces it.
  const std::string temporary = path_ + ".part";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = Reason("cannot write", path_);
    return false;
  }
  size_t done = 0;
  while (done < file.size()) {
    ssize_t n = ::write(fd, file.data() + done, file.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      error = Reason("cannot write", temporary);
      ::close(fd);
      ::unlink(temporary.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    error = Reason("cannot replace", path_);
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  }
  bytesWritten_ += file.size();
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  tracks_ = std::move(laid);
  return true;
}

bool MidiFileWriter::WriteAt(size_t offset, const uint8_t* bytes, size_t length,
                             std::string& error) {
  // One call: the kernel finishes a write to a file even when the process dies meanwhile.
  for (;;) {
    ssize_t n = ::pwrite(fd_, bytes, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n == static_cast<ssize_t>(length)) break;
    if (n >= 0) errno = ENOSPC;
    error = Reason("cannot write", path_);
    return false;
  }
  bytesWritten_ += length;
  return true;
}

}  // namespace tandem
