#include "ui/updater_dlg.h"

#include <wx/dcclient.h>
#include <wx/evtloop.h>
#include <wx/fontenum.h>
#include <wx/menu.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include "app/messages.h"
#include "platform/directories.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "ui/bitmap_region.h"
#include "ui/hover_button.h"
#include "ui/text_trace.h"
#include "ui/updater_app.h"
#include "ui/worker_control.h"
#include "update/server_address.h"

namespace korvun {

namespace {

// Pixel layout of the window (client coordinates; the client area is the whole window).
const wxRect kNoticeRect(21, 40, 708, 415);
const wxPoint kClosePosition(713, 10);
const wxPoint kStartPosition(579, 486);
const wxPoint kFileGaugePosition(39, 495);
const wxPoint kTotalGaugePosition(39, 506);
const wxRect kStatusRect(45, 525, 250, 13);
const wxRect kErrorStatusRect(45, 475, 462, 13);
const wxRect kByteCounterRect(260, 525, 191, 13);
const wxRect kSpeedRect(472, 525, 73, 13);
const wxRect kHomePageSpot(28, 18, 195 - 28 + 1, 75 - 18 + 1);
// The config button keeps its place in dialog units, 78,212 and 44x16; the dialog font
// (10 point Gulim) has base units of 6x13 pixels.
const wxRect kConfigRect(78 * 6 / 4, 212 * 13 / 8, 44 * 6 / 4, 16 * 13 / 8);

const wxColour kTextColour(215, 215, 205);
constexpr int kStatusFontHeight = 12;  // pixels
constexpr const char* kUpdaterMenuText = "Updater";
constexpr const char* kLocalVersionOverride = "UpdateVersion-tov-.ini";

// "굴림체" where the system has it, else a monospaced font that has Hangul.
wxFont MakeStatusFont() {
    for (const char* face : {"굴림체", "NanumGothicCoding"}) {
        wxString name = wxString::FromUTF8(face);
        if (wxFontEnumerator::IsValidFacename(name)) {
            return wxFont(wxFontInfo(wxSize(0, kStatusFontHeight)).FaceName(name));
        }
    }
    return wxFont(wxFontInfo(wxSize(0, kStatusFontHeight)).Family(wxFONTFAMILY_TELETYPE));
}

}  // namespace

// The game directory is where the player started the program.
CUpdaterDlg::CUpdaterDlg()
    : worker_(*this, ClientDirectory(CurrentDirectory()),
              {ChooseServerAddress(ClientDirectory(CurrentDirectory()))}) {
    background_ = LoadSkinBitmap(skinSet_->background);
    // The size goes to the constructor: set later on a borderless window under a bare X
    // server, it can come out as 1x1.
    wxSize size = background_.IsOk() ? background_.GetSize() : wxSize(750, 550);
    Create(nullptr, wxID_ANY, kAppTitle, wxDefaultPosition, size, wxBORDER_NONE | wxFRAME_SHAPED);
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetEscapeId(wxID_NONE);  // Escape is a close request, handled below
    Centre(wxBOTH);

    statusLine_ = {kStatusRect, wxALIGN_LEFT, ""};
    byteCounter_ = {kByteCounterRect, wxALIGN_RIGHT, ""};
    speedText_ = {kSpeedRect, wxALIGN_RIGHT, ""};

    // The config button is an invisible click area; the notice page, made after it, lies
    // over it.
    configButton_ =
        new CHoverButton(this, kConfigButtonId, kConfigRect.GetPosition(), kConfigRect.GetSize());
    configButton_->SetBackdrop(background_);
    if (noticeView_.Create(this, kNoticeRect, kNoticeViewId)) {
        noticeView_.Navigate2(ServerPageUrl(KORVUN_NOTICE_URL, worker_.ServerAddress()));
    }
    startButton_ = new CHoverButton(this, kStartButtonId);
    closeButton_ = new CHoverButton(this, kCloseButtonId);

    Bind(wxEVT_INIT_DIALOG, &CUpdaterDlg::OnInitDialog, this);
    Bind(wxEVT_PAINT, &CUpdaterDlg::OnPaint, this);
    Bind(wxEVT_CLOSE_WINDOW, &CUpdaterDlg::OnClose, this);
    Bind(wxEVT_CHAR_HOOK, &CUpdaterDlg::OnCharHook, this);
    Bind(wxEVT_BUTTON, &CUpdaterDlg::OnStartButton, this, kStartButtonId);
    Bind(wxEVT_BUTTON, &CUpdaterDlg::OnCloseButton, this, kCloseButtonId);
    Bind(wxEVT_BUTTON, &CUpdaterDlg::OnConfigButton, this, kConfigButtonId);
    Bind(wxEVT_MENU, &CUpdaterDlg::OnAbout, this, kAboutCommandId);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { Close(); }, wxID_CLOSE);
    Bind(wxEVT_LEFT_DOWN, &CUpdaterDlg::OnLeftDown, this);
    Bind(wxEVT_LEFT_DCLICK, &CUpdaterDlg::OnLeftDown, this);
    Bind(wxEVT_MOTION, &CUpdaterDlg::OnMotion, this);
    Bind(wxEVT_LEFT_UP, &CUpdaterDlg::OnLeftUp, this);
    Bind(wxEVT_RIGHT_UP, &CUpdaterDlg::OnRightUp, this);
    Bind(wxEVT_MOUSE_CAPTURE_LOST, &CUpdaterDlg::OnCaptureLost, this);
}

