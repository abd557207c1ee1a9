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

StartupCheckResult Refuse(const MessageBoxPresenter& present, StartupCheckResult result,
                          const char* text, const char* code) {
    present(ComposeMessage(text, code), kAppTitle);
    return result;
}

}  // namespace

bool IsDirectX9Installed() {
    std::optional<std::string> systemDirectory = SystemDirectory();
    if (!systemDirectory) return false;
    // Wine prefixes hold Windows names; the file may be spelt D3D9.DLL.
    return FileExists(*systemDirectory + "\\d3d9.dll");
}

StartupCheckResult RunStartupChecks(const NamedMutex& mutex, const MessageBoxPresenter& present) {
    if (!mutex.Acquired()) {
        return Refuse(present, StartupCheckResult::UpdaterRunning, "Updator already in operation.",
                      "c01");
    }
    if (FindTopLevelWindow("GAME", "Korvun", "Game.exe")) {
        return Refuse(present, StartupCheckResult::GameRunning,
                      "Game still in operation. Please try again after closing the game.", "c02");
    }
    if (!IsDirectX9Installed()) {
        return Refuse(present, StartupCheckResult::DirectX9Missing,
                      "DirectX9 is not installed. Please try again after installing DirectX9.",
                      "c03");
    }
    return StartupCheckResult::Passed;
}

}  // namespace korvun
