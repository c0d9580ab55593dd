// The command line of the headless front end.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/FormCtrl.h"

namespace tandem {

struct HeadlessOptions {
  bool help = false;
  bool verbose = false;
  // Session
  std::optional<int32_t> listenPort, sendPort;
  std::optional<std::string> dest;
  bool noRtp = false;
  bool acceptAny = false;
  std::optional<Protocol> protocol;
  std::optional<std::string> sessionName;
  // List the sessions announced on the local network as they come and go.
  bool nearby = false;
  // Read from --passphrase-file, never from the command line, where any user can read it.
  std::optional<std::string> passphrase;
  // Through routers, from invitation codes: --invite, or --join FILE ("-": standard input).
  bool invite = false;
  std::optional<std::string> join;
  std::string stun;  // HOST:PORT; empty: the default public server
  std::string turn, turnUser;
  std::optional<std::string> turnPassword;  // from --turn-password-file
  // Retransmission and buffers
  std::optional<Retransmission> retransmission;
  std::optional<int32_t> base, mult, buffer;
  bool autoBuffer = false;
  bool steady = false;
  // Generators
  int32_t generators = 0;
  int32_t generatorIntervalMs = 200;
  uint32_t seed = 0;
  // MIDI
  std::string midiApi = "auto";
  std::string midiIn;   // empty: the first device
  std::string midiOut;  // empty: the built-in synthesizer
  std::string render;   // non-empty: the synthesizer writes this WAV file instead of sounding
  std::optional<int32_t> volume;  // "Volume", in percent of the synthesizer's usual level
  std::string clientName = "tandem";
  std::optional<int32_t> transpose;
  // Set: "Receive Canal" checked with this channel, or unchecked when it holds nothing.
  std::optional<std::optional<int32_t>> channel, localChannel;
  // The demo: a partner peer in this process plays into this one for `demoSeconds`.
  bool demo = false;
  int32_t demoSeconds = 30;
  // Non-empty: the session is recorded into this MIDI file.
  std::string record;
  // Non-empty: settings as the window stores them, read before the options; what ReadSettings
  // found there.
  std::string settings;
  std::map<std::string, std::string> remembered;
};

// Parses everything after the program name. On a bad option or value returns nothing and says
// why in `error`.
std::optional<HeadlessOptions> ParseOptions(const std::vector<std::string>& args,
                                            std::string& error);

std::string HelpText();

// The passphrase in a file: its first line, without the line end. Nothing, with the reason in
// `error`, when the file cannot be read or the line is empty.
std::optional<std::string> ReadPassphraseFile(const std::string& path, std::string& error);

// Reads the --settings file, if one was named, into `remembered`; the ports it holds become the
// options' where none were given. False, with the reason, when the file cannot be read.
bool ReadSettings(HeadlessOptions& options, std::string& error);

// Puts the remembered settings, then the options, into the window's model, as a user would
// before pressing anything. Returns the keys of remembered values that were unusable.
std::vector<std::string> ApplyOptions(const HeadlessOptions& options, TFormCtl& form);

}  // namespace tandem
