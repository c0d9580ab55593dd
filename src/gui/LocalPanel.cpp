#include "gui/LocalPanel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "gui/FormBinder.h"
#include "gui/Widgets.h"

namespace tandem {

LocalPanel::LocalPanel(FormBinder& binder) : KeyboardPanel("LocalPanel", "ImageKeyboardToSend") {
  TFormCtl& form = binder.Form();
  auto* grid = TightGrid(nullptr);
  grid->addWidget(Label("Local Speed"), 0, 0);
  grid->addWidget(binder.GaugeView(form.GaugeSpeedLocal, "GaugeSpeedLocal"), 0, 1);
  auto* speed = binder.Display(form.EditSpeed, "EditSpeed", 7);
  speed->setAlignment(Qt::AlignRight);
  grid->addWidget(speed, 0, 2);
  grid->addWidget(Label("EPM"), 0, 3);

  auto* buffer = binder.Setting(form.EditBufferLocal, "EditBufferLocal", 7);
  buffer->setAlignment(Qt::AlignRight);
  grid->addWidget(Label("Local Buffer", buffer), 1, 0);
  grid->addWidget(binder.GaugeView(form.GaugeBufferLocal, "GaugeBufferLocal"), 1, 1);
  grid->addWidget(buffer, 1, 2);
  grid->addWidget(Label("ms"), 1, 3);

  auto* bufferButtons = new QHBoxLayout;
  bufferButtons->addWidget(
      binder.Check(form.CheckBoxAutomateLocalBuffer, "CheckBoxAutomateLocalBuffer",
                   [&form](bool checked) { form.SetAutomateLocalBuffer(checked); }));
  auto* set = binder.Command(form.ButtonSetLocalBuffer, "ButtonSetLocalBuffer",
                             [&form] { form.ButtonSetLocalBufferClick(); });
  bufferButtons->addWidget(set);
  bufferButtons->addStretch();
  grid->addLayout(bufferButtons, 2, 1, 1, 3);
  // Enter in the buffer box means "Set", as long as Set is available.
  connect(buffer, &QLineEdit::returnPressed, set, [set] {
    if (set->isEnabled()) set->click();
  });

  auto* steps = new QHBoxLayout;
  steps->addWidget(binder.Check(form.CheckBoxLocalMIDI, "CheckBoxLocalMIDI"));
  steps->addWidget(binder.StepPair(form.EditLocalCanal, "EditLocalCanal", "UpDownLocalCanal", true,
                                   &TFormCtl::UpDownLocalCanalChanging));
  steps->addSpacing(8);
  steps->addWidget(binder.Check(form.CheckBoxTranspose, "CheckBoxTranspose"));
  steps->addWidget(binder.StepPair(form.EditTransposeLocalValue, "EditTransposeLocalValue",
                                   "UpDownTransposeLocalValue", false,
                                   &TFormCtl::UpDownTransposeLocalValueChanging));
  steps->addStretch();
  grid->addLayout(steps, 3, 0, 1, 4);
  grid->setRowStretch(4, 1);
  AddControls(grid);
}

}  // namespace tandem
