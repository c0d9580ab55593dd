// The settings that stay between runs: one line per remembered control, each with its key in
// the settings file, how its value is written as text and how a text is put back. A text that
// cannot be used (a damaged or hand-edited file) is refused and the control keeps its default.
// The window stores the lines through QSettings; the headless front end reads the same file
// format with ReadSettingsFile, so it needs no toolkit.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/FormCtrl.h"

namespace tandem {

// The ports chosen for the next "Read MIDI" and "Audition": not controls of the model, but
// remembered with them.
struct RememberedPorts {
  PortChoice in, out;
};

struct SettingLine {
  const char* key;  // "group/name"
  // The text to store; nothing removes the key (a passphrase not to remember).
  std::function<std::optional<std::string>(TFormCtl&, RememberedPorts&)> save;
  // Puts a stored text back; false, changing nothing, when the text is unusable.
  std::function<bool(TFormCtl&, RememberedPorts&, const std::string&)> load;
};

// Every remembered control of the model and the two ports, in the order they are loaded.
const std::vector<SettingLine>& SettingLines();

// Loads every line whose key `values` holds; returns the keys whose texts were refused.
std::vector<std::string> LoadSettings(const std::map<std::string, std::string>& values,
                                      TFormCtl& form, RememberedPorts& ports);

// A port choice as the settings file and the command line write it ("" is the default).
std::string PortChoiceText(const PortChoice& choice);
// The port stored under `key`, when `values` holds a usable one.
std::optional<PortChoice> RememberedPort(const std::map<std::string, std::string>& values,
                                         const std::string& key);

// Reads an INI file as QSettings writes it: "[group]" lines, "key=value" lines, values plain or
// in double quotes with backslash escapes; keys outside a group or in [General] stand alone.
// Lines it cannot make sense of are skipped. Nothing, with the reason in `error`, when the
// file cannot be read.
std::optional<std::map<std::string, std::string>> ReadSettingsFile(const std::string& path,
                                                                   std::string& error);

}  // namespace tandem
