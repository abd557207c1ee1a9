// The update worker: the thread that carries one run from the version check to its end and
// returns how it ended. The downloads and the application of packages are its parts
// (update_download.h, patch_application.h).
//
// Errors in the update layer: each step returns whether the run goes on; a failure has shown
// its message through the RunReport by then, and the run's end is a RunOutcome. The package
// reader's exceptions are caught where a package is extracted; anything else that escapes the
// run ends it as failed, never the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_window.h"
#include "platform/client_directory.h"
#include "platform/disk_space.h"
#include "platform/stop_event.h"
#include "update/patch_application.h"
#include "update/run_outcome.h"
#include "update/run_report.h"
#include "update/server_address.h"
#include "update/thread_base.h"
#include "update/update_download.h"
#include "update/version_file.h"

namespace korvun {

// What a run is given from outside: where the server and its mirrors are, how free space is
// measured, and how long the transfers wait.
struct UpdateSettings {
    ServerAddressChoice server;
    // Empty: the free space of the client directory's volume.
    FreeSpaceQuery freeSpace{};
    // Connect and receive time-out of every request.
    unsigned timeoutMs = InternetSession::kDefaultTimeoutMs;
    // The pauses between retries of a failed transfer; empty: the retry policy's own.
    std::optional<RetryPolicy::Pauses> retryPauses{};
};

class CUpdateThread : public CThreadBase {
  public:
    // Updates the client in client.
    CUpdateThread(UpdaterWindow& window, ClientDirectory client, UpdateSettings settings);
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
    // One run scans (and so downloads) at most this many packages; a client further behind
    // goes on from there in its next run.
    static constexpr uint32_t kMaxPackagesPerRun = 1000;
    SizeScan PrepareTotalProgress();
    bool StartNextPatch();
    bool SelfUpdate();
    // Ends a run that reached a regular end: the completed state, or the hand-over to the
    // new updater.
    void Finish();

    StopEvent& Stop() { return stopEvent_; }
    WorkerFlags& Flags() { return flags_; }
    VersionNumbers& Versions() { return versions_; }
    CUpdateDownload& Download() { return download_; }
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
    // The next of the server's mirrors for the rest of the run; false after the last one.
    bool TurnToNextServer();
    // The size of a package the chosen server lacks, from the first of the addresses after
    // it that has it, which the run then uses; 0 when none has it (or a stop was requested).
    uint64_t SizeOnTheNextServers(uint32_t version);
    // The patch loop of the run; false when the run must end without the deletion step.
    bool DownloadAndApplyPatches();
    bool StopRequested() const { return stopEvent_.Wait(0); }
    // Settles on the first address that answers; the window hears of a mirror.
    void ChooseServer();
    // The outcome of a run that ended without reaching one of its regular ends.
    RunOutcome Unfinished() const;
    // The outcome after Finish(): its regular end, or Unfinished() when it had none.
    RunOutcome Ended() const;

    UpdaterWindow& window_;
    const ClientDirectory client_;
    UpdateSettings settings_;
    const std::vector<std::string> addresses_;  // the server's address, then its mirrors
    std::atomic<size_t> chosen_{0};
    StopEvent stopEvent_;
    WorkerFlags flags_;  // patch phase, replace updater: read by the window
    RunReport report_;
    VersionNumbers versions_;
    VersionFileMarkers markers_{client_};
    CUpdateDownload download_;
    CPatchApplication patches_;
    bool finished_ = false;
    std::optional<RunOutcome::Kind> regularEnd_;  // set by Finish() and the reinstall paths
    mutable std::mutex outcomeMutex_;
    RunOutcome outcome_;
};

}  // namespace korvun
