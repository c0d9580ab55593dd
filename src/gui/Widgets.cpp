#include "gui/Widgets.h"

#include <QPainter>
#include <QVBoxLayout>

#include "model/Controls.h"

namespace tandem {

GaugeBar::GaugeBar(const Gauge& gauge, QWidget* parent) : QWidget(parent), gauge_(gauge) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setMinimumWidth(60);
  Refresh();
}

void GaugeBar::Refresh() {
  int shown = gauge_.Shown();
  if (shown == shown_) return;
  shown_ = shown;
  update();
}

void GaugeBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect frame = rect().adjusted(0, 0, -1, -1);
  painter.fillRect(frame, palette().base());
  const int max = gauge_.MaxValue();
  if (max > 0 && shown_ > 0) {
    const QRect inside = frame.adjusted(1, 1, 0, 0);
    const int width = static_cast<int>(static_cast<int64_t>(inside.width()) * shown_ / max);
    painter.fillRect(QRect(inside.left(), inside.top(), width, inside.height()), Qt::red);
  }
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(frame);
}

LineMemo::LineMemo(int visibleLines, QWidget* parent)
    : QPlainTextEdit(parent), visibleLines_(visibleLines) {
  setReadOnly(true);
}

QSize LineMemo::sizeHint() const {
  const int frame = 2 * frameWidth() + 2 * static_cast<int>(document()->documentMargin());
  return {200, fontMetrics().lineSpacing() * visibleLines_ + frame};
}

KeyboardPicture::KeyboardPicture(QWidget* parent)
    : QWidget(parent), image_(kWidth, kHeight, QImage::Format_RGB32) {
  image_.fill(Qt::white);
  setFixedSize(kWidth, kHeight);
}

void KeyboardPicture::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, image_);
}

StepArrows::StepArrows(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto make = [this, layout](Qt::ArrowType arrow, int delta) {
    auto* button = new QToolButton(this);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);  // stepping leaves the focus where the user typed
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    button->setFixedWidth(18);
    connect(button, &QToolButton::clicked, this, [this, delta] { emit Stepped(delta); });
    layout->addWidget(button);
    return button;
  };
  up_ = make(Qt::UpArrow, +1);
  down_ = make(Qt::DownArrow, -1);
}

}  // namespace tandem
