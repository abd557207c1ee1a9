#include "app/skin_gauge.h"

namespace korvun {

void SkinGauge::SetRange(uint64_t lower, uint64_t upper) {
    lower_ = lower;
    upper_ = upper;
}

void SkinGauge::SetPos(uint64_t position) {
    position_ = position;
    // A shrinking bar must first cover its old fill with the background.
    Draw(fraction_ > FractionFor(position));
}

void SkinGauge::Draw(bool withBackground) {
    fraction_ = FractionFor(position_);
    int width = FillWidthFor(fraction_);
    // Position changes arrive per received block; only a change of the filled pixels is
    // worth a repaint.
    if (width == paintedWidth_) return;
    // Whatever the caller says, a narrower fill can only be shown over the background.
    if (width < paintedWidth_) withBackground = true;
    paintedWidth_ = width;
    if (painter_) painter_(withBackground, width);
}

void SkinGauge::Repaint() {
    fraction_ = FractionFor(position_);
    paintedWidth_ = FillWidthFor(fraction_);
    if (painter_) painter_(false, paintedWidth_);
}

float SkinGauge::FractionFor(uint64_t position) const {
    // The lower bound is not subtracted from the position; every caller uses 0. An empty
    // range shows nothing and a position past the end shows a full bar.
    if (upper_ <= lower_) return 0.0f;
    double fraction = static_cast<double>(position) / static_cast<double>(upper_ - lower_);
    if (fraction > 1.0) fraction = 1.0;
    return static_cast<float>(fraction);
}

int SkinGauge::FillWidthFor(float fraction) const {
    return static_cast<int>(static_cast<double>(width_) * static_cast<double>(fraction));
}

}  // namespace korvun
