// The update worker: the thread that carries one run from the version check to its end and
// returns how it ended. The downloads and the application of packages are its parts
// (update_download.h, patch_application.h).
//
// Errors in the update layer: each step returns whether the run goes on; a failure has shown
// its message through the RunReport by then, and the run's end is a RunOutcome. The package
// reader's exceptions are caught where a package is extracted; anything else that escapes the
// run ends it as failed, never the process. The player's code and text are chosen here, and
// only here, from the table in app/player_codes.h: the layers below return a Status or a
// std::optional with the reason, and say what failed, never what the player reads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/run_events.h"
#include "app/run_outcome.h"
#include "platform/client_directory.h"
#include "platform/disk_space.h"
#include "platform/stop_event.h"
#include "update/delta_download.h"
#include "update/patch_application.h"
#include "update/run_report.h"
#include "update/server_address.h"
#include "update/thread_base.h"
#include "update/update_download.h"
#include "update/version_file.h"

namespace korvun {

// Facts of the run that the worker decides on and the front-ends hear of as events.
struct WorkerFlags {
    std::atomic<bool> patchPhase{false};
    std::atomic<bool> replaceUpdater{false};
};

// What a run is given from outside: where the server and its mirrors are, how free space is
// measured, how long the transfers wait, and the bounds of its phases.
struct UpdateSettings {
    ServerAddressChoice server;
    // Empty: the free space of the client directory's volume.
    FreeSpaceQuery freeSpace{};
    // Packages one size scan covers: every size is asked before the first of them is
    // downloaded, so a target far ahead must not make a scan ask for thousands. A client
    // further behind is brought up window by window in the same run.
    uint32_t packagesPerScan = 1000;
    // The version file, both attempts and their retries, takes at most this long: a server
    // that answers but never finishes must not hold the run for many minutes.
    std::chrono::milliseconds versionFileLimit{120000};
    // Connect and receive time-out of every request.
    unsigned timeoutMs = InternetSession::kDefaultTimeoutMs;
    // Connect time-out of the first request to a server the run has not reached yet; empty:
    // the session's own.
    std::optional<unsigned> firstConnectTimeoutMs{};
    // The pauses between retries of a failed transfer; empty: the retry policy's own.
    std::optional<RetryPolicy::Pauses> retryPauses{};
};

class CUpdateThread : public CThreadBase {
  public:
    // Updates the client in client and reports what happens to events, which must outlive
    // the worker.
    CUpdateThread(RunEvents& events, ClientDirectory client, UpdateSettings settings);
    ~CUpdateThread() override;
    CUpdateThread(const CUpdateThread&) = delete;
    CUpdateThread& operator=(const CUpdateThread&) = delete;

    // Sets the time-outs and starts the thread; false when a thread already runs or could not
    // be started.
    bool Start();
    // How the last run ended, once IsRunning() has turned false after Start().
    RunOutcome Outcome() const;

    // Steps of the run, on the worker thread.
    bool FetchVersionFile(bool quiet);
    // What the scan of the pending packages' sizes found: every one, a missing one (the
    // target is lowered to the package before it), or the end of the run (a transport failure
    // has been shown, or a stop was requested).
    enum class SizeScan { AllPresent, SomeMissing, Ended };
    // Scans the next window of at most settings.packagesPerScan packages.
    SizeScan PrepareTotalProgress();
    bool StartNextPatch();
    bool SelfUpdate();
    // Ends a run that reached a regular end: the completed state, or the hand-over to the
    // new updater.
    void Finish();

    StopEvent& Stop() { return stopEvent_; }
    const WorkerFlags& Flags() const { return flags_; }
    VersionNumbers& Versions() { return versions_; }
    CUpdateDownload& Download() { return download_; }
    // The key releases are checked with (the built-in one unless set; "" checks none) and an
    // extra certificate authority for https servers; both before Start().
    void SetReleaseKey(const std::string& keyLine) { download_.SetReleaseKey(keyLine); }
    void SetCertificateAuthorityFile(const std::string& path) {
        download_.Session().SetCertificateAuthorityFile(path);
    }
    bool IsFinished() const { return finished_; }
    // The address the run uses: the first one given until the run has chosen the first that
    // answers. Safe to read from another thread (the window's home page link).
    const std::string& ServerAddress() const { return addresses_[chosen_]; }
    const std::vector<std::string>& ServerAddresses() const { return addresses_; }

  protected:
    void Run() override;
    void OnUnexpectedException(const char* what) noexcept override;

  private:
    // The run itself; each return names how it ended.
    RunOutcome Execute();
    // Keeps the run's outcome and tells the front-end.
    void EndRun(RunOutcome outcome) noexcept;
    // The next of the server's mirrors for the rest of the run; false after the last one.
    bool TurnToNextServer();
    // The size of a package the chosen server lacks, from the first of the addresses after
    // it that has it, which the run then uses; 0 when none has it (or a stop was requested).
    uint64_t SizeOnTheNextServers(uint32_t version);
    // The patch loop of the run; false when the run must end without the deletion step.
    bool DownloadAndApplyPatches();
    // Package version rebuilt from its delta package: its size, 0 when none was.
    uint64_t RebuildFromDelta(uint32_t version);
    bool StopRequested() const { return stopEvent_.Wait(0); }
    // Settles on the first address that answers; the front-end hears of a mirror. False when
    // none can serve the run (the message has been shown, unless a stop was requested).
    bool ChooseServer();
    // The server's version file, in one or two attempts within the phase's time limit.
    bool FetchServerVersion();
    // The outcome of a run that ended without reaching one of its regular ends.
    RunOutcome Unfinished() const;
    // The outcome after Finish(): its regular end, or Unfinished() when it had none.
    RunOutcome Ended() const;

    // Sets a flag and tells the front-end.
    void SetPatchPhase(bool on);
    void SetReplaceUpdater(bool on);

    RunEvents& events_;
    const ClientDirectory client_;
    UpdateSettings settings_;
    const std::vector<std::string> addresses_;  // the server's address, then its mirrors
    std::atomic<size_t> chosen_{0};
    StopEvent stopEvent_;
    WorkerFlags flags_;
    bool updatedThisRun_ = false;
    RunReport report_;
    VersionNumbers versions_;
    VersionFileMarkers markers_{client_};
    CUpdateDownload download_;
    CPatchApplication patches_;
    CDeltaDownload deltas_{download_, report_, stopEvent_, client_};
    uint64_t rebuiltSize_ = 0;  // the current package was rebuilt from a delta, this size
    bool finished_ = false;
    std::optional<RunOutcome::Kind> regularEnd_;  // set by Finish() and the reinstall paths
    mutable std::mutex outcomeMutex_;
    RunOutcome outcome_;
};

}  // namespace korvun
