// The choosers of the MIDI input and output ports: combo boxes that ask for the port list afresh
// each time they open, since devices come and go while the program runs.
#pragma once

#include <QComboBox>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "midi/Midi.h"

namespace tandem {

enum class PortRole { Input, Output };

// What an entry of a chooser shows for a choice: "Built-in synthesizer" for the output's default,
// "First device" for the input's, "None", "Port of our own", or the port's name.
QString PortLabel(const PortChoice& choice, PortRole role);

// The entries of a chooser for the ports the MIDI system lists now: the built-in synthesizer
// (output) or the first device (input) first, then each port, then "None". Ports of our own
// client are left out: they cannot be chosen by name.
std::vector<PortChoice> PortEntries(const std::vector<std::string>& ports, PortRole role,
                                    const std::string& clientName);

class PortChooser : public QComboBox {
  Q_OBJECT
 public:
  using Lister = std::function<std::vector<std::string>()>;

  PortChooser(PortRole role, Lister lister, std::string clientName, QWidget* parent = nullptr);

  // Lists the ports again, keeping the current choice (shown even when its port is gone).
  void Refill();
  PortChoice Choice() const;
  // Selects `choice`, adding it when no entry shows it; emits nothing.
  void Select(const PortChoice& choice);
  void showPopup() override;

 signals:
  // The user picked an entry.
  void Chosen(const tandem::PortChoice& choice);

 private:
  void Fill(std::vector<PortChoice> entries, const PortChoice& keep);

  PortRole role_;
  Lister lister_;
  std::string clientName_;
  std::vector<PortChoice> entries_;
};

}  // namespace tandem
