// TZorGauge: the gradient progress bar drawn with QPainter. Its properties
// and their rules live in TZorGaugeState (console/zor_gauge.h); this widget
// paints that state and keeps the gradient picture.
#pragma once

#include <QImage>
#include <QWidget>

#include "console/zor_gauge.h"

namespace kartova {

class TZorGauge : public QWidget {
  Q_OBJECT

 public:
  explicit TZorGauge(QWidget* parent = nullptr);

  // The properties; changing them repaints the widget as their rules say.
  TZorGaugeState& State() { return state_; }
  const TZorGaugeState& State() const { return state_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void MakeGradient();

  TZorGaugeState state_;
  // The gradient picture, the size the widget had when it was made (less 5
  // rows), stretched over the filled part whatever the widget's size now.
  QImage gradient_;
};

}  // namespace kartova
