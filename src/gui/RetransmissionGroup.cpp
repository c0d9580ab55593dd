#include "gui/RetransmissionGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <utility>

#include "gui/FormBinder.h"

namespace tandem {

RetransmissionGroup::RetransmissionGroup(FormBinder& binder) : QGroupBox("Retransmission") {
  setObjectName("RadioGroup1");
  TFormCtl& form = binder.Form();
  auto* column = new QVBoxLayout(this);
  column->setSpacing(4);
  auto* buttons = new QButtonGroup(this);
  for (auto [button, name] : {std::pair{&form.RadioButtonNoTransm, "RadioButtonNoTransm"},
                              std::pair{&form.RadioButtonInMsg, "RadioButtonInMsg"},
                              std::pair{&form.RadioButtonCst, "RadioButtonCst"},
                              std::pair{&form.RadioButtonVariable, "RadioButtonVariable"}}) {
    const auto choice = static_cast<Retransmission>(button->Index());
    QRadioButton* radio =
        binder.Radio(*button, name, [&form, choice] { form.SetRetransmission(choice); });
    buttons->addButton(radio);
    column->addWidget(radio);
  }
  column->addSpacing(6);
  auto* grid = TightGrid(nullptr);
  auto* base = binder.Setting(form.EditBaseValue, "EditBaseValue", 4);
  auto* mult = binder.Setting(form.EditMulValue, "EditMulValue", 4);
  base->setAlignment(Qt::AlignRight);
  mult->setAlignment(Qt::AlignRight);
  grid->addWidget(Label("Base", base), 0, 0);
  grid->addWidget(base, 0, 1);
  grid->addWidget(Label("ms"), 0, 2);
  grid->addWidget(Label("Mult.", mult), 1, 0);
  grid->addWidget(mult, 1, 1);
  grid->setColumnStretch(3, 1);
  column->addLayout(grid);
  column->addStretch();
  // RTP-MIDI repairs with its journal, always: the choice does not apply there.
  binder.OnRefresh([this, &form] {
    const bool applies = form.SelectedProtocol() == ProtocolTandem;
    if (isEnabled() != applies) {
      setEnabled(applies);
      setToolTip(applies ? QString() : "RTP-MIDI repairs losses with its journal, always");
    }
  });
}

}  // namespace tandem