CUpdaterDlg::~CUpdaterDlg() {
    // Every close path has stopped the worker already; this covers any other way out, so
    // the worker never reports to a window that is gone.
    StopWorker();
    // The local override of the server's version file holds for one run only.
    DeleteFile(kLocalVersionOverride);
}

void CUpdaterDlg::OnInitDialog(wxInitDialogEvent&) {
    if (initialised_) return;
    initialised_ = true;
    wxBitmap iconBitmap = LoadSkinBitmap(kApplicationIconId);
    if (iconBitmap.IsOk()) {
        icon_.CopyFromBitmap(iconBitmap);
        SetIcon(icon_);
    }
    skinSet_ = &kSkinSets[0];
    ApplySkin();
    SetTitle(kAppTitle);
    SetUpdatedThisRun(false);
    if (!StartWorker(worker_)) ShowErrorText("start thread error");
    dragging_ = false;
    // Keys go to the window, not to the page, until the player clicks into the page.
    closeButton_->SetFocus();
}

void CUpdaterDlg::ApplySkin() {
    background_ = LoadSkinBitmap(skinSet_->background);
    if (background_.IsOk()) {
        if (std::optional<wxRegion> shape = BuildRegionFromBitmap(background_, 0, 0, 243)) {
            SetShape(*shape);
        }
    }
    // Sized and centred in one step, so that the window never shows anywhere else.
    wxSize size = background_.IsOk() ? background_.GetSize() : GetSize();
    wxRect screen(wxGetDisplaySize());
    SetSize(screen.x + (screen.width - size.x) / 2, screen.y + (screen.height - size.y) / 2, size.x,
            size.y);
    configButton_->SetBackdrop(background_);

    closeButton_->LoadBitmaps(kClosePosition.x, kClosePosition.y, skinSet_->closeNormal,
                              skinSet_->closeHover, skinSet_->closePressed, skinSet_->closePressed);
    startButton_->LoadBitmaps(kStartPosition.x, kStartPosition.y, skinSet_->startNormal,
                              skinSet_->startHover, skinSet_->startPressed, skinSet_->startPressed);
    startButton_->Disable();

    fileGauge_.Init(kFileGaugePosition.x, kFileGaugePosition.y, skinSet_->gaugeBackground,
                    skinSet_->fileGaugeFill);
    totalGauge_.Init(kTotalGaugePosition.x, kTotalGaugePosition.y, skinSet_->gaugeBackground,
                     skinSet_->totalGaugeFill);
    InitGauges(fileGauge_.Width(), totalGauge_.Width());

    statusLine_.rect = StatusLineMoved() ? kErrorStatusRect : kStatusRect;
    statusFont_ = MakeStatusFont();
    Refresh();
}

