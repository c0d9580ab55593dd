// A Standard MIDI File (type 1) written while it grows, readable at every moment: each track
// sits in a region of the file larger than itself, the rest of the region filled by one
// sequencer-specific event that readers skip, and its end-of-track at the region's end. Adding
// events overwrites the start of that filler with the events and a shorter filler, in one write,
// so a process that dies between two writes leaves a file whose every chunk is whole. A region
// that fills up is given room by writing the whole file anew beside it and renaming it over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tandem {

class MidiFileWriter {
 public:
  // One tick is one millisecond: 500 ticks per quarter note at the MIDI default tempo, 500000
  // microseconds per quarter note, which the first track also states.
  static constexpr uint16_t kDivision = 500;
  static constexpr uint32_t kTempo = 500000;
  static constexpr size_t kInitialReserve = 32 * 1024;

  // `reserve`: the room each track is given beyond what it holds when the file is (re)written.
  explicit MidiFileWriter(size_t reserve = kInitialReserve) : reserve_(reserve) {}
  ~MidiFileWriter();
  MidiFileWriter(const MidiFileWriter&) = delete;
  MidiFileWriter& operator=(const MidiFileWriter&) = delete;

  // Creates or replaces `path` with a valid file of one named, empty track per name. False, with
  // the reason in `error`, when it cannot be written; nothing is left behind then.
  bool Open(const std::string& path, const std::vector<std::string>& trackNames,
            std::string& error);
  // Adds a channel message (2 or 3 bytes, status first) to a track at `ms` after the start.
  // An earlier time than the track's last is taken as the last. Kept in memory until Flush.
  void Add(size_t track, uint32_t ms, const uint8_t* bytes, size_t length);
  // Writes what was added since the last flush.
  bool Flush(std::string& error);
  // Flushes, writes the file once more without its spare room, and closes it.
  bool Finish(std::string& error);
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  // Bytes written to the file since Open, for measurements.
  uint64_t BytesWritten() const { return bytesWritten_; }

 private:
  struct Track {
    std::vector<uint8_t> body;   // every event but the filler and the end-of-track
    size_t written = 0;          // how much of body the file holds
    size_t region = 0;           // the chunk's length in the file
    size_t offset = 0;           // where the chunk's data starts in the file
    size_t fillerHeaderEnd = 0;  // past the filler's non-zero bytes, from the data's start
    uint32_t lastMs = 0;
  };

  // Writes the whole file with `reserve` bytes of room per track, beside it, then renames it
  // over `path_` and continues in the new file.
  bool Rewrite(size_t reserve, std::string& error);
  bool WriteAt(size_t offset, const uint8_t* bytes, size_t length, std::string& error);

  std::string path_;
  int fd_ = -1;
  std::vector<Track> tracks_;
  uint64_t bytesWritten_ = 0;
  size_t reserve_;
};

}  // namespace tandem
