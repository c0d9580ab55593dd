#include "gui/FormBinder.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <algorithm>
#include <exception>

#include "gui/Widgets.h"

namespace tandem {

namespace {

QColor Rgb(uint32_t rgb) {
  return QColor::fromRgb(static_cast<QRgb>(rgb));
}

}  // namespace

QGridLayout* TightGrid(QWidget* owner) {
  auto* grid = new QGridLayout(owner);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(4);
  return grid;
}

QLabel* Label(const QString& text, QWidget* buddy) {
  auto* label = new QLabel(text);
  if (buddy) label->setBuddy(buddy);
  return label;
}

FormBinder::FormBinder(TFormCtl& form, QWidget& window) : form_(form), window_(window) {}

QLineEdit* FormBinder::Display(EditBox& box, const char* name, int chars) {
  auto* edit = new QLineEdit;
  edit->setObjectName(name);
  edit->setReadOnly(true);
  edit->setFocusPolicy(Qt::ClickFocus);  // selectable for copying, but Tab passes it by
  if (chars > 0) {
    QFontMetrics fm(edit->font());
    edit->setFixedWidth(fm.horizontalAdvance(QString(chars, QChar('0'))) + 14);
  }
  edits_.push_back({edit, &box, false, UINT64_MAX});
  return edit;
}

QLineEdit* FormBinder::Setting(EditBox& box, const char* name, int chars) {
  auto* edit = Display(box, name, chars);
  edit->setReadOnly(false);
  edit->setFocusPolicy(Qt::StrongFocus);
  edits_.back().editable = true;
  if (box.MaxLength() > 0) edit->setMaxLength(static_cast<int>(box.MaxLength()));
  size_t index = edits_.size() - 1;
  // Every keystroke reaches the model, so a thread reading the setting sees what is typed.
  connect(edit, &QLineEdit::textEdited, this, [this, index](const QString& text) {
    EditBinding& b = edits_[index];
    b.box->SetText(text.toStdString());
    b.seen = b.box->Version();
  });
  return edit;
}

QCheckBox* FormBinder::Check(CheckBox& box, const char* name, std::function<void(bool)> onClick) {
  auto* check = new QCheckBox(QText(box.Caption()));
  check->setObjectName(name);
  check->setChecked(box.Checked());
  checks_.push_back({check, &box});
  connect(check, &QCheckBox::clicked, this, [this, &box, onClick](bool checked) {
    RunCommand([&box, &onClick, checked] {
      if (onClick) {
        onClick(checked);
      } else {
        box.SetChecked(checked);
      }
    });
  });
  return check;
}

QPushButton* FormBinder::Command(Button& button, const char* name, std::function<void()> command) {
  auto* push = new QPushButton(QText(button.Caption()));
  push->setObjectName(name);
  push->setAutoDefault(false);
  buttons_.push_back({push, &button});
  connect(push, &QPushButton::clicked, this, [this, command] { RunCommand(command); });
  return push;
}

QPlainTextEdit* FormBinder::MemoView(Memo& memo, const char* name, int visibleLines) {
  auto* view = new LineMemo(visibleLines);
  view->setObjectName(name);
  view->setMaximumBlockCount(2000);
  view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memos_.push_back({view, &memo, 0, UINT32_MAX});
  return view;
}

GaugeBar* FormBinder::GaugeView(Gauge& gauge, const char* name) {
  auto* bar = new GaugeBar(gauge);
  bar->setObjectName(name);
  gauges_.push_back(bar);
  return bar;
}

QRadioButton* FormBinder::Radio(RadioButton& button, const char* name,
                                std::function<void()> command) {
  auto* radio = new QRadioButton(QText(button.Caption()));
  radio->setObjectName(name);
  radio->setChecked(button.Checked());
  radios_.emplace_back(radio, &button);
  connect(radio, &QRadioButton::clicked, this, [this, command] { RunCommand(command); });
  return radio;
}

QWidget* FormBinder::StepPair(EditBox& box, const char* editName, const char* arrowsName,
                              bool typable, void (TFormCtl::*handler)(int)) {
  auto* pair = new QWidget;
  auto* row = new QHBoxLayout(pair);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(1);
  QLineEdit* edit = typable ? Setting(box, editName, 3) : Display(box, editName, 3);
  edit->setAlignment(Qt::AlignRight);
  auto* arrows = new StepArrows;
  arrows->setObjectName(arrowsName);
  arrows->setFixedHeight(edit->sizeHint().height());
  connect(arrows, &StepArrows::Stepped, this, [this, handler](int delta) {
    TFormCtl& form = form_;
    RunCommand([&form, handler, delta] { (form.*handler)(delta); });
  });
  // The arrow keys in the box step too, as on a spin box.
  edit->installEventFilter(this);
  stepEdits_.emplace_back(edit, arrows);
  row->addWidget(edit);
  row->addWidget(arrows);
  row->addStretch();
  return pair;
}

void FormBinder::OnRefresh(std::function<void()> refresh) {
  refreshers_.push_back(std::move(refresh));
}

void FormBinder::RunCommand(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    QMessageBox::critical(&window_, window_.windowTitle(), QText(e.what()));
  }
  Refresh(true);
}

void FormBinder::Refresh(bool force) {
  for (EditBinding& b : edits_) {
    uint64_t version = b.box->Version();
    if (version == b.seen) continue;
    if (b.editable && !force && b.widget->hasFocus()) continue;
    b.seen = version;
    QString text = QText(b.box->Text());
    if (b.widget->text() != text) {
      int cursor = b.widget->cursorPosition();
      b.widget->setText(text);
      // A display shows the start of a long text; a box being typed in keeps its cursor.
      b.widget->setCursorPosition(b.widget->hasFocus() ? std::min(cursor, int(text.size())) : 0);
    }
  }
  for (auto& refresh : refreshers_) refresh();
  for (MemoBinding& m : memos_) {
    for (const std::string& line : m.memo->LinesSince(m.cursor))
      m.widget->appendPlainText(QText(line));
    uint32_t color = m.memo->Color();
    if (color != m.color) {
      m.color = color;
      // The model's default colour is the window's own text colour, whatever the theme.
      QPalette p = m.widget->palette();
      p.setColor(QPalette::Text,
                 color == kRgbDefaultText ? window_.palette().color(QPalette::Text) : Rgb(color));
      m.widget->setPalette(p);
    }
  }
  for (CheckBinding& c : checks_) {
    if (c.widget->isChecked() != c.box->Checked()) {
      QSignalBlocker block(c.widget);
      c.widget->setChecked(c.box->Checked());
    }
  }
  for (ButtonBinding& b : buttons_) b.widget->setEnabled(b.button->Enabled());
  for (auto& [radio, button] : radios_) {
    if (radio->isChecked() != button->Checked() && button->Checked()) {
      QSignalBlocker block(radio);
      radio->setChecked(true);
    }
  }
  for (GaugeBar* g : gauges_) g->Refresh();
}

bool FormBinder::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
      for (auto& [edit, arrows] : stepEdits_) {
        if (edit == watched) {
          emit arrows->Stepped(key->key() == Qt::Key_Up ? +1 : -1);
          return true;
        }
      }
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace tandem
