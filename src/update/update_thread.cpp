// The run of the update worker: from the local checks to its end state.
#include "update/update_thread.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "app/player_codes.h"
#include "platform/directories.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/win_path.h"
#include "update/build_info.h"
#include "update/mirror_choice.h"

namespace korvun {

namespace {

constexpr const char* kDeleteListFile = "delete.lst";

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

CUpdateThread::CUpdateThread(RunEvents& events, ClientDirectory client, UpdateSettings settings)
    : events_(events),
      client_(std::move(client)),
      settings_(std::move(settings)),
      addresses_(settings_.server.Addresses()),
      report_(events),
      download_(
          events, report_, versions_, stopEvent_,
          settings_.freeSpace ? settings_.freeSpace
                              : [root = client_.Root()] { return FreeDiskSpace(root); },
          client_),
      patches_(
          events, report_, markers_, stopEvent_,
          [this](uint64_t bytes) { return download_.HasFreeSpace(bytes); }, client_) {}

CUpdateThread::~CUpdateThread() {
    // The thread works on the members below; it must have ended before they go.
    if (IsRunning()) stopEvent_.Set();
    Join();
}

bool CUpdateThread::Start() {
    if (settings_.retryPauses) download_.SetRetryPauses(*settings_.retryPauses);
    if (settings_.firstConnectTimeoutMs) {
        download_.Session().SetFirstConnectTimeout(*settings_.firstConnectTimeoutMs);
    }
    download_.SetTimeouts(settings_.timeoutMs, settings_.timeoutMs);
    return StartThread();
}

RunOutcome CUpdateThread::Outcome() const {
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    return outcome_;
}

void CUpdateThread::Run() { EndRun(Execute()); }

void CUpdateThread::EndRun(RunOutcome outcome) noexcept {
    {
        std::lock_guard<std::mutex> lock(outcomeMutex_);
        outcome_ = std::move(outcome);
    }
    // Only this thread writes the outcome, and it is done with it.
    try {
        events_.RunEnded(outcome_);
    } catch (...) {
        // The outcome is kept; a front-end that could not hear of it still finds it there.
    }
}

void CUpdateThread::SetPatchPhase(bool on) {
    flags_.patchPhase = on;
    events_.SetPatchPhase(on);
}

void CUpdateThread::SetReplaceUpdater(bool on) {
    flags_.replaceUpdater = on;
    events_.SetReplaceUpdater(on);
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
    EndRun(std::move(outcome));
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
    outcome.updated = updatedThisRun_;
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
        events_.ShowMessageBox(text, "Error");
        events_.RequestClose();
        RunOutcome outcome;
        outcome.failure = Status::Failure(text);
        return outcome;
    }
    if (StopRequested()) return Unfinished();
    RemoveStaleTemporaries(client_);

