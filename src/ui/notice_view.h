// The operator's notice page inside the window: a browser view without border, scroll bars
// or context menu.
#pragma once

#include <string>

#include <wx/gdicmn.h>
#include <wx/window.h>

class wxWebView;

namespace korvun {

class CMyHtmlView {
  public:
    // Creates the view as a visible child of parent in rect; false when no browser view can
    // be made, which leaves the area to the parent.
    bool Create(wxWindow* parent, const wxRect& rect, wxWindowID id);
    void Navigate2(const std::string& address);

    // The browser view; null until created. Its parent owns and destroys it.
    wxWebView* View() const { return view_; }

  private:
    wxWebView* view_ = nullptr;
};

}  // namespace korvun
