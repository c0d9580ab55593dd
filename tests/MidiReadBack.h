// MIDI files read back by a real reader, mido, through tests/tools/read_midi.py.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace tandem::test {

struct Message {
  int ms, status, data1, data2;
  bool operator==(const Message&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Message& m) {
  return os << m.ms << "ms " << m.status << " " << m.data1 << " " << m.data2;
}

// What mido read from each file: its header and, per track, the channel messages.
struct ReadBack {
  std::string error;  // empty when the file was read
  int type = -1, tracks = -1, division = -1;
  std::vector<int> counts;                     // channel messages per track
  std::vector<std::vector<Message>> messages;  // all of them, or the last with `summary`
};

inline std::vector<ReadBack> ReadWithMido(const std::vector<std::string>& files, bool summary) {
  std::string command = "/usr/bin/python3 " TANDEM_SOURCE_DIR "/tests/tools/read_midi.py";
  if (summary) command += " --summary";
  for (const auto& f : files) command += " '" + f + "'";
  std::vector<ReadBack> out(files.size());
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::string text;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
  EXPECT_EQ(pclose(pipe), 0) << "the reader failed (is python3-mido installed?)";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    char kind = 0;
    size_t file = 0;
    in >> kind >> file;
    if (file >= out.size()) continue;
    ReadBack& r = out[file];
    if (kind == 'E') {
      std::getline(in, r.error);
    } else if (kind == 'H') {
      in >> r.type >> r.tracks >> r.division;
      r.counts.assign(size_t(r.tracks), 0);
      r.messages.assign(size_t(r.tracks), {});
    } else if (kind == 'N' || kind == 'M') {
      size_t track = 0;
      in >> track;
      if (track >= r.counts.size()) continue;
      if (kind == 'N') {
        in >> r.counts[track];
      } else {
        Message m{};
        in >> m.ms >> m.status >> m.data1 >> m.data2;
        r.messages[track].push_back(m);
      }
    }
  }
  return out;
}

}  // namespace tandem::test
