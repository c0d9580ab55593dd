#include "headless/Options.h"

#include <fstream>
#include <functional>
#include <map>

#include "model/Convert.h"
#include "model/Settings.h"

namespace tandem {

namespace {

std::optional<int32_t> Number(const std::string& text, int64_t min, int64_t max) {
  auto v = TryStrToInt(text);
  if (!v || *v < min || *v > max) return std::nullopt;
  return v;
}

}  // namespace

std::optional<HeadlessOptions> ParseOptions(const std::vector<std::string>& args,
                                            std::string& error) {
  HeadlessOptions o;
  // Options with a value; each parser returns false when the value is unusable.
  using Parser = std::function<bool(const std::string&)>;
  auto port = [](std::optional<int32_t>& into) -> Parser {
    return [&into](const std::string& v) { return bool(into = Number(v, 0, 65535)); };
  };
  auto integer = [](std::optional<int32_t>& into) -> Parser {
    return [&into](const std::string& v) { return bool(into = Number(v, INT32_MIN, INT32_MAX)); };
  };
  auto text = [](std::string& into) -> Parser {
    return [&into](const std::string& v) {
      into = v;
      return !v.empty();
    };
  };
  auto channel = [](std::optional<std::optional<int32_t>>& into) -> Parser {
    return [&into](const std::string& v) {
      if (v == "off") {
        into = std::optional<int32_t>{};
        return true;
      }
      auto n = Number(v, 1, 16);
      if (n) into = n;
      return bool(n);
    };
  };
  std::string fileError;
  const std::map<std::string, Parser> withValue = {
      {"--listen-port", port(o.listenPort)},
      {"--send-port", port(o.sendPort)},
      {"--dest",
       [&](const std::string& v) {
         o.dest = v;
         return !v.empty();
       }},
      {"--protocol",
       [&](const std::string& v) {
         if (v == "tandem") o.protocol = ProtocolTandem;
         if (v == "rtpmidi") o.protocol = ProtocolRtpMidi;
         return v == "tandem" || v == "rtpmidi";
       }},
      {"--session-name",
       [&](const std::string& v) {
         o.sessionName = v;
         return !v.empty() && v.size() <= TFormCtl::kSessionNameMaxBytes;
       }},
      {"--retransmission",
       [&](const std::string& v) {
         static const std::map<std::string, Retransmission> modes = {{"none", RetransNone},
                                                                     {"in-msg", RetransInMsg},
                                                                     {"constant", RetransConstant},
                                                                     {"variable", RetransVariable}};
         auto it = modes.find(v);
         if (it != modes.end()) o.retransmission = it->second;
         return it != modes.end();
       }},
      {"--base", integer(o.base)},
      {"--mult", integer(o.mult)},
      {"--buffer", integer(o.buffer)},
      {"--gen",
       [&](const std::string& v) {
         auto n = Number(v, 0, 64);
         if (n) o.generators = *n;
         return bool(n);
       }},
      {"--gen-interval",
       [&](const std::string& v) {
         auto n = Number(v, 1, 60000);
         if (n) o.generatorIntervalMs = *n;
         return bool(n);
       }},
      {"--seed",
       [&](const std::string& v) {
         auto n = Number(v, 1, INT32_MAX);
         if (n) o.seed = static_cast<uint32_t>(*n);
         return bool(n);
       }},
      {"--midi-api",
       [&](const std::string& v) {
         o.midiApi = v;
         return v == "auto" || v == "alsa" || v == "jack" || v == "none";
       }},
      {"--midi-in",
       [&](const std::string& v) {
         o.midiIn = v;
         return !v.empty() && v != "synth";
       }},
      {"--midi-out", text(o.midiOut)},
      {"--render", text(o.render)},
      {"--volume", [&](const std::string& v) { return bool(o.volume = Number(v, 0, kMaxVolume)); }},
      {"--record", text(o.record)},
      {"--settings", text(o.settings)},
      {"--demo-seconds",
       [&](const std::string& v) {
         auto n = Number(v, 1, 24 * 3600);
         if (n) o.demoSeconds = *n;
         return bool(n);
       }},
      {"--client-name", text(o.clientName)},
      {"--transpose",
       [&](const std::string& v) { return bool(o.transpose = Number(v, -127, 127)); }},
      {"--passphrase-file",
       [&](const std::string& v) {
         std::string why;
         o.passphrase = ReadPassphraseFile(v, why);
         if (!o.passphrase) fileError = "option --passphrase-file: " + why;
         return o.passphrase.has_value();
       }},
      {"--join", [&](const std::string& v) { return bool(o.join = v); }},
      {"--stun", text(o.stun)},
      {"--turn", text(o.turn)},
      {"--turn-user", text(o.turnUser)},
      {"--turn-password-file",
       [&](const std::string& v) {
         std::string why;
         o.turnPassword = ReadPassphraseFile(v, why);
         if (!o.turnPassword) fileError = "option --turn-password-file: " + why;
         return o.turnPassword.has_value();
       }},
      {"--channel", channel(o.channel)},
      {"--local-channel", channel(o.localChannel)},
  };
  const std::map<std::string, bool*> flags = {
      {"--headless", nullptr}, {"--help", &o.help},
      {"-h", &o.help},         {"--auto-buffer", &o.autoBuffer},
      {"--no-rtp", &o.noRtp},  {"--verbose", &o.verbose},
      {"--demo", &o.demo},     {"--accept-any", &o.acceptAny},
      {"--steady", &o.steady}, {"--invite", &o.invite},
      {"--nearby", &o.nearby},
  };

  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (auto f = flags.find(name); f != flags.end()) {
      if (value) {
        error = "option " + name + " takes no value";
        return std::nullopt;
      }
      if (f->second) *f->second = true;
      continue;
    }
    auto p = withValue.find(name);
    if (p == withValue.end()) {
      error = "unknown option '" + args[i] + "'";
      return std::nullopt;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    if (!p->second(*value)) {
      error = !fileError.empty() ? fileError : "bad value '" + *value + "' for " + name;
      return std::nullopt;
    }
  }
  if (!o.render.empty() && PortChoice::Parse(o.midiOut).kind != PortChoice::Kind::Default &&
      PortChoice::Parse(o.midiOut).kind != PortChoice::Kind::Synth) {
    error = "option --render needs the built-in synthesizer as output (--midi-out synth)";
    return std::nullopt;
  }
  if (o.invite && o.join) {
    error = "options --invite and --join exclude each other";
    return std::nullopt;
  }
  if ((o.invite || o.join) && o.protocol == ProtocolRtpMidi) {
    error = "invitation codes (--invite, --join) need --protocol tandem";
    return std::nullopt;
  }
  return o;
}

std::string HelpText() {
  return R"(Usage: tandem --headless [OPTION...]
  or:  tandem --demo [--demo-seconds N] [OPTION...]
Carries a live MIDI performance to a peer as RTP over UDP (IPv4 or IPv6), without a window.
Runs until SIGINT or SIGTERM. Status changes, counters (at most once a second), the link figures
("Link:", at most every 5 s) and chat lines are printed on standard output; each line typed on
standard input is sent as a chat line.

Demo:
  --demo                 a partner peer in this process, on the crossed ports, plays generated
                         notes into this one, which sounds them on its output. With a display
                         this one is the window (only the port options apply there); without
                         one it runs headless and prints what it shows, the OUT column included
  --demo-seconds N       without a display, how long the demo runs (default 30)

Session:
  --listen-port N        local RTP port, even; RTCP uses N+1 (default 2000)
  --send-port N          the peer's RTP port (default 3000)
  --dest ADDR|NAME       the peer's IPv4 or IPv6 address or host name (default 127.0.0.1),
                         or the name of a session announced on the local network (as
                         --nearby lists it): its address, port and protocol are taken
  --nearby               list the sessions announced on the local network (DNS-SD through
                         the Avahi daemon): "Nearby: + NAME · PROTOCOL · ADDRESS:PORT" as
                         one appears, "Nearby: - NAME" as it goes. Ours is announced by its
                         session name while it listens, with or without this option
  --no-rtp               do not start the RTP session at launch
  --passphrase-file FILE protect the session with the passphrase on FILE's first line (the
                         partner uses the same one); without it, packets travel in clear
  --accept-any           take packets from any address, not only from the --dest one
  --protocol tandem|rtpmidi  the wire (default tandem). rtpmidi: an RTP-MIDI session, as Macs,
                         iPads, rtpMIDI on Windows and rtpmidid speak it, with the control
                         port on --listen-port (5004 is usual) and data on the next one; it
                         invites --dest:--send-port when --dest is given (empty: only listen).
                         An invitation from another address prints the line Invitation from
                         NAME (ADDRESS), answered by /accept or /refuse (--accept-any: all
                         are taken)
  --session-name NAME    our session name (default "Tandem on HOST"), in RTP-MIDI sessions
                         and in the announcement on the local network
Through home routers, with no address typed (ICE):
  --invite               print "Invitation: CODE" for the partner, then take its answer as a
                         line "/answer CODE" on standard input
  --join FILE            take the partner's invitation from FILE ("-": the first line of
                         standard input) and print "Answer: CODE" to send back
  --stun HOST:PORT       STUN server (default stun.l.google.com:19302)
  --turn HOST:PORT       TURN relay, for routers no check opens; with --turn-user and
  --turn-user USER       --turn-password-file FILE (its first line)
