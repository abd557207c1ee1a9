// Replacing the updater: the new program is downloaded and handed to the game program.
#include "app/player_codes.h"
#include "platform/file_io.h"
#include "update/server_address.h"
#include "update/update_thread.h"

namespace korvun {

bool CUpdateThread::SelfUpdate() {
    // A tester's override file selects the test build of the updater.
    std::string path = FileExists(client_.Path(kVersionOverrideFile)) ? "Korvun/test_updater.exe"
                                                                      : "Korvun/new_updater.exe";
    if (!download_.ExpectSigned(path, "new_updater.exe") ||
        !download_.OpenDownload(ServerUrl(ServerAddress(), "/" + path), "new_updater.exe", true)) {
        return false;
    }
    if (!download_.HasFreeSpace(download_.ExpectedSize())) {
        report_.Error(PlayerFailure(PlayerCode::NoSpaceForUpdater));
        return false;
    }

    events_.SetFileCount(1);
    events_.SetStatusText("Downloading the Updator");
    events_.RestartSpeedClock();
    while (!StopRequested()) {
        int result = download_.ReceiveBlock();
        if (result == CUpdateDownload::kFailed) {
            if (!StopRequested() && !download_.ReleaseRefused()) {
                report_.Error(PlayerFailure(PlayerCode::UpdaterDownloadBroken));
            }
            return false;
        }
        if (result == CUpdateDownload::kComplete) {
            events_.NextFile();
            finished_ = true;
            Finish();
            return true;
        }
    }
    return false;
}

}  // namespace korvun
