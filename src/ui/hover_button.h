// A button drawn from four pictures (normal, hover, pressed, disabled) that shows its hover
// picture while the pointer rests on it.
#pragma once

#include <wx/bitmap.h>
#include <wx/window.h>

namespace korvun {

class CHoverButton : public wxWindow {
  public:
    enum class Picture { Normal, Hover, Pressed, Disabled };

    CHoverButton(wxWindow* parent, wxWindowID id, const wxPoint& position = wxDefaultPosition,
                 const wxSize& size = wxSize(1, 1));

    // Loads the four pictures from the program's resources and moves the button to x, y with
    // the size of the normal picture. A picture that cannot be loaded draws nothing.
    void LoadBitmaps(int x, int y, int normalId, int hoverId, int pressedId, int disabledId);

    // What shows where a picture is missing: the part of the window's background under the
    // button, so that a button without pictures is an invisible click area.
    void SetBackdrop(const wxBitmap& background) { backdrop_ = background; }

    // The picture for the current state: held down, then disabled, then hover, then normal.
    Picture CurrentPicture() const;
    bool IsHovered() const { return hover_; }

    bool Enable(bool enable = true) override;

  private:
    void OnPaint(wxPaintEvent& event);
    void OnEnter(wxMouseEvent& event);
    void OnLeave(wxMouseEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    void OnLeftUp(wxMouseEvent& event);
    void OnMotion(wxMouseEvent& event);
    void OnCaptureLost(wxMouseCaptureLostEvent& event);
    void SetHover(bool hover);
    void SetHeld(bool held);

    bool hover_ = false;
    bool held_ = false;        // the left button went down here and is still down
    bool heldInside_ = false;  // ... and the pointer is over the button
    int width_ = 0;
    int height_ = 0;
    wxBitmap pictures_[4];
    wxBitmap backdrop_;
};

}  // namespace korvun
