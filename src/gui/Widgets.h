// Small widgets the window is made of: a red gauge bar, a keyboard picture, step arrows.
#pragma once

#include <QImage>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QWidget>

namespace tandem {

class Gauge;

// A plain bar filled red in proportion to a gauge's shown value; no percentage text.
class GaugeBar : public QWidget {
  Q_OBJECT
 public:
  GaugeBar(const Gauge& gauge, QWidget* parent = nullptr);
  // Repaints when the gauge's value changed since the last call.
  void Refresh();
  int ShownValue() const { return shown_; }
  QSize sizeHint() const override { return {120, 14}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  const Gauge& gauge_;
  int shown_ = -1;
};

// A read-only list of lines that asks for a few lines of room, not the toolkit's large default.
class LineMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit LineMemo(int visibleLines, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 private:
  int visibleLines_;
};

// Shows a keyboard image at its own size; the status timer paints the image.
class KeyboardPicture : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 385;
  static constexpr int kHeight = 89;

  explicit KeyboardPicture(QWidget* parent = nullptr);
  QImage& Image() { return image_; }
  QSize sizeHint() const override { return image_.size(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QImage image_;
};

// The up and down arrows of a step control, stacked beside its edit box. They keep no position
// of their own: the model's step control does.
class StepArrows : public QWidget {
  Q_OBJECT
 public:
  explicit StepArrows(QWidget* parent = nullptr);
  QToolButton* Up() const { return up_; }
  QToolButton* Down() const { return down_; }

 signals:
  void Stepped(int delta);

 private:
  QToolButton* up_;
  QToolButton* down_;
};

}  // namespace tandem