CUpdaterDlg::TextArea& CUpdaterDlg::Area(TextField field) {
    switch (field) {
        case TextField::ByteCounter:
            return byteCounter_;
        case TextField::Speed:
            return speedText_;
        case TextField::Status:
            break;
    }
    return statusLine_;
}

// The primitives below run on the worker's thread: each hands its work to the window's
// thread and touches nothing of the toolkit itself.

void CUpdaterDlg::SetFieldText(TextField field, const std::string& text) {
    CallAfter([this, field, text] {
        TextArea& area = Area(field);
        if (area.text == text) return;
        area.text = text;
        RefreshRect(area.rect, false);
        TraceText(field == TextField::Status        ? "status"
                  : field == TextField::ByteCounter ? "bytes"
                                                    : "speed",
                  text);
    });
}

void CUpdaterDlg::MoveStatusLineUp() {
    CallAfter([this] {
        RefreshRect(statusLine_.rect, false);
        statusLine_.rect = kErrorStatusRect;
        RefreshRect(statusLine_.rect, false);
    });
}

void CUpdaterDlg::PaintGauge(GaugeId gauge, bool withBackground, int fillWidth) {
    CallAfter([this, gauge, withBackground, fillWidth] {
        CSkinGauge& control = gauge == GaugeId::File ? fileGauge_ : totalGauge_;
        control.SetPainted(withBackground, fillWidth);
        RefreshRect(control.Rect(), false);
        TraceText(gauge == GaugeId::File ? "file_gauge" : "total_gauge", std::to_string(fillWidth));
    });
}

void CUpdaterDlg::EnableStartButton(bool enabled) {
    CallAfter([this, enabled] {
        startButton_->Enable(enabled);
        TraceText("start_button", enabled ? "enabled" : "disabled");
    });
}

void CUpdaterDlg::DoRequestClose() {
    CallAfter([this] { Close(); });
}

void CUpdaterDlg::PresentMessageBox(const std::string& text, const std::string& caption) {
    korvun::PresentMessageBox(text, caption);
}

void CUpdaterDlg::OnServerChanged(const std::string& address) {
    CallAfter(
        [this, address] { noticeView_.Navigate2(ServerPageUrl(KORVUN_NOTICE_URL, address)); });
}

void CUpdaterDlg::OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    if (background_.IsOk()) dc.DrawBitmap(background_, 0, 0, false);
    fileGauge_.Draw(dc, fileGauge_.BackgroundPending());
    totalGauge_.Draw(dc, totalGauge_.BackgroundPending());

    dc.SetFont(statusFont_);
    dc.SetTextForeground(kTextColour);
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    for (const TextArea* area : {&statusLine_, &byteCounter_, &speedText_}) {
        if (area->text.empty()) continue;
        wxDCClipper clip(dc, area->rect);
        dc.DrawLabel(wxString::FromUTF8(area->text), area->rect, area->alignment | wxALIGN_TOP);
    }
}

void CUpdaterDlg::StopWorker() {
    if (closeButton_) closeButton_->Disable();
    if (stopping_ || !IsWorkerRunning(worker_)) return;
    stopping_ = true;
    worker_.Stop().Set();
    // The worker may be waiting for the window (a message box, a close request), so the
    // window keeps handling its events until the worker has ended, however long that takes.
    wxGUIEventLoop loop;
    wxTimer poll;
    poll.Bind(wxEVT_TIMER, [this, &loop](wxTimerEvent&) {
        if (!IsWorkerRunning(worker_)) loop.Exit();
    });
    poll.Start(1);
    loop.Run();
    poll.Stop();
    stopping_ = false;
    if (closeDeferred_) {
        closeDeferred_ = false;
        CallAfter([this] { Close(); });
    }
}

void CUpdaterDlg::OnClose(wxCloseEvent& event) {
    if (stopping_) {
        // Ending the modal run now would end the wait for the worker instead.
        closeDeferred_ = true;
        if (event.CanVeto()) event.Veto();
        return;
    }
    if (closing_) return;
    closing_ = true;
    StopWorker();
    if (IsModal()) {
        EndModal(wxID_CANCEL);
    } else {
        Destroy();
    }
}

