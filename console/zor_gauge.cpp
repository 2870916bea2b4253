#include "console/zor_gauge.h"

#include <cmath>

namespace kartova {

int MulDivRound(int a, int b, int c) {
  const std::int64_t product = static_cast<std::int64_t>(a) * b;
  const std::int64_t half = c / 2;
  return static_cast<int>((product >= 0 ? product + half : product - half) / c);
}

std::array<TGradientBand, 256> GradientBands(TRgb c1, TRgb c2, int height) {
  const int dr = c2.r - c1.r;
  const int dg = c2.g - c1.g;
  const int db = c2.b - c1.b;
  std::array<TGradientBand, 256> bands;
  for (int i = 0; i < 256; ++i) {
    TGradientBand& band = bands[static_cast<std::size_t>(i)];
    band.top = MulDivRound(i, height, 256);
    band.bottom = MulDivRound(i + 1, height, 256);
    band.color.r = static_cast<std::uint8_t>(c1.r + MulDivRound(i, dr, 255));
    band.color.g = static_cast<std::uint8_t>(c1.g + MulDivRound(i, dg, 255));
    band.color.b = static_cast<std::uint8_t>(c1.b + MulDivRound(i, db, 255));
  }
  return bands;
}

void TZorGaugeState::SetMin(std::int32_t value) {
  if (value == min_ || value >= max_) return;
  min_ = value;
  if (progress_ < min_) progress_ = min_;
  Call(on_invalidate);
}

void TZorGaugeState::SetMax(std::int32_t value) {
  if (value == max_ || min_ >= value) return;
  max_ = value;
  if (progress_ > max_) progress_ = max_;
  if (autocaption_) {
    force_caption_ = true;
    SetProgress(progress_);
  }
  Call(on_invalidate);
}

void TZorGaugeState::SetProgress(std::int32_t value) {
  const bool changes = value != progress_ && min_ <= value && value <= max_;
  if (!changes && !force_caption_) return;
  progress_ = value;
  caption_ = std::to_string(progress_) + "/" + std::to_string(max_);
  force_caption_ = false;
  Call(on_paint_now);
}

void TZorGaugeState::SetColor1(TRgb value) {
  if (value == color1_) return;
  color1_ = value;
  Call(on_gradient_changed);
  Call(on_invalidate);
}

void TZorGaugeState::SetColor2(TRgb value) {
  if (value == color2_) return;
  color2_ = value;
  Call(on_gradient_changed);
  Call(on_invalidate);
}

void TZorGaugeState::SetBackcolor(TRgb value) {
  if (value == backcolor_) return;
  backcolor_ = value;
  Call(on_invalidate);
}

void TZorGaugeState::SetCaption(const std::string& value) {
  if (value == caption_) return;
  caption_ = value;
  Call(on_paint_now);
}

void TZorGaugeState::SetAutocaption(bool value) {
  if (value == autocaption_) return;
  autocaption_ = value;
  if (value) {
    force_caption_ = true;
    SetProgress(progress_);
  }
  Call(on_invalidate);
}

TGaugePaint TZorGaugeState::Paint(int width, int height) const {
  TGaugePaint paint;
  const double share = (static_cast<double>(progress_) - min_) / (static_cast<double>(max_) - min_);
  paint.percent = static_cast<int>(std::lround(share * 100));
  paint.fill = (width - 3) * paint.percent / 100;
  if (paint.fill != 0) {
    paint.has_gradient = true;
    paint.gradient = {2, 2, paint.fill + 1, height - 2};
  }
  if (paint.percent < 100) {
    paint.has_background = true;
    paint.background = {paint.fill + 2, 2, width - 2, height - 2};
  }
  return paint;
}

}  // namespace kartova
