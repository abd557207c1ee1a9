// A progress gauge drawn from two bitmaps: the background and, from its left edge, as much of
// the fill as the gauge's model says. The model (SkinGauge) decides when to repaint.
#pragma once

#include <wx/bitmap.h>
#include <wx/dc.h>
#include <wx/gdicmn.h>

namespace korvun {

class CSkinGauge {
  public:
    // Places the gauge at x, y in the window and loads both bitmaps; the gauge takes the size
    // of its background.
    void Init(int x, int y, int backgroundId, int fillId);
    void Init(int x, int y, const wxBitmap& background, const wxBitmap& fill);

    // What the model handed to its painter last: cover the old fill first, then a fill this
    // many pixels wide.
    void SetPainted(bool withBackground, int fillWidth);
    bool BackgroundPending() const { return backgroundPending_; }
    int FillWidth() const { return fillWidth_; }

    // Draws the gauge; an empty fill draws nothing (a zero-sized blit would abandon the rest
    // of a GTK repaint).
    void Draw(wxDC& dc, bool withBackground) const;

    wxRect Rect() const { return wxRect(x_, y_, width_, height_); }
    int Width() const { return width_; }

  private:
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
    int fillWidth_ = 0;
    bool backgroundPending_ = false;
    wxBitmap background_;
    wxBitmap fill_;
};

}  // namespace korvun
