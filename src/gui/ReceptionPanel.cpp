#include "gui/ReceptionPanel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

#include "gui/FormBinder.h"
#include "gui/Widgets.h"

namespace tandem {

ReceptionPanel::ReceptionPanel(FormBinder& binder)
    : KeyboardPanel("ReceptionPanel", "ImageKeyboardToPlay") {
  TFormCtl& form = binder.Form();
  auto* grid = TightGrid(nullptr);
  auto* receptionLabel = Label("Reception Buffer :");
  grid->addWidget(receptionLabel, 0, 0);
  auto* reception = new QHBoxLayout;
  reception->setSpacing(4);
  reception->addWidget(binder.GaugeView(form.GaugeBufferRemote, "GaugeBufferRemote"), 1);
  reception->addSpacing(4);
  auto* steady = binder.Check(form.CheckBoxSteady, "CheckBoxSteady");
  reception->addWidget(steady);
  auto* late = binder.Display(form.EditNbrLate, "EditNbrLate", 5);
  // No taller than the label, so the row keeps the gauge's height and the window its size.
  const int rowHeight = receptionLabel->sizeHint().height() + 2;
  steady->setFixedHeight(rowHeight);
  late->setFixedHeight(rowHeight);
  reception->addWidget(Label("Late", late));
  reception->addWidget(late);
  grid->addLayout(reception, 0, 1, 1, 3);

  auto* steps = new QHBoxLayout;
  steps->addWidget(binder.Check(form.CheckBoxMidiCanalOut, "CheckBoxMidiCanalOut"));
  steps->addWidget(binder.StepPair(form.EditMidiCanalOut, "EditMidiCanalOut", "UpDownMidiCanalOut",
                                   true, &TFormCtl::UpDownMidiCanalOutChanging));
  steps->addSpacing(8);
  steps->addWidget(binder.Check(form.CheckBoxTransposeOut, "CheckBoxTransposeOut"));
  steps->addWidget(binder.StepPair(form.EditTransposeOut, "EditTransposeOut", "UpDownTransposeOut",
                                   true, &TFormCtl::UpDownTransposeOutChanging));
  steps->addStretch();
  grid->addLayout(steps, 1, 0, 1, 4);

  // Sound settings that nothing reads yet: shown, greyed out.
  auto* program = binder.Setting(form.EditProgram, "EditProgram", 12);
  auto* factor = binder.Setting(form.EditFactorADSR, "EditFactorADSR", 3);
  auto* attack = binder.Setting(form.EditAttack, "EditAttack", 4);
  auto* release = binder.Setting(form.EditRelease, "EditRelease", 4);
  for (QLineEdit* e : {program, factor, attack, release}) e->setEnabled(false);
  auto* sound1 = new QHBoxLayout;
  sound1->setSpacing(4);
  sound1->addWidget(Label("Instrument", program));
  sound1->addWidget(program);
  sound1->addSpacing(8);
  sound1->addWidget(Label("Factor", factor));
  sound1->addWidget(factor);
  sound1->addStretch();
  auto* sound2 = new QHBoxLayout;
  sound2->setSpacing(4);
  sound2->addWidget(Label("Attack", attack));
  sound2->addWidget(attack);
  sound2->addWidget(Label("ms"));
  sound2->addSpacing(8);
  sound2->addWidget(Label("Release", release));
  sound2->addWidget(release);
  sound2->addWidget(Label("ms"));
  sound2->addStretch();
  for (auto* layout : {sound1, sound2}) {
    for (int i = 0; i < layout->count(); ++i) {
      if (auto* label = qobject_cast<QLabel*>(layout->itemAt(i)->widget()))
        label->setEnabled(false);
    }
  }
  grid->addLayout(sound1, 2, 0, 1, 4);
  grid->addLayout(sound2, 3, 0, 1, 4);
  grid->setRowStretch(4, 1);
  grid->setColumnStretch(1, 1);
  AddControls(grid);
}

}  // namespace tandem