Lines on standard input that start with "/" are commands: /answer CODE, /gen (one more
generator), /accept and /refuse (an RTP-MIDI invitation), //text (the chat line "/text");
"Connection: ..." says how the partner is reached.
Retransmission of key states:
  --retransmission none|in-msg|constant|variable   (default none)
  --base MS              base refresh interval (default 5)
  --mult N               interval multiplier for "variable" (default 2)
Buffers:
  --buffer MS            local buffer announced to the peer (default 0)
  --auto-buffer          derive the local buffer from the playing speed
  --steady               play the peer's events at the moments they were played there (plus the
                         buffer it announces), not as they arrive; "# Late" counts those whose
                         moment had passed
Test generator:
  --gen N                start N generators at launch, 100 random notes each
  --gen-interval MS      time between a generator's notes (default 200)
  --seed N               seed of the first generator, for repeatable runs (N >= 1)
MIDI:
  --midi-api auto|alsa|jack|none   MIDI system (default auto: ALSA, else JACK, else none)
  --midi-in PORT|virtual|none      capture from a port (name substring or index), from a port
                                   of our own, or not at all (default: the first device);
                                   capture starts at launch unless none
  --midi-out synth|PORT|virtual|none  output for received events: the built-in synthesizer
                                   (the default; needs no MIDI system), a port, a port of
                                   our own, or nothing
  --render FILE.wav      the built-in synthesizer writes its audio to FILE.wav instead of
                         playing it on the sound card
  --volume PERCENT       level of the built-in synthesizer, 0..200 (default 100: a loud chord
                         peaks near -6 dBFS)
  --record FILE.mid      record the session into FILE.mid, a Standard MIDI File with
                         one track for what is played here and one for the partner, to
                         the millisecond; written as it goes, readable even after a crash
  --client-name NAME     MIDI client name (default tandem): with JACK one client, ports
                         NAME:midi_in and NAME:midi_out; with ALSA NAME-in and NAME-out
  --transpose N          transpose received notes by N semitones (-127..127)
  --channel N|off        play received events on channel N (1..16; default 1), or as sent
  --local-channel N|off  also play our own events locally on channel N after the local buffer
