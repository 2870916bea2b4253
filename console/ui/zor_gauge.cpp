#include "console/ui/zor_gauge.h"

#include <QPaintEvent>
#include <QPainter>

namespace kartova {

namespace {

QColor ToQColor(TRgb c) { return QColor(c.r, c.g, c.b); }

// Right and bottom of `r` are outside it.
QRect ToQRect(const TGaugeRect& r) {
  return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1));
}

}  // namespace

TZorGauge::TZorGauge(QWidget* parent) : QWidget(parent) {
  resize(200, 40);
  gradient_ = QImage(width(), height() - 5, QImage::Format_RGB32);
  MakeGradient();
  state_.on_invalidate = [this] { update(); };
  state_.on_paint_now = [this] { repaint(); };
  state_.on_gradient_changed = [this] { MakeGradient(); };
}

void TZorGauge::MakeGradient() {
  QPainter painter(&gradient_);
  for (const TGradientBand& band :
       GradientBands(state_.Color1(), state_.Color2(), gradient_.height())) {
    if (band.bottom > band.top)
      painter.fillRect(0, band.top, gradient_.width(), band.bottom - band.top,
                       ToQColor(band.color));
  }
}

void TZorGauge::paintEvent(QPaintEvent*) {
  const int w = width();
  const int h = height();
  QPainter painter(this);
  painter.setPen(QPen(Qt::black, 2, Qt::SolidLine));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(QRectF(1, 1, w - 2, h - 2));

  const TGaugePaint paint = state_.Paint(w, h);
  if (paint.has_gradient) painter.drawImage(ToQRect(paint.gradient), gradient_);
  if (paint.has_background)
    painter.fillRect(ToQRect(paint.background), ToQColor(state_.Backcolor()));

  painter.setPen(palette().color(QPalette::WindowText));
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.drawText(QRect(0, 0, w, h), Qt::AlignCenter | Qt::TextSingleLine,
                   QString::fromStdString(state_.Caption()));
}

}  // namespace kartova
