// The gradient progress gauge without its window: its properties and the
// rules their setters keep, the 256 colour bands of its gradient picture,
// and where a paint draws what. console/ui/zor_gauge.h draws it with Qt.
//
// Invariants kept by the setters:
//   1. Min() < Max().
//   2. Min() <= Progress() <= Max().
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace kartova {

struct TRgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  bool operator==(const TRgb&) const = default;
};

inline constexpr TRgb kWhite{255, 255, 255};
inline constexpr TRgb kYellow{255, 255, 0};
inline constexpr TRgb kBlue{0, 0, 255};

// A rectangle by its left/top and right/bottom edges; right and bottom are
// outside it.
struct TGaugeRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool operator==(const TGaugeRect&) const = default;
};

// a * b / c rounded to the nearest integer, halves away from zero.
// REQUIRES: c > 0.
int MulDivRound(int a, int b, int c);

// One band of the gradient picture: the rows from `top` up to, not
// including, `bottom` over the full width, in `color`.
struct TGradientBand {
  int top = 0;
  int bottom = 0;
  TRgb color;
};

// The gradient picture of height `height`: 256 bands from `c1` at the top
// to `c2` at the bottom.
std::array<TGradientBand, 256> GradientBands(TRgb c1, TRgb c2, int height);

// What one paint of a gauge `width` x `height` draws besides the frame
// (a 2-pixel black line around (1, 1)-(width, height)) and the caption.
struct TGaugePaint {
  int percent = 0;
  // Width of the filled part.
  int fill = 0;
  // The gradient picture is stretched into `gradient` when `has_gradient`.
  bool has_gradient = false;
  TGaugeRect gradient;
  // The rest is filled with the background colour when `has_background`.
  bool has_background = false;
  TGaugeRect background;
};

class TZorGaugeState {
 public:
  // What the control does when a setter changes something: repaint when
  // the window system gets round to it, repaint at once, and remake the
  // gradient picture (the colours changed).
  std::function<void()> on_invalidate;
  std::function<void()> on_paint_now;
  std::function<void()> on_gradient_changed;

  std::int32_t Min() const { return min_; }
  // Ignored when equal to Min() or not below Max(); raises Progress() to
  // the new minimum.
  void SetMin(std::int32_t value);
  std::int32_t Max() const { return max_; }
  // Ignored when equal to Max() or not above Min(); lowers Progress() to the
  // new maximum, and with Autocaption() on remakes the caption.
  void SetMax(std::int32_t value);
  std::int32_t Progress() const { return progress_; }
  // A new value within Min()..Max() is stored and the caption becomes
  // "<Progress>/<Max>"; anything else is ignored.
  void SetProgress(std::int32_t value);
  TRgb Color1() const { return color1_; }
  void SetColor1(TRgb value);
  TRgb Color2() const { return color2_; }
  void SetColor2(TRgb value);
  TRgb Backcolor() const { return backcolor_; }
  void SetBackcolor(TRgb value);
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& value);
  bool Autocaption() const { return autocaption_; }
  // Switching it on remakes the caption from the current progress.
  void SetAutocaption(bool value);

  // The paint of a control `width` x `height` in the current state.
  TGaugePaint Paint(int width, int height) const;

 private:
  static void Call(const std::function<void()>& f) {
    if (f) f();
  }

  std::int32_t min_ = 1;
  std::int32_t max_ = 100;
  std::int32_t progress_ = 1;
  TRgb color1_ = kWhite;
  TRgb color2_ = kYellow;
  TRgb backcolor_ = kWhite;
  std::string caption_ = "ZorGauge";
  bool autocaption_ = false;
  // Makes the next SetProgress store its value and remake the caption even
  // when the value did not change.
  bool force_caption_ = false;
};

}  // namespace kartova