void CUpdaterDlg::OnCharHook(wxKeyEvent& event) {
    if (event.GetKeyCode() == WXK_ESCAPE) {
        Close();
        return;
    }
    if (event.GetKeyCode() == WXK_SPACE && event.GetModifiers() == wxMOD_ALT) {
        ShowSystemMenu(wxPoint(0, 0));
        return;
    }
    event.Skip();
}

void CUpdaterDlg::OnStartButton(wxCommandEvent&) {
    StartProcess("Game.exe start game");
    // The button is enabled only once the run has completed; no worker is left to stop.
    StopWorker();
    closing_ = true;
    if (IsModal()) EndModal(wxID_OK);
}

void CUpdaterDlg::OnCloseButton(wxCommandEvent&) {
    StopWorker();
    CallAfter([this] { Close(); });
}

void CUpdaterDlg::OnConfigButton(wxCommandEvent&) { StartProcess("Config.exe"); }

void CUpdaterDlg::ShowSystemMenu(const wxPoint& where) {
    wxMenu menu;
    menu.Append(wxID_CLOSE, "&Close\tAlt+F4");
    menu.AppendSeparator();
    menu.Append(kAboutCommandId, kUpdaterMenuText);
    PopupMenu(&menu, where);
}

void CUpdaterDlg::OnAbout(wxCommandEvent&) { ShowAboutBox(); }

void CUpdaterDlg::ShowAboutBox() {
    wxDialog about(this, wxID_ANY, "About Korvun Updater");
    auto* text = new wxBoxSizer(wxVERTICAL);
    text->Add(new wxStaticText(&about, wxID_ANY, "Korvun Updater Version 1.0"), 0, wxBOTTOM, 6);
    text->Add(new wxStaticText(&about, wxID_ANY, "Copyright (C) Korvun. All rights reserved."));
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    if (icon_.IsOk()) row->Add(new wxStaticBitmap(&about, wxID_ANY, icon_), 0, wxRIGHT, 12);
    row->Add(text, 1);
    auto* ok = new wxButton(&about, wxID_OK, "OK");
    ok->SetDefault();
    row->Add(ok, 0, wxLEFT | wxALIGN_TOP, 12);
    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(row, 1, wxALL | wxEXPAND, 12);
    about.SetSizerAndFit(outer);
    about.CentreOnParent();
    ok->SetFocus();
    TraceText("about", "shown");
    about.ShowModal();
}

void CUpdaterDlg::OpenHomePage() {
    std::string url = ServerPageUrl(KORVUN_HOME_URL, worker_.ServerAddress());
    TraceText("home", url);
    wxLogNull quiet;  // without a browser there is nothing to show, and nothing to report
    wxLaunchDefaultBrowser(wxString::FromUTF8(url), wxBROWSER_NOBUSYCURSOR);
}

void CUpdaterDlg::OnLeftDown(wxMouseEvent& event) {
    wxPoint at = event.GetPosition();
    dragging_ = true;
    dragOrigin_ = at;
    dragWindowStart_ = GetPosition();
    dragPointerStart_ = ClientToScreen(at);
    if (!HasCapture()) CaptureMouse();
    // Launching the browser may take a while; the drag must not wait for it.
    if (kHomePageSpot.Contains(at)) CallAfter([this] { OpenHomePage(); });
}

void CUpdaterDlg::OnMotion(wxMouseEvent& event) {
    if (!dragging_ || !event.LeftIsDown()) return;
    // The pointer keeps its place on the window. Screen coordinates, because a motion event
    // queued before the last move carries a position relative to where the window was.
    wxPoint pointer = wxGetMousePosition();
    Move(dragWindowStart_ + (pointer - dragPointerStart_));
}

void CUpdaterDlg::OnLeftUp(wxMouseEvent&) {
    if (HasCapture()) ReleaseMouse();
    dragging_ = false;
}

void CUpdaterDlg::OnRightUp(wxMouseEvent& event) { ShowSystemMenu(event.GetPosition()); }

void CUpdaterDlg::OnCaptureLost(wxMouseCaptureLostEvent&) { dragging_ = false; }

}  // namespace korvun
