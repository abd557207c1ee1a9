// The run of the update worker: from the local checks to its end state.
#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/message_box.h"
#include "app/messages.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "update/update_thread.h"

namespace korvun {

namespace {

constexpr const char* kCorruptedClientText =
    "The file has been corrupted caused by forced shutdown of the updator. Please install the "
    "client again.";
constexpr const char* kDeleteListFile = "delete.lst";

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

// An atomic write goes to a temporary file that is renamed over the real one; a run killed in
// between leaves the temporary behind. Only one updater runs at a time, so whatever such
// files exist when a run starts are left over, and would otherwise pile up in the game
// directory.
void RemoveStaleTemporaries() {
    DIR* directory = opendir(".");
    if (directory == nullptr) return;
    std::vector<std::string> stale;
    while (dirent* item = readdir(directory)) {
        std::string name = item->d_name;
        for (const char* prefix : {"version.ini.tmp", "data.kah.tmp"}) {
            if (name.size() >= std::strlen(prefix) &&
                strncasecmp(name.c_str(), prefix, std::strlen(prefix)) == 0) {
                stale.push_back(name);
            }
        }
    }
    closedir(directory);
    for (const std::string& name : stale) DeleteFile("./" + name);
}

}  // namespace

bool CUpdateThread::Start() {
    workingDirectory_ = CurrentDirectory();
    unsigned timeoutMs = InternetSession::kDefaultTimeoutMs;
#ifdef KORVUN_FAULT_INJECTION
    // The reliability tests cannot wait a minute for every time-out they provoke.
    if (const char* testTimeout = std::getenv("KORVUN_TEST_TIMEOUT_MS")) {
        timeoutMs = static_cast<unsigned>(std::strtoul(testTimeout, nullptr, 10));
    }
#endif
    session_.SetConnectTimeout(timeoutMs);
    session_.SetReceiveTimeout(timeoutMs);
    return StartThread();
}

void CUpdateThread::Run() {
    totalProgress_ = false;
    if (StopRequested()) return;
    RemoveStaleTemporaries();

    if (!IsLocalCheckVersionValid()) {
        ShowMessageBox(ComposeMessage(
            "The version does not match. Please install the client again from the homepage.",
            "c20"));
        window_.ShowErrorText(ComposeMessage("Please install a new client.", "c20"));
        return;
    }
    if (StopRequested()) return;

    RecoverArchiveChange();
    ReadLocalVersion();
    // A run that ended between recording a package and deleting it left the package behind;
    // it is applied, and nothing else would ever remove it.
    if (versions_.baseVersion != 0) DeleteFile(PatchFileName(versions_.baseVersion));
    if (releaseKey_ && !FetchSignedRelease()) return;
    // The first attempt keeps its own failure messages to itself; only a second failure is
    // worth telling the player about. A refused file is not fetched again.
    if (!FetchVersionFile(true) && (releaseRefused_ || !FetchVersionFile(false))) return;
    if (StopRequested()) return;

    if (flags_.replaceUpdater && FileExists("game.exe")) {
        SelfUpdate();
        return;
    }
    flags_.replaceUpdater = false;
    if (StopRequested()) return;

    if (versions_.serverCheckVersion != kSupportedCheckVersion) {
        finished_ = true;
        if (versions_.baseVersion != 0) {
            Finish();
            return;
        }
        window_.ShowReinstall();
        ShowMessageBox(ComposeMessage(kCorruptedClientText, "c21"));
        return;
    }
    if (versions_.baseVersion == 0) {
        finished_ = true;
        window_.ShowReinstall();
        ShowMessageBox(ComposeMessage(kCorruptedClientText, "c22"));
        return;
    }

    if (StopRequested()) return;
    window_.SetStatusText("Download ready");
    SizeScan scan = PrepareTotalProgress();
    if (scan == SizeScan::Ended) return;
    if (scan == SizeScan::SomeMissing || versions_.targetVersion == versions_.baseVersion) {
        finished_ = true;
        // A run killed between the last package and the deletion step left delete.lst
        // behind; with nothing to download it would never be applied otherwise.
        if (FileExists(kDeleteListFile)) ApplyDeleteList();
        Finish();
        return;
    }

    window_.SetFileCount(static_cast<int32_t>(versions_.targetVersion - versions_.baseVersion));
    flags_.patchPhase = true;
    if (!DownloadAndApplyPatches()) return;

    TestPoint("before-delete-list");
    ApplyDeleteList();
    Finish();
}

bool CUpdateThread::DownloadAndApplyPatches() {
    if (!StartNextPatch()) return true;
    window_.SetUpdatedThisRun(true);
    window_.RestartSpeedClock();
    while (!StopRequested()) {
        int result = ReceiveBlock();
        if (result == kFailed) return false;
        if (result != kComplete) continue;
        if (!ApplyPatch()) return false;
        window_.NextFile();
        if (!StartNextPatch()) return true;
    }
    CloseTransfer();
    return false;
}

void CUpdateThread::Finish() {
    if (!finished_) return;
    if (flags_.replaceUpdater) {
        window_.RequestClose();
        StartProcess("Game.exe new updater");
        return;
    }
    window_.ShowCompleted();
}

}  // namespace korvun
