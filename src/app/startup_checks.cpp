#include "app/startup_checks.h"

#include <optional>
#include <string>

#include "app/message_box.h"
#include "app/messages.h"
#include "app/player_codes.h"
#include "platform/file_io.h"
#include "platform/game_window.h"
#include "platform/system_dir.h"

namespace korvun {

namespace {

StartupCheckResult Refuse(const MessageBoxPresenter& present, StartupCheckResult result,
                          PlayerCode code) {
    present(ComposeMessage(code), kAppTitle);
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
        return Refuse(present, StartupCheckResult::UpdaterRunning, PlayerCode::UpdaterRunning);
    }
    if (FindTopLevelWindow("GAME", "Korvun", "Game.exe")) {
        return Refuse(present, StartupCheckResult::GameRunning, PlayerCode::GameRunning);
    }
    if (!IsDirectX9Installed()) {
        return Refuse(present, StartupCheckResult::DirectX9Missing, PlayerCode::DirectX9Missing);
    }
    return StartupCheckResult::Passed;
}

}  // namespace korvun
