#include "ui/skin_gauge_control.h"

#include <algorithm>

#include <wx/dcmemory.h>

#include "ui/skin_bitmaps.h"

namespace korvun {

void CSkinGauge::Init(int x, int y, int backgroundId, int fillId) {
    Init(x, y, LoadSkinBitmap(backgroundId), LoadSkinBitmap(fillId));
}

void CSkinGauge::Init(int x, int y, const wxBitmap& background, const wxBitmap& fill) {
    x_ = x;
    y_ = y;
    background_ = background;
    fill_ = fill;
    width_ = background_.IsOk() ? background_.GetWidth() : 0;
    height_ = background_.IsOk() ? background_.GetHeight() : 0;
}

void CSkinGauge::SetPainted(bool withBackground, int fillWidth) {
    backgroundPending_ = withBackground;
    fillWidth_ = fillWidth;
}

void CSkinGauge::Draw(wxDC& dc, bool withBackground) const {
    if (withBackground && background_.IsOk() && width_ > 0 && height_ > 0) {
        dc.DrawBitmap(background_, x_, y_, false);
    }
    if (!fill_.IsOk()) return;
    int width = std::min({fillWidth_, width_, fill_.GetWidth()});
    int height = std::min(height_, fill_.GetHeight());
    if (width <= 0 || height <= 0) return;
    wxMemoryDC source;
    source.SelectObjectAsSource(fill_);
    dc.Blit(x_, y_, width, height, &source, 0, 0);
}

}  // namespace korvun
