#include "ui/notice_view.h"

#include <wx/log.h>
#include <wx/webview.h>
#ifdef __WXMSW__
#include <wx/msw/webview_ie.h>
#endif

#include "ui/text_trace.h"

namespace korvun {

namespace {

// The page is shown flat in a fixed frame: whatever it says about scrolling, it gets none.
constexpr const char* kNoScrollBarsScript =
    "(function(){var s=document.createElement('style');"
    "s.textContent='html,body{overflow:hidden !important;}';"
    "(document.head||document.documentElement).appendChild(s);})();";

}  // namespace

bool CMyHtmlView::Create(wxWindow* parent, const wxRect& rect, wxWindowID id) {
    wxLogNull quiet;  // a missing browser engine means an empty area, not a box
    if (!wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) return false;
#ifdef __WXMSW__
    // Windows' own engine renders an embedded page as Internet Explorer 7 did unless the
    // program asks for the current engine (a per-user setting, kept for this program's name).
    wxWebViewIE::MSWSetEmulationLevel(wxWEBVIEWIE_EMU_IE11);
#endif
    wxWebView* view = wxWebView::New(wxWebViewBackendDefault);
    if (!view) return false;
    if (!view->Create(parent, id, wxWebViewDefaultURLStr, rect.GetPosition(), rect.GetSize(),
                      wxBORDER_NONE)) {
        delete view;
        return false;
    }
    view->EnableContextMenu(false);
    view->AddUserScript(kNoScrollBarsScript, wxWEBVIEW_INJECT_AT_DOCUMENT_END);
    view->Bind(wxEVT_WEBVIEW_LOADED, [](wxWebViewEvent& event) {
        TraceText("notice", event.GetURL().utf8_string());
        event.Skip();
    });
    // A page that cannot be loaded would leave the engine's own error text ("Could not
    // connect: ...") in the window; without the view the area shows the skin instead. A load
    // cancelled by the next one is no failure.
    view->Bind(wxEVT_WEBVIEW_ERROR, [view](wxWebViewEvent& event) {
        if (event.GetInt() != wxWEBVIEW_NAV_ERR_USER_CANCELLED) {
            TraceText("notice", "not loaded: " + event.GetURL().utf8_string());
            view->Hide();
        }
        event.Skip();
    });
    view_ = view;
    return true;
}

void CMyHtmlView::Navigate2(const std::string& address) {
    if (!view_) return;
    view_->Show();
    view_->LoadURL(wxString::FromUTF8(address));
}

}  // namespace korvun
