#include "ui/updater_app.h"

#include <cstdio>
#include <future>

#include <wx/msgdlg.h>
#include <wx/thread.h>

#include "app/startup_checks.h"
#include "ui/text_trace.h"
#include "ui/updater_dlg.h"

namespace korvun {

void PresentMessageBox(const std::string& text, const std::string& caption) {
    TraceText("box", caption + "\t" + text);
    auto show = [text, caption] {
        wxMessageBox(wxString::FromUTF8(text), wxString::FromUTF8(caption), wxOK | wxICON_NONE,
                     nullptr);
    };
    if (wxIsMainThread()) {
        show();
        return;
    }
    wxApp* app = wxTheApp ? dynamic_cast<wxApp*>(wxTheApp) : nullptr;
    if (!app) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    std::promise<void> closed;
    std::future<void> waiter = closed.get_future();
    app->CallAfter([&show, &closed] {
        show();
        closed.set_value();
    });
    waiter.wait();
}

namespace {

// A failed toolkit check is reported on standard error; a player never gets a box about it.
void ReportAssertion(const wxString& file, int line, const wxString& function,
                     const wxString& condition, const wxString& message) {
    std::fprintf(stderr, "korvun-updater: %s:%d: %s: %s %s\n", file.utf8_str().data(), line,
                 function.utf8_str().data(), condition.utf8_str().data(),
                 message.utf8_str().data());
}

}  // namespace

bool CUpdaterApp::OnInit() {
    wxSetAssertHandler(ReportAssertion);
    // The command line is not read: nothing is configured through it.
    singleInstance_ = std::make_unique<NamedMutex>(kSingleInstanceMutexName);
    if (RunStartupChecks(*singleInstance_, PresentMessageBox) != StartupCheckResult::Passed) {
        return true;
    }

    CUpdaterDlg window;
    SetTopWindow(&window);
    window.ShowModal();
    SetTopWindow(nullptr);
    return true;
}

}  // namespace korvun
