#include "app/startup_checks.h"

#include <optional>
#include <string>

#include "app/message_box.h"
#include "app/messages.h"
#include "platform/file_io.h"
#include "platform/game_window.h"
#include "platform/system_dir.h"

namespace korvun {

namespace {

StartupCheckResult Refuse(StartupCheckResult result, const char* text, const char* code) {
    ShowMessageBox(ComposeMessage(text, code));
    return result;
}

}  // namespace

bool IsDirectX9Installed() {
    std::optional<std::string> systemDirectory = SystemDirectory();
    if (!systemDirectory) return false;
    // Wine prefixes hold Windows names; the file may be spelt D3D9.DLL.
    return FileExists(*systemDirectory + "\\d3d9.dll");
}

StartupCheckResult RunStartupChecks(const NamedMutex& mutex) {
    if (!mutex.Acquired()) {
        return Refuse(StartupCheckResult::UpdaterRunning, "Updator already in operation.", "c01");
    }
    if (FindTopLevelWindow("GAME", "Korvun", "Game.exe")) {
        return Refuse(StartupCheckResult::GameRunning,
                      "Game still in operation. Please try again after closing the game.", "c02");
    }
    if (!IsDirectX9Installed()) {
        return Refuse(StartupCheckResult::DirectX9Missing,
                      "DirectX9 is not installed. Please try again after installing DirectX9.",
                      "c03");
    }
    return StartupCheckResult::Passed;
}

}  // namespace korvun
