#include "model/Settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "model/Convert.h"

namespace tandem {

namespace {

// The longest text a remembered box takes back: a host name, a port name.
constexpr size_t kLongestText = 255;

std::optional<int32_t> WholeNumber(const std::string& text, int64_t min, int64_t max) {
  auto v = TryStrToInt(text);
  if (!v || *v < min || *v > max) return std::nullopt;
  return v;
}

bool Printable(const std::string& text) {
  if (text.size() > kLongestText) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::optional<bool> Boolean(const std::string& text) {
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

std::string BoolText(bool b) {
  return b ? "true" : "false";
}

// A whole number in [min, max] kept in an edit box.
SettingLine Number(const char* key, EditBox TFormCtl::*box, int64_t min, int64_t max) {
  return {key, [box](TFormCtl& f, RememberedPorts&) { return std::optional((f.*box).Text()); },
          [box, min, max](TFormCtl& f, RememberedPorts&, const std::string& text) {
            auto v = WholeNumber(text, min, max);
            if (v) (f.*box).SetText(IntToStr(*v));
            return v.has_value();
          }};
}

SettingLine Check(const char* key, CheckBox TFormCtl::*box) {
  return {
      key,
      [box](TFormCtl& f, RememberedPorts&) { return std::optional(BoolText((f.*box).Checked())); },
      [box](TFormCtl& f, RememberedPorts&, const std::string& text) {
        auto v = Boolean(text);
        if (v) (f.*box).SetChecked(*v);
        return v.has_value();
      }};
}

// A value shown in an edit box and stepped by arrows that keep their own position: both move
// together, so the next arrow click steps from the value restored.
SettingLine Stepped(const char* key, EditBox TFormCtl::*box, UpDown TFormCtl::*arrows,
                    void (TFormCtl::*step)(int), bool typable) {
  return {key, [box](TFormCtl& f, RememberedPorts&) { return std::optional((f.*box).Text()); },
          [=](TFormCtl& f, RememberedPorts&, const std::string& text) {
            const UpDown& a = f.*arrows;
            auto v = typable ? WholeNumber(text, -127, 127) : WholeNumber(text, a.Min(), a.Max());
            if (!v) return false;
            const int clamped = std::clamp<int>(*v, a.Min(), a.Max());
            (f.*step)(clamped - a.Position());
            (f.*box).SetText(IntToStr(*v));
            return true;
          }};
}

std::optional<PortChoice> PortFromText(const std::string& text) {
  if (!Printable(text)) return std::nullopt;
  return PortChoice::Parse(text);
}

SettingLine Port(const char* key, PortChoice RememberedPorts::*port) {
  return {key,
          [port](TFormCtl&, RememberedPorts& p) { return std::optional(PortChoiceText(p.*port)); },
          [port](TFormCtl&, RememberedPorts& p, const std::string& text) {
            auto choice = PortFromText(text);
            if (choice) p.*port = *choice;
            return choice.has_value();
          }};
}

const char* const kModes[] = {"none", "in-msg", "constant", "variable"};

std::vector<SettingLine> MakeLines() {
  using F = TFormCtl;
  return {
      {"rtp/dest", [](F& f, RememberedPorts&) { return std::optional(f.EditDestIp.Text()); },
       [](F& f, RememberedPorts&, const std::string& text) {
         if (text.empty() || !Printable(text)) return false;
         f.EditDestIp.SetText(text);
         return true;
       }},
      Number("rtp/listenPort", &F::EditPortLocal, 0, 65535),
      Number("rtp/sendPort", &F::EditPortDistant, 0, 65535),
      {"retransmission/mode",
       [](F& f, RememberedPorts&) {
         int mode = f.RadioGroup1.Selected();
         return std::optional<std::string>(mode >= 0 && mode < 4 ? kModes[mode] : kModes[0]);
       },
       [](F& f, RememberedPorts&, const std::string& text) {
         for (int mode = 0; mode < 4; ++mode) {
           if (text == kModes[mode]) {
             f.SetRetransmission(static_cast<Retransmission>(mode));
             return true;
           }
         }
         return false;
       }},
      Number("retransmission/base", &F::EditBaseValue, INT32_MIN, INT32_MAX),
      Number("retransmission/multiplier", &F::EditMulValue, INT32_MIN, INT32_MAX),
      // The buffer is set as "Set" would, before "Auto" may take "Set" away.
      {"buffer/local",
       [](F& f, RememberedPorts&) { return std::optional(f.EditBufferLocal.Text()); },
       [](F& f, RememberedPorts&, const std::string& text) {
         auto v = WholeNumber(text, INT32_MIN, INT32_MAX);
         if (!v) return false;
         f.EditBufferLocal.SetText(IntToStr(*v));
         f.ButtonSetLocalBufferClick();
         return true;
       }},
      {"buffer/auto",
       [](F& f, RememberedPorts&) {
         return std::optional(BoolText(f.CheckBoxAutomateLocalBuffer.Checked()));
       },
       [](F& f, RememberedPorts&, const std::string& text) {
         auto v = Boolean(text);
         if (v) f.SetAutomateLocalBuffer(*v);
         return v.has_value();
       }},
      Check("local/channelOn", &F::CheckBoxLocalMIDI),
      Stepped("local/channel", &F::EditLocalCanal, &F::UpDownLocalCanal,
              &F::UpDownLocalCanalChanging, false),
      Check("local/transposeOn", &F::CheckBoxTranspose),
      Stepped("local/transpose", &F::EditTransposeLocalValue, &F::UpDownTransposeLocalValue,
              &F::UpDownTransposeLocalValueChanging, false),
      Check("reception/channelOn", &F::CheckBoxMidiCanalOut),
      Stepped("reception/channel", &F::EditMidiCanalOut, &F::UpDownMidiCanalOut,
              &F::UpDownMidiCanalOutChanging, false),
      Check("reception/transposeOn", &F::CheckBoxTransposeOut),
      Stepped("reception/transpose", &F::EditTransposeOut, &F::UpDownTransposeOut,
              &F::UpDownTransposeOutChanging, true),
      Check("rtp/acceptAny", &F::CheckBoxAcceptAny),
      {"rtp/protocol",
       [](F& f, RememberedPorts&) {
         return std::optional<std::string>(f.SelectedProtocol() == ProtocolRtpMidi ? "rtpmidi"
                                                                                   : "tandem");
       },
       [](F& f, RememberedPorts&, const std::string& text) {
         if (text != "tandem" && text != "rtpmidi") return false;
         f.SetProtocol(text == "rtpmidi" ? ProtocolRtpMidi : ProtocolTandem);
         return true;
       }},
      {"rtp/sessionName",
       [](F& f, RememberedPorts&) { return std::optional(f.EditSessionName.Text()); },
       [](F& f, RememberedPorts&, const std::string& text) {
         if (text.empty() || !Printable(text)) return false;
         f.EditSessionName.SetText(text);
         return true;
       }},
      Check("rtp/steady", &F::CheckBoxSteady),
      {"synth/volume",
       [](F& f, RememberedPorts&) { return std::optional(IntToStr(f.TrackBarVolume.Position())); },
       [](F& f, RememberedPorts&, const std::string& text) {
         auto v = WholeNumber(text, f.TrackBarVolume.Min(), f.TrackBarVolume.Max());
         if (v) f.SetVolume(*v);
         return v.has_value();
       }},
      // "Remember" first: the passphrase is taken back only where the user chose to keep it,
      // and without it the key is removed from the file.
      Check("security/remember", &F::CheckBoxRememberPassphrase),
      {"security/passphrase",
       [](F& f, RememberedPorts&) -> std::optional<std::string> {
         std::string text = f.EditPassphrase.Text();
         if (!f.CheckBoxRememberPassphrase.Checked() || text.empty()) return std::nullopt;
         return text;
       },
       [](F& f, RememberedPorts&, const std::string& text) {
         if (!f.CheckBoxRememberPassphrase.Checked() || !Printable(text)) return false;
         f.EditPassphrase.SetText(text);
         return true;
       }},
      Port("midi/input", &RememberedPorts::in),
      Port("midi/output", &RememberedPorts::out),
  };
}

// QSettings' escapes inside a value: \\ \" \n \t \r \0 and \x with hex digits.
std::string Unescape(const std::string& raw) {
  std::string text = raw;
  // Spaces around a plain value are not part of it; inside quotes they are.
  auto first = text.find_first_not_of(" \t");
  auto last = text.find_last_not_of(" \t\r");
  text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
  bool quoted = text.size() >= 2 && text.front() == '"' && text.back() == '"';
  if (quoted) text = text.substr(1, text.size() - 2);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    char e = text[++i];
    switch (e) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '0':
        out += '\0';
        break;
      case 'x': {
        uint32_t code = 0;
        size_t digits = 0;
        while (i + 1 < text.size() && digits < 4 && std::isxdigit(uint8_t(text[i + 1]))) {
          code = code * 16 + uint32_t(std::stoi(std::string(1, text[++i]), nullptr, 16));
          ++digits;
        }
        // As UTF-8, so a port name with accents comes back whole.
        if (code < 0x80) {
          out += char(code);
        } else if (code < 0x800) {
          out += char(0xC0 | (code >> 6));
          out += char(0x80 | (code & 0x3F));
        } else {
          out += char(0xE0 | (code >> 12));
          out += char(0x80 | ((code >> 6) & 0x3F));
          out += char(0x80 | (code & 0x3F));
        }
        break;
      }
      default:
        out += e;
    }
  }
  return out;
}

}  // namespace

const std::vector<SettingLine>& SettingLines() {
  static const std::vector<SettingLine> lines = MakeLines();
  return lines;
}

std::vector<std::string> LoadSettings(const std::map<std::string, std::string>& values,
                                      TFormCtl& form, RememberedPorts& ports) {
  std::vector<std::string> refused;
  for (const SettingLine& line : SettingLines()) {
    auto it = values.find(line.key);
    if (it == values.end()) continue;
    if (!line.load(form, ports, it->second)) refused.push_back(line.key);
  }
  return refused;
}

std::string PortChoiceText(const PortChoice& choice) {
  switch (choice.kind) {
    case PortChoice::Kind::Named:
      return choice.name;
    case PortChoice::Kind::Virtual:
      return "virtual";
    case PortChoice::Kind::None:
      return "none";
    case PortChoice::Kind::Synth:
      return "synth";
    default:
      return "";
  }
}

std::optional<PortChoice> RememberedPort(const std::map<std::string, std::string>& values,
                                         const std::string& key) {
  auto it = values.find(key);
  return it == values.end() ? std::nullopt : PortFromText(it->second);
}

std::optional<std::map<std::string, std::string>> ReadSettingsFile(const std::string& path,
                                                                   std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::map<std::string, std::string> values;
  std::string group;
  std::string line;
  // A settings file is small; a huge one is no settings file, and reading stops at 1 MB.
  size_t total = 0;
  while (std::getline(in, line) && (total += line.size()) < (1u << 20)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == ';' || line[start] == '#') continue;
    if (line[start] == '[') {
      auto end = line.find(']', start);
      group = end == std::string::npos ? "" : line.substr(start + 1, end - start - 1);
      if (group == "General") group.clear();
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(start, eq - start);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    if (key.empty()) continue;
    values[group.empty() ? key : group + "/" + key] = Unescape(line.substr(eq + 1));
  }
  return values;
}

}  // namespace tandem