    if (!IsLocalCheckVersionValid(client_)) {
        events_.ShowMessageBox(ComposeMessage(PlayerCode::VersionMismatch));
        report_.Error(PlayerFailure(PlayerCode::VersionMismatchStatus));
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
    if (!ChooseServer() || StopRequested()) return Unfinished();
    if (download_.VerifiesReleases() && !download_.FetchSignedRelease(ServerAddress())) {
        return Unfinished();
    }
    if (!FetchServerVersion() || StopRequested()) return Unfinished();

    // An updater built with its own version replaces itself only with a newer one, and
    // otherwise patches in this run instead of handing over to its own kind again.
    std::optional<uint32_t> own = OwnUpdaterVersion();
    if (own && versions_.updaterVersion <= *own) flags_.replaceUpdater = false;
    if (flags_.replaceUpdater && FileExists(client_.Path("game.exe"))) {
        SelfUpdate();
        return Ended();
    }
    SetReplaceUpdater(false);
    if (StopRequested()) return Unfinished();

    if (versions_.serverCheckVersion != kSupportedCheckVersion) {
        finished_ = true;
        if (versions_.baseVersion != 0) {
            Finish();
            return Ended();
        }
        events_.ShowReinstall();
        events_.ShowMessageBox(ComposeMessage(PlayerCode::ServerCheckVersionWrong));
        return RunOutcome{RunOutcome::Kind::Reinstall, false, {}};
    }
    if (versions_.baseVersion == 0) {
        finished_ = true;
        events_.ShowReinstall();
        events_.ShowMessageBox(ComposeMessage(PlayerCode::ClientVersionLost));
        return RunOutcome{RunOutcome::Kind::Reinstall, false, {}};
    }

    if (StopRequested()) return Unfinished();
    events_.SetStatusText("Download ready");
    // A scan covers a window of packages. A client further behind takes the next window once
    // these are applied: ending short of the server's version would report completion to a
    // client that is still behind.
    const uint32_t serverTarget = versions_.targetVersion;
    for (;;) {
        versions_.targetVersion = serverTarget;
        SizeScan scan = PrepareTotalProgress();
        if (scan == SizeScan::Ended) return Unfinished();
        if (scan == SizeScan::SomeMissing || versions_.targetVersion == versions_.currentVersion) {
            finished_ = true;
            // After an earlier window the patch phase ends as any does.
            if (flags_.patchPhase) break;
            // A run killed between the last package and the deletion step left delete.lst
            // behind; with nothing to download it would never be applied otherwise.
            if (FileExists(client_.Path(kDeleteListFile))) patches_.ApplyDeleteList();
            Finish();
            return Ended();
        }
        events_.SetFileCount(
            static_cast<int32_t>(versions_.targetVersion - versions_.currentVersion));
        SetPatchPhase(true);
        if (!DownloadAndApplyPatches()) return Unfinished();
        if (!finished_ || versions_.currentVersion == serverTarget) break;
        finished_ = false;
    }

    TestPoint("before-delete-list");
    patches_.ApplyDeleteList();
    Finish();
    return Ended();
}

bool CUpdateThread::ChooseServer() {
    ServerChoice choice = ChooseAnsweringServer(download_.Session(), addresses_, stopEvent_);
    if (!choice.chosen) {
        if (StopRequested()) return false;
        // Asking again what could not be reached, or what a refused certificate rules out,
        // would only repeat the wait; the player hears once why the run ends.
        if (!choice.failure.text.empty()) report_.Box(choice.failure.text);
        report_.Error(PlayerFailure(PlayerCode::SizeUnknown));
        return false;
    }
    chosen_ = *choice.chosen;
    if (chosen_ != 0) events_.ServerChanged(addresses_[chosen_]);
    return true;
}

bool CUpdateThread::FetchServerVersion() {
    download_.SetDeadline(std::chrono::steady_clock::now() + settings_.versionFileLimit);
    // The first attempt keeps its own failure messages to itself, those of the transfer
    // included; only a second failure is worth telling the player about. A refused file is
    // not fetched again. The first attempt had the retries: the second is one request more,
    // so that a server that cannot be reached costs one round of them.
    report_.Hold(true);
    bool fetched = FetchVersionFile(true);
    report_.Hold(false);
    if (!fetched && !download_.ReleaseRefused()) {
        download_.SetRetrying(false);
        fetched = FetchVersionFile(false);
        download_.SetRetrying(true);
    }
    download_.SetDeadline(std::nullopt);
    return fetched;
}

bool CUpdateThread::TurnToNextServer() {
    std::optional<size_t> next = NextServer(download_.Session(), addresses_, chosen_);
    if (!next) return false;
    chosen_ = *next;
    events_.ServerChanged(addresses_[*next]);
    return true;
}

uint64_t CUpdateThread::SizeOnTheNextServers(uint32_t version) {
    for (std::optional<size_t> next = NextServer(download_.Session(), addresses_, chosen_);
         next && !StopRequested(); next = NextServer(download_.Session(), addresses_, *next)) {
        // Asking a mirror tells the player nothing: one that cannot be reached lacks the
        // package as much as one that answers without it.
        report_.Hold(true);
        uint64_t size = download_.QueryRemoteSize(PatchUrl(addresses_[*next], version));
        report_.Hold(false);
        if (size > 0) {
            chosen_ = *next;
            events_.ServerChanged(addresses_[*next]);
            return size;
        }
    }
    return 0;
}

bool CUpdateThread::DownloadAndApplyPatches() {
    if (!StartNextPatch()) return true;
    updatedThisRun_ = true;
    events_.SetUpdatedThisRun(true);
    events_.RestartSpeedClock();
    while (!StopRequested()) {
        int result = rebuiltSize_ != 0 ? CUpdateDownload::kComplete : download_.ReceiveBlock();
        if (result == CUpdateDownload::kFailed) return false;
        if (result != CUpdateDownload::kComplete) continue;
        uint64_t size = rebuiltSize_ != 0 ? rebuiltSize_ : download_.ExpectedSize();
        if (!patches_.ApplyPatch(versions_.currentVersion, size)) return false;
        events_.NextFile();
        if (!StartNextPatch()) return true;
    }
    download_.CloseTransfer();
    return false;
}

void CUpdateThread::Finish() {
    if (!finished_) return;
    if (flags_.replaceUpdater) {
        regularEnd_ = RunOutcome::Kind::HandedOver;
        events_.RequestClose();
        StartProcess("Game.exe new updater");
        return;
    }
    regularEnd_ = RunOutcome::Kind::Completed;
    events_.ShowCompleted();
}

bool CUpdateThread::FetchVersionFile(bool quiet) {
    if (!download_.ExpectSigned(kSignedVersionFilePath, kServerVersionFile) ||
        !download_.OpenDownload(VersionFileUrl(ServerAddress()), kServerVersionFile)) {
        return false;
    }
    if (!download_.HasFreeSpace(download_.ExpectedSize())) {
        report_.Error(PlayerFailure(PlayerCode::NoSpaceForVersionFile));
        return false;
    }
    events_.RestartSpeedClock();
    while (!stopEvent_.IsSet()) {
        switch (download_.ReceiveBlock()) {
            case CUpdateDownload::kFailed:
                if (!quiet && !StopRequested() && !download_.ReleaseRefused())
                    report_.Error(PlayerFailure(PlayerCode::VersionFileBroken));
                return false;
            case CUpdateDownload::kComplete: {
                bool parsed = ParseVersionFile(client_, &versions_, &flags_.replaceUpdater);
                events_.SetReplaceUpdater(flags_.replaceUpdater);
                if (parsed) return true;
                if (!quiet) report_.Error(PlayerFailure(PlayerCode::VersionFileUnusable));
                return false;
            }
            default:
                std::this_thread::yield();
                break;
        }
    }
    return false;
}

CUpdateThread::SizeScan CUpdateThread::PrepareTotalProgress() {
    download_.StartTotalProgress();
    // Every size of the window is asked before anything of it is downloaded.
    if (versions_.targetVersion - versions_.currentVersion > settings_.packagesPerScan) {
        versions_.targetVersion = versions_.currentVersion + settings_.packagesPerScan;
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
            report_.Error(PlayerFailure(PlayerCode::SizeUnknown));
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
    events_.SetTotalRange(sum);
    events_.SetTotalProgress(0);
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
    // A delta package, when published, rebuilds the package from what the client has.
    rebuiltSize_ = RebuildFromDelta(version);
    if (rebuiltSize_ != 0) return true;
    if (StopRequested() || download_.ReleaseRefused()) return false;
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
        report_.Error(PlayerFailure(PlayerCode::NoSpaceForPackage));
        return false;
    }
    return true;
}

uint64_t CUpdateThread::RebuildFromDelta(uint32_t version) {
    return deltas_.Rebuild(version, ServerAddress(), [this, version] {
        return TurnToNextServer() ? DeltaUrl(ServerAddress(), version) : std::string();
    });
}

}  // namespace korvun
