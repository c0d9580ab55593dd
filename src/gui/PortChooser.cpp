#include "gui/PortChooser.h"

#include <QAbstractItemView>
#include <QSignalBlocker>
#include <algorithm>
#include <cstring>

#include "midi/PortMatch.h"

namespace tandem {

QString PortLabel(const PortChoice& choice, PortRole role) {
  switch (choice.kind) {
    case PortChoice::Kind::Default:
      return role == PortRole::Output ? "Built-in synthesizer" : "First device";
    case PortChoice::Kind::Synth:
      return "Built-in synthesizer";
    case PortChoice::Kind::None:
      return "None";
    case PortChoice::Kind::Virtual:
      return "Port of our own";
    case PortChoice::Kind::Named:
      break;
  }
  return QString::fromStdString(choice.name);
}

std::vector<PortChoice> PortEntries(const std::vector<std::string>& ports, PortRole role,
                                    const std::string& clientName) {
  std::vector<PortChoice> entries;
  PortChoice first;
  first.kind = role == PortRole::Output ? PortChoice::Kind::Synth : PortChoice::Kind::Default;
  entries.push_back(first);
  for (const std::string& name : ports) {
    if (name.empty() || IsOwnPort(name, clientName)) continue;
    PortChoice port;
    port.kind = PortChoice::Kind::Named;
    port.name = name;
    entries.push_back(port);
  }
  PortChoice none;
  none.kind = PortChoice::Kind::None;
  entries.push_back(none);
  return entries;
}

PortChooser::PortChooser(PortRole role, Lister lister, std::string clientName, QWidget* parent)
    : QComboBox(parent),
      role_(role),
      lister_(std::move(lister)),
      clientName_(std::move(clientName)) {
  // Port names are long: the box stays narrow and its list opens as wide as they need.
  setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  setMinimumContentsLength(static_cast<int>(std::strlen("Built-in synthesizer")));
  connect(this, qOverload<int>(&QComboBox::activated), this, [this](int index) {
    if (index >= 0 && static_cast<size_t>(index) < entries_.size()) emit Chosen(entries_[index]);
  });
  Fill(PortEntries({}, role_, clientName_), PortChoice{});
}

void PortChooser::Fill(std::vector<PortChoice> entries, const PortChoice& keep) {
  QString wanted = PortLabel(keep, role_);
  auto same = [&](const PortChoice& c) { return PortLabel(c, role_) == wanted; };
  if (std::none_of(entries.begin(), entries.end(), same)) {
    entries.insert(entries.end() - 1, keep);  // before "None"
  }
  QSignalBlocker block(this);
  clear();
  entries_ = std::move(entries);
  int current = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    QString label = PortLabel(entries_[i], role_);
    addItem(label);
    setItemData(static_cast<int>(i), label, Qt::ToolTipRole);
    if (same(entries_[i])) current = static_cast<int>(i);
  }
  setCurrentIndex(current);
}

void PortChooser::Refill() {
  Fill(PortEntries(lister_ ? lister_() : std::vector<std::string>{}, role_, clientName_), Choice());
}

PortChoice PortChooser::Choice() const {
  int i = currentIndex();
  if (i < 0 || static_cast<size_t>(i) >= entries_.size()) return PortChoice{};
  return entries_[i];
}

void PortChooser::Select(const PortChoice& choice) {
  Fill(entries_, choice);
}

void PortChooser::showPopup() {
  Refill();
  int widest = 0;
  for (int i = 0; i < count(); ++i)
    widest = std::max(widest, fontMetrics().horizontalAdvance(itemText(i)));
  view()->setMinimumWidth(std::max(width(), widest + 40));
  QComboBox::showPopup();
}

}  // namespace tandem