Settings:
  --settings FILE        start from the settings in FILE (the window keeps its own in
                         ~/.config/Tandem/Tandem.conf); the options above override them.
                         Without it no settings file is read
Output:
  --verbose              also print the IN and OUT MIDI columns when they change
  --help                 this text
Options take their value as the next argument or after '='. A bad value exits with status 2.
)";
}

std::optional<std::string> ReadPassphraseFile(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) {
    error = "cannot read the passphrase file '" + path + "'";
    return std::nullopt;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // An empty one would quietly mean a session in clear.
  if (line.empty()) {
    error = "the passphrase file '" + path + "' holds no passphrase on its first line";
    return std::nullopt;
  }
  return line;
}

bool ReadSettings(HeadlessOptions& o, std::string& error) {
  if (o.settings.empty()) return true;
  auto values = ReadSettingsFile(o.settings, error);
  if (!values) return false;
  o.remembered = std::move(*values);
  auto in = RememberedPort(o.remembered, "midi/input");
  auto out = RememberedPort(o.remembered, "midi/output");
  if (o.midiIn.empty() && in && in->kind != PortChoice::Kind::Synth) o.midiIn = PortChoiceText(*in);
  // A rendering needs the synthesizer, whatever output was remembered.
  if (o.midiOut.empty() && o.render.empty() && out) o.midiOut = PortChoiceText(*out);
  return true;
}

std::vector<std::string> ApplyOptions(const HeadlessOptions& o, TFormCtl& form) {
  RememberedPorts ports;  // ReadSettings took them
  std::vector<std::string> refused = LoadSettings(o.remembered, form, ports);
  if (o.listenPort) form.EditPortLocal.SetText(IntToStr(*o.listenPort));
  if (o.sendPort) form.EditPortDistant.SetText(IntToStr(*o.sendPort));
  if (o.dest) form.EditDestIp.SetText(*o.dest);
  if (o.passphrase) form.EditPassphrase.SetText(*o.passphrase);
  if (o.acceptAny) form.CheckBoxAcceptAny.SetChecked(true);
  if (o.protocol) form.SetProtocol(*o.protocol);
  // An RTP-MIDI session invites only the partner named; without one it listens for invitations.
  if (form.SelectedProtocol() == ProtocolRtpMidi && !o.dest && !o.remembered.contains("rtp/dest"))
    form.EditDestIp.SetText("");
  if (o.sessionName) form.EditSessionName.SetText(*o.sessionName);
  if (o.retransmission) form.SetRetransmission(*o.retransmission);
  if (o.base) form.EditBaseValue.SetText(IntToStr(*o.base));
  if (o.mult) form.EditMulValue.SetText(IntToStr(*o.mult));
  if (o.buffer) {
    form.EditBufferLocal.SetText(IntToStr(*o.buffer));
    form.ButtonSetLocalBufferClick();
  }
  if (o.autoBuffer) form.SetAutomateLocalBuffer(true);
  if (o.steady) form.CheckBoxSteady.SetChecked(true);
  if (o.volume) form.SetVolume(*o.volume);
  if (o.transpose) {
    form.EditTransposeOut.SetText(IntToStr(*o.transpose));
    form.CheckBoxTransposeOut.SetChecked(true);
  }
  if (o.channel) {
    form.CheckBoxMidiCanalOut.SetChecked(o.channel->has_value());
    if (*o.channel) form.EditMidiCanalOut.SetText(IntToStr(**o.channel));
  }
  if (o.localChannel) {
    form.CheckBoxLocalMIDI.SetChecked(o.localChannel->has_value());
    if (*o.localChannel) form.EditLocalCanal.SetText(IntToStr(**o.localChannel));
  }
  return refused;
}

}  // namespace tandem
