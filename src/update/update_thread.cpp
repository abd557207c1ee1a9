// The run of the update worker: from the local checks to its end state.
#include "update/update_thread.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "app/messages.h"
#include "platform/directories.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/win_path.h"
#include "update/mirror_choice.h"

namespace korvun {

namespace {

constexpr const char* kCorruptedClientText =
    "The file has been corrupted caused by forced shutdown of the updator. Please install the "
    "client again.";
constexpr const char* kDeleteListFile = "delete.lst";
constexpr const char* kDownloadFailed = "Download Failed";
constexpr const char* kNoDiskSpace = "Insufficient capacity on hard disk for download.";

// An atomic write goes to a temporary file that is renamed over the real one; a run killed in
// between leaves the temporary behind. Only one updater runs at a time, so whatever such
// files exist when a run starts are left over, and would otherwise pile up in the game
// directory.
void RemoveStaleTemporaries(const ClientDirectory& client) {
    for (const std::string& name : DirectoryNames(NativePath(client.Root()))) {
        for (const char* prefix : {"version.ini.tmp", "data.kah.tmp"}) {
            if (FoldedName(name).rfind(FoldedName(prefix), 0) == 0) {
                DeleteFile(client.Path(name));
                break;
            }
        }
    }
}

}  // namespace

CUpdateThread::CUpdateThread(UpdaterWindow& window, ClientDirectory client, UpdateSettings settings)
    : window_(window),
      client_(std::move(client)),
      settings_(std::move(settings)),
      addresses_(settings_.server.Addresses()),
      report_(window),
      download_(
          window, report_, versions_, stopEvent_,
          settings_.freeSpace ? settings_.freeSpace
                              : [root = client_.Root()] { return FreeDiskSpace(root); },
          client_),
      patches_(
          window, report_, markers_, stopEvent_,
          [this](uint64_t bytes) { return download_.HasFreeSpace(bytes); }, client_) {
    window_.AttachWorkerFlags(&flags_);
}

CUpdateThread::~CUpdateThread() {
    // The thread works on the members below; it must have ended before they go.
    if (IsRunning()) stopEvent_.Set();
    Join();
    window_.AttachWorkerFlags(nullptr);
}

bool CUpdateThread::Start() {
    if (settings_.retryPauses) download_.SetRetryPauses(*settings_.retryPauses);
    download_.SetTimeouts(settings_.timeoutMs, settings_.timeoutMs);
    return StartThread();
}

RunOutcome CUpdateThread::Outcome() const {
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    return outcome_;
}

void CUpdateThread::Run() {
    RunOutcome outcome = Execute();
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    outcome_ = std::move(outcome);
}

void CUpdateThread::OnUnexpectedException(const char* what) noexcept {
    RunOutcome outcome;
    try {
        report_.Hold(false);
        outcome.failure = Status::Failure(std::string("Update error: ") + what);
        report_.Error(outcome.failure);
        download_.CloseTransfer();
    } catch (...) {
        // Not even the message could be made (no memory left); the run still ends as failed.
    }
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    outcome_ = std::move(outcome);
}

RunOutcome CUpdateThread::Unfinished() const {
    RunOutcome outcome;
    // A stop request explains whatever the run showed on its way out.
    outcome.kind = StopRequested() ? RunOutcome::Kind::Stopped : RunOutcome::Kind::Failed;
    if (outcome.kind == RunOutcome::Kind::Failed) outcome.failure = report_.LastError();
    return outcome;
}

RunOutcome CUpdateThread::Ended() const {
    // Finish() does nothing when the patch loop ended before the target (the next package
    // could not be started): that run failed, whatever it still did on its way out.
    if (!regularEnd_) return Unfinished();
    RunOutcome outcome;
    outcome.kind = *regularEnd_;
    outcome.updated = window_.UpdatedThisRun();
    return outcome;
}

RunOutcome CUpdateThread::Execute() {
    report_.Clear();
    regularEnd_.reset();
    finished_ = false;
    if (ServerAddressStatus problem = settings_.server.status;
        problem != ServerAddressStatus::Found) {
        // The region's address file is part of the installation: without it nothing can be
        // fetched. The program closes once the player has read why.
        std::string text = ServerAddressProblem(problem);
        window_.ShowMessageBox(text, "Error");
        window_.RequestClose();
        RunOutcome outcome;
        outcome.failure = Status::Failure(text);
        return outcome;
    }
    if (StopRequested()) return Unfinished();
    RemoveStaleTemporaries(client_);

    if (!IsLocalCheckVersionValid(client_)) {
        window_.ShowMessageBox(ComposeMessage(
            "The version does not match. Please install the client again from the homepage.",
            "c20"));
        report_.Error("Please install a new client.", "c20");
        return Unfinished();
    }
    if (StopRequested()) return Unfinished();

    patches_.RecoverArchiveChange();
    ReadLocalVersion(client_, &versions_);
    // A run that ended between recording a package and deleting it left the package behind;
    // it is applied, and nothing else would ever remove it.
    if (versions_.baseVersion != 0) {
        DeleteFile(client_.Path(PatchFileName(versions_.baseVersion)));
        DiscardResumeRecord(client_.Path(PatchFileName(versions_.baseVersion)));
    }
    ChooseServer();
    if (StopRequested()) return Unfinished();
    if (download_.VerifiesReleases() && !download_.FetchSignedRelease(ServerAddress())) {
        return Unfinished();
    }
    // The first attempt keeps its own failure messages to itself, those of the transfer
    // included; only a second failure is worth telling the player about. A refused file is
    // not fetched again.
    report_.Hold(true);
    bool fetched = FetchVersionFile(true);
    report_.Hold(false);
    if (!fetched && (download_.ReleaseRefused() || !FetchVersionFile(false))) {
        return Unfinished();
    }
    if (StopRequested()) return Unfinished();

    if (flags_.replaceUpdater && FileExists(client_.Path("game.exe"))) {
        SelfUpdate();
        return Ended();
    }
    flags_.replaceUpdater = false;
    if (StopRequested()) return Unfinished();

    if (versions_.serverCheckVersion != kSupportedCheckVersion) {
        finished_ = true;
        if (versions_.baseVersion != 0) {
            Finish();
            return Ended();
        }
        window_.ShowReinstall();
        window_.ShowMessageBox(ComposeMessage(kCorruptedClientText, "c21"));
        return RunOutcome{RunOutcome::Kind::Reinstall, false, {}};
    }
    if (versions_.baseVersion == 0) {
        finished_ = true;
        window_.ShowReinstall();
        window_.ShowMessageBox(ComposeMessage(kCorruptedClientText, "c22"));
        return RunOutcome{RunOutcome::Kind::Reinstall, false, {}};
    }

    if (StopRequested()) return Unfinished();
    window_.SetStatusText("Download ready");
    SizeScan scan = PrepareTotalProgress();
    if (scan == SizeScan::Ended) return Unfinished();
    if (scan == SizeScan::SomeMissing || versions_.targetVersion == versions_.baseVersion) {
        finished_ = true;
        // A run killed between the last package and the deletion step left delete.lst
        // behind; with nothing to download it would never be applied otherwise.
        if (FileExists(client_.Path(kDeleteListFile))) patches_.ApplyDeleteList();
        Finish();
        return Ended();
    }

    window_.SetFileCount(static_cast<int32_t>(versions_.targetVersion - versions_.baseVersion));
    flags_.patchPhase = true;
    if (!DownloadAndApplyPatches()) return Unfinished();

    TestPoint("before-delete-list");
    patches_.ApplyDeleteList();
    Finish();
    return Ended();
}

void CUpdateThread::ChooseServer() {
    size_t chosen = FirstAnsweringServer(download_.Session(), addresses_, stopEvent_);
    chosen_ = chosen;
    if (chosen != 0) window_.ServerChanged(addresses_[chosen]);
}

bool CUpdateThread::TurnToNextServer() {
    size_t next = chosen_ + 1;
    if (next >= addresses_.size()) return false;
    chosen_ = next;
    window_.ServerChanged(addresses_[next]);
    return true;
}

uint64_t CUpdateThread::SizeOnTheNextServers(uint32_t version) {
    for (size_t next = chosen_ + 1; next < addresses_.size() && !StopRequested(); ++next) {
        // Asking a mirror tells the player nothing: one that cannot be reached lacks the
        // package as much as one that answers without it.
        report_.Hold(true);
        uint64_t size = download_.QueryRemoteSize(PatchUrl(addresses_[next], version));
        report_.Hold(false);
        if (size > 0) {
            chosen_ = next;
            window_.ServerChanged(addresses_[next]);
            return size;
        }
    }
    return 0;
}

bool CUpdateThread::DownloadAndApplyPatches() {
    if (!StartNextPatch()) return true;
    window_.SetUpdatedThisRun(true);
    window_.RestartSpeedClock();
    while (!StopRequested()) {
        int result = download_.ReceiveBlock();
        if (result == CUpdateDownload::kFailed) return false;
        if (result != CUpdateDownload::kComplete) continue;
        if (!patches_.ApplyPatch(versions_.currentVersion, download_.ExpectedSize())) {
            return false;
        }
        window_.NextFile();
        if (!StartNextPatch()) return true;
    }
    download_.CloseTransfer();
    return false;
}

void CUpdateThread::Finish() {
    if (!finished_) return;
    if (flags_.replaceUpdater) {
        regularEnd_ = RunOutcome::Kind::HandedOver;
        window_.RequestClose();
        StartProcess("Game.exe new updater");
        return;
    }
    regularEnd_ = RunOutcome::Kind::Completed;
    window_.ShowCompleted();
}

bool CUpdateThread::FetchVersionFile(bool quiet) {
    if (!download_.ExpectSigned(kSignedVersionFilePath, kServerVersionFile) ||
        !download_.OpenDownload(VersionFileUrl(ServerAddress()), kServerVersionFile)) {
        return false;
    }
    if (!download_.HasFreeSpace(download_.ExpectedSize())) {
        report_.Error(kNoDiskSpace, "c06");
        return false;
    }
    window_.RestartSpeedClock();
    while (!stopEvent_.IsSet()) {
        switch (download_.ReceiveBlock()) {
            case CUpdateDownload::kFailed:
                if (!quiet && !StopRequested() && !download_.ReleaseRefused())
                    report_.Error(std::string(kDownloadFailed) + ": ReadFile UpdateVersion", "c07");
                return false;
            case CUpdateDownload::kComplete:
                if (ParseVersionFile(client_, &versions_, &flags_.replaceUpdater)) return true;
                if (!quiet) report_.Error(std::string(kDownloadFailed) + ": Read Profile", "c08");
                return false;
            default:
                std::this_thread::yield();
                break;
        }
    }
    return false;
}

CUpdateThread::SizeScan CUpdateThread::PrepareTotalProgress() {
    download_.StartTotalProgress();
    // Every size is asked before anything is downloaded; a target far ahead must not make one
    // run ask for thousands.
    if (versions_.targetVersion - versions_.currentVersion > kMaxPackagesPerRun) {
        versions_.targetVersion = versions_.currentVersion + kMaxPackagesPerRun;
    }
    uint64_t sum = 0;
    SizeScan scan = SizeScan::AllPresent;
    // 64-bit counter: a target of 0xFFFFFFFF must not wrap the loop.
    for (uint64_t n = uint64_t{versions_.currentVersion} + 1; n <= versions_.targetVersion; ++n) {
        if (StopRequested()) return SizeScan::Ended;
        bool failed = false;
        uint64_t size =
            download_.QueryRemoteSize(PatchUrl(ServerAddress(), static_cast<uint32_t>(n)), &failed);
        if (failed) {
            // Only an answer without a usable length says the package is missing; a
            // connection that broke says nothing about it, and ends the run.
            if (StopRequested()) return SizeScan::Ended;
            report_.Error(std::string(kDownloadFailed) + ": Cannot read the file.", "c25");
            return SizeScan::Ended;
        }
        // With mirrors, a package is missing only when no address has it.
        if (size == 0) size = SizeOnTheNextServers(static_cast<uint32_t>(n));
        if (StopRequested()) return SizeScan::Ended;
        if (size == 0) {
            // A signed release names what it publishes: a package it lists that no server
            // has is withheld, and the client must not settle below it as complete.
            if (download_.HasSignedRelease() &&
                !download_.CheckSignedPackagePresent(static_cast<uint32_t>(n))) {
                return SizeScan::Ended;
            }
            versions_.targetVersion = static_cast<uint32_t>(n - 1);
            scan = SizeScan::SomeMissing;
            break;
        }
        // Every package of the range must be signed as announced before the first one is
        // applied, so that a refusal leaves the client where it was.
        if (download_.HasSignedRelease() &&
            !download_.CheckSignedPackage(static_cast<uint32_t>(n), size)) {
            return SizeScan::Ended;
        }
        sum += size;
    }
    window_.SetTotalRange(sum);
    window_.SetTotalProgress(0);
    return scan;
}

bool CUpdateThread::StartNextPatch() {
    if (versions_.currentVersion == versions_.targetVersion) {
        finished_ = true;
        return false;
    }
    ++versions_.currentVersion;
    TestPoint("download");
    uint32_t version = versions_.currentVersion;
    download_.SetNextServer([this, version] {
        return TurnToNextServer() ? PatchUrl(ServerAddress(), version) : std::string();
    });
    if (!download_.ExpectSigned(SignedPackagePath(versions_.currentVersion),
                                PatchFileName(versions_.currentVersion)) ||
        !download_.OpenDownload(PatchUrl(ServerAddress(), versions_.currentVersion),
                                PatchFileName(versions_.currentVersion), true)) {
        return false;
    }
    if (!download_.HasFreeSpace(download_.ExpectedSize())) {
        report_.Error(kNoDiskSpace, "c33");
        return false;
    }
    return true;
}

}  // namespace korvun
