#include "ui/hover_button.h"

#include <wx/dcclient.h>

#include "ui/skin_bitmaps.h"

namespace korvun {

CHoverButton::CHoverButton(wxWindow* parent, wxWindowID id, const wxPoint& position,
                           const wxSize& size)
    : wxWindow(parent, id, position, size, wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE) {
    // The pictures cover the whole button; no background is erased under them.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &CHoverButton::OnPaint, this);
    Bind(wxEVT_ENTER_WINDOW, &CHoverButton::OnEnter, this);
    Bind(wxEVT_LEAVE_WINDOW, &CHoverButton::OnLeave, this);
    Bind(wxEVT_LEFT_DOWN, &CHoverButton::OnLeftDown, this);
    Bind(wxEVT_LEFT_DCLICK, &CHoverButton::OnLeftDown, this);
    Bind(wxEVT_LEFT_UP, &CHoverButton::OnLeftUp, this);
    Bind(wxEVT_MOTION, &CHoverButton::OnMotion, this);
    Bind(wxEVT_MOUSE_CAPTURE_LOST, &CHoverButton::OnCaptureLost, this);
}

void CHoverButton::LoadBitmaps(int x, int y, int normalId, int hoverId, int pressedId,
                               int disabledId) {
    const int ids[4] = {normalId, hoverId, pressedId, disabledId};
    for (int i = 0; i < 4; ++i) pictures_[i] = LoadSkinBitmap(ids[i]);
    const wxBitmap& normal = pictures_[0];
    width_ = normal.IsOk() ? normal.GetWidth() : 0;
    height_ = normal.IsOk() ? normal.GetHeight() : 0;
    SetSize(x, y, width_, height_);
    Refresh();
}

CHoverButton::Picture CHoverButton::CurrentPicture() const {
    if (held_ && heldInside_) return Picture::Pressed;
    if (!IsThisEnabled()) return Picture::Disabled;
    if (hover_) return Picture::Hover;
    return Picture::Normal;
}

bool CHoverButton::Enable(bool enable) {
    bool changed = wxWindow::Enable(enable);
    if (changed) {
        if (!enable) SetHeld(false);
        Refresh();
    }
    return changed;
}

void CHoverButton::OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    const wxBitmap& picture = pictures_[static_cast<int>(CurrentPicture())];
    if (picture.IsOk()) {
        dc.DrawBitmap(picture, 0, 0, false);
    } else if (backdrop_.IsOk()) {
        wxPoint at = GetPosition();
        wxSize size = GetClientSize();
        if (size.x > 0 && size.y > 0 && at.x >= 0 && at.y >= 0 &&
            at.x + size.x <= backdrop_.GetWidth() && at.y + size.y <= backdrop_.GetHeight()) {
            dc.DrawBitmap(backdrop_.GetSubBitmap(wxRect(at, size)), 0, 0, false);
        }
    }
}

void CHoverButton::SetHover(bool hover) {
    if (hover_ == hover) return;
    hover_ = hover;
    Refresh();
}

void CHoverButton::SetHeld(bool held) {
    if (!held && HasCapture()) ReleaseMouse();
    held_ = held;
    heldInside_ = held;
    Refresh();
}

void CHoverButton::OnEnter(wxMouseEvent& event) {
    SetHover(true);
    event.Skip();
}

void CHoverButton::OnLeave(wxMouseEvent& event) {
    // While the button is held, the capture reports the pointer outside through motion.
    if (!held_) SetHover(false);
    event.Skip();
}

void CHoverButton::OnLeftDown(wxMouseEvent& event) {
    if (!IsThisEnabled()) return;
    if (!HasCapture()) CaptureMouse();
    SetHeld(true);
    event.Skip();
}

void CHoverButton::OnMotion(wxMouseEvent& event) {
    bool inside = wxRect(GetClientSize()).Contains(event.GetPosition());
    if (held_ && inside != heldInside_) {
        heldInside_ = inside;
        Refresh();
    }
    if (!held_ && !hover_ && inside) SetHover(true);
    event.Skip();
}

void CHoverButton::OnLeftUp(wxMouseEvent& event) {
    if (!held_) return;
    bool clicked = heldInside_;
    SetHeld(false);
    SetHover(wxRect(GetClientSize()).Contains(event.GetPosition()));
    if (clicked && IsThisEnabled()) {
        wxCommandEvent command(wxEVT_BUTTON, GetId());
        command.SetEventObject(this);
        ProcessWindowEvent(command);
    }
}

void CHoverButton::OnCaptureLost(wxMouseCaptureLostEvent&) {
    held_ = false;
    heldInside_ = false;
    Refresh();
}

}  // namespace korvun
