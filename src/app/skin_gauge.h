// The toolkit-independent model of a skinned progress gauge: range, position, the last
// drawn fraction and the decision how to repaint.
#pragma once

#include <cstdint>
#include <functional>

namespace korvun {

class SkinGauge {
  public:
    // Called to paint: withBackground first covers the old fill; fillWidth is the width of
    // the fill bitmap to draw from its left edge (0 draws nothing).
    using Painter = std::function<void(bool withBackground, int fillWidth)>;

    void SetPainter(Painter painter) { painter_ = std::move(painter); }
    void SetWidth(int width) { width_ = width; }
    int Width() const { return width_; }

    void SetRange(uint64_t lower, uint64_t upper);  // stores; draws nothing
    void SetPos(uint64_t position);                 // stores, then Draw(shrinks)
    // Paints only when the fill width in pixels differs from the one last painted, or when
    // withBackground is set and the fill shrank.
    void Draw(bool withBackground);
    // Paints the fill unconditionally, after the window has repainted its background.
    void Repaint();

    uint64_t Lower() const { return lower_; }
    uint64_t Upper() const { return upper_; }
    uint64_t Pos() const { return position_; }
    float Fraction() const { return fraction_; }
    int FillWidth() const { return FillWidthFor(fraction_); }

  private:
    float FractionFor(uint64_t position) const;
    int FillWidthFor(float fraction) const;

    Painter painter_;
    int width_ = 0;
    uint64_t lower_ = 0;
    uint64_t upper_ = 1;
    uint64_t position_ = 0;
    float fraction_ = 0.0f;
    int paintedWidth_ = -1;  // last fill width handed to the painter
};

}  // namespace korvun
