// The updater window: a borderless dialog shaped by its background picture, with the notice
// page, two gauges, three status texts, the start, close and config buttons. It owns the
// worker, starts it once initialised and stops it on every way out.
#pragma once

#include <string>

#include <wx/bitmap.h>
#include <wx/dialog.h>
#include <wx/font.h>
#include <wx/icon.h>

#include "app/updater_window.h"
#include "ui/notice_view.h"
#include "ui/skin_bitmaps.h"
#include "ui/skin_gauge_control.h"
#include "update/update_thread.h"

namespace korvun {

class CHoverButton;

class CUpdaterDlg : public wxDialog, public UpdaterWindow {
  public:
    // Control ids of the window's children.
    static constexpr int kStartButtonId = wxID_OK;
    static constexpr int kConfigButtonId = 1000;
    static constexpr int kCloseButtonId = 1019;
    static constexpr int kNoticeViewId = 9090;
    static constexpr int kAboutCommandId = 16;

    // Creates the window with its controls and the notice page; the worker is handed the
    // server address chosen from the game directory's files.
    CUpdaterDlg();
    ~CUpdaterDlg() override;

    // Sets the worker's stop event and keeps the window responsive until the worker has ended.
    void StopWorker();
    void ApplySkin();

    CUpdateThread& Worker() { return worker_; }

  protected:
    void SetFieldText(TextField field, const std::string& text) override;
    void MoveStatusLineUp() override;
    void PaintGauge(GaugeId gauge, bool withBackground, int fillWidth) override;
    void EnableStartButton(bool enabled) override;
    void DoRequestClose() override;
    void PresentMessageBox(const std::string& text, const std::string& caption) override;
    void OnServerChanged(const std::string& address) override;

  private:
    struct TextArea {
        wxRect rect;
        int alignment;
        std::string text;
    };

    void OnInitDialog(wxInitDialogEvent& event);
    void OnPaint(wxPaintEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnStartButton(wxCommandEvent& event);
    void OnCloseButton(wxCommandEvent& event);
    void OnConfigButton(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnLeftDown(wxMouseEvent& event);
    void OnMotion(wxMouseEvent& event);
    void OnLeftUp(wxMouseEvent& event);
    void OnRightUp(wxMouseEvent& event);
    void OnCaptureLost(wxMouseCaptureLostEvent& event);

    void ShowSystemMenu(const wxPoint& where);
    void ShowAboutBox();
    void OpenHomePage();
    TextArea& Area(TextField field);

    CHoverButton* configButton_ = nullptr;
    TextArea speedText_;
    TextArea byteCounter_;
    TextArea statusLine_;
    CHoverButton* startButton_ = nullptr;
    CHoverButton* closeButton_ = nullptr;
    wxBitmap background_;
    CMyHtmlView noticeView_;
    CSkinGauge totalGauge_;
    CSkinGauge fileGauge_;
    const SkinSet* skinSet_ = &kSkinSets[0];
    bool dragging_ = false;
    wxIcon icon_;
    wxFont statusFont_;
    wxPoint dragOrigin_;
    // Where the window and the pointer were on the screen when the drag began.
    wxPoint dragWindowStart_;
    wxPoint dragPointerStart_;
    bool initialised_ = false;
    bool stopping_ = false;       // StopWorker() is waiting for the worker
    bool closeDeferred_ = false;  // a close request arrived while it waited
    bool closing_ = false;
    // Last member: it goes first, while everything it reports to is still there.
    CUpdateThread worker_;
};

}  // namespace korvun
