// The update worker: the state of one run, the thread that carries it from the version
// check to its end, the downloads, the application of each package and the self-update.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_window.h"
#include "archive/game_archive.h"
#include "platform/inet.h"
#include "platform/stop_event.h"
#include "update/release_verification.h"
#include "update/thread_base.h"
#include "update/version_file.h"

namespace korvun {

// "pk%.4u.patch": at least four digits, zero-padded.
std::string PatchFileName(uint32_t version);
// "http://%s/patch/patch/pk%.4u.patch".
std::string PatchUrl(uint32_t version);
// "http://%s/patch/UpdateVersion.ini".
std::string VersionFileUrl();

// A Content-Length value as an unsigned 64-bit number; nullopt when it is not one (a
// sign, other characters, empty, or too large).
std::optional<uint64_t> ParseContentLength(const std::string& text);

class CUpdateThread : public CThreadBase {
  public:
    static constexpr size_t kBlockSize = 2048;

    // Results of ReceiveBlock().
    static constexpr int kMoreData = 0;
    static constexpr int kFailed = 1;  // its message has been shown
    static constexpr int kComplete = 2;

    // Opens the Internet session and reads the server address; a missing or unreadable
    // UpdaterURL.txt ends the process there. The release key is the one the program was
    // built with (KORVUN_RELEASE_PUBLIC_KEY).
    explicit CUpdateThread(UpdaterWindow& window);
    virtual ~CUpdateThread();
    CUpdateThread(const CUpdateThread&) = delete;
    CUpdateThread& operator=(const CUpdateThread&) = delete;

    // Captures the working directory (the game directory), sets the time-outs and starts the
    // thread; false when a thread already runs or could not be started.
    bool Start();
    // Ends a run that reached a regular end: the completed state, or the hand-over to the
    // new updater.
    void Finish();

    // Patch application (on the worker thread).
    bool ApplyPatch();
    bool ApplyDeleteList();
    bool SelfUpdate();

    // Version and state files.
    bool IsLocalCheckVersionValid();
    bool ReadLocalVersion();
    bool SaveCurrentVersion();
    bool ParseVersionFile();

    // Downloads. A failure shows its message in the window before returning.
    // 0: no usable size or failed; *failed tells a transport failure (or a stop) from an
    // answer without a usable length.
    uint64_t QueryRemoteSize(const std::string& url, bool* failed = nullptr);
    bool OpenDownload(const std::string& url, const std::string& localName);
    int ReceiveBlock();
    bool HasFreeSpace(uint64_t bytes);
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
    void CloseTransfer();

    // Release verification. With a key, every run fetches and checks the signed manifest and
    // checks each download against it; a key line of "" turns verification off.
    void SetReleaseKey(const std::string& keyLine) { releaseKey_ = BuiltInReleaseKey(keyLine); }
    bool VerifiesReleases() const { return releaseKey_.has_value(); }
    bool FetchSignedRelease();
    // Arms the check of the next OpenDownload against entry: the announced size must be
    // entry's, no byte beyond it is read, and the SHA-256 must match before it completes.
    void ExpectSignedFile(const ManifestEntry& entry);
    // True after a download or the release was refused by a check: the run ends with that
    // message, and nothing is retried.
    bool ReleaseRefused() const { return releaseRefused_; }

    StopEvent& Stop() { return stopEvent_; }
    InternetSession& Session() { return session_; }
    WorkerFlags& Flags() { return flags_; }
    UpdaterWindow& Window() { return window_; }
    VersionNumbers& Versions() { return versions_; }
    const VersionNumbers& Versions() const { return versions_; }
    StateMarkers& Markers() { return markers_; }

    uint64_t ExpectedSize() const { return expectedSize_; }
    uint64_t ReceivedSize() const { return receivedSize_; }
    uint64_t TotalReceived() const { return totalReceived_; }
    bool IsFinished() const { return finished_; }
    void SetFinished(bool finished) { finished_ = finished; }
    bool TotalProgress() const { return totalProgress_; }
    void SetTotalProgress(bool shown) { totalProgress_ = shown; }
    bool ArchiveMerged() const { return archiveMerged_; }
    void SetArchiveMerged(bool merged) { archiveMerged_ = merged; }
    bool TransferOpen() const { return remoteFile_ != nullptr || localFile_ != -1; }

    const std::string& WorkingDirectory() const { return workingDirectory_; }

  protected:
    void Run() override;
    bool StopRequested() const { return stopEvent_.Wait(0); }
    // The patch loop of Run(); false when the run must end without the deletion step.
    bool DownloadAndApplyPatches();
    int ExtractCurrentPackage(const std::string& packageName);
    bool MergeUpdateArchive();
    // Finishes or undoes an archive change that a previous run left half done (its journal
    // is present), so that the client counts as having the package before it.
    void RecoverArchiveChange();

    // Writes the pending bytes to the local file; false (errno set) when that failed.
    bool FlushLocalFile();
    // Flushes what can be flushed and closes the local file.
    void CloseLocalFile();

    // Shows a transport failure the way the player sees it: the system text in a box.
    void ShowInternetError(const InternetError& error);
    // Arms the check for the file at signedPath of the accepted release, or refuses it
    // (message shown) when the release does not list it. True without a release key.
    bool ExpectSigned(const std::string& signedPath, const std::string& localName);
    // Ends the run with a refusal message.
    void RefuseRelease(const std::string& message);
    // A pending package must be listed with the size the server announces.
    bool CheckSignedPackage(uint32_t version, uint64_t announcedSize);

    UpdaterWindow& window_;
    // The game archive of the last archive task, kept until the next one replaces it.
    std::unique_ptr<GameArchive> archiveMerger_;
    uint64_t expectedSize_ = 0;
    uint64_t receivedSize_ = 0;
    StopEvent stopEvent_;
    WorkerFlags flags_;  // patch phase, replace updater: read by the window
    InternetSession session_;
    std::unique_ptr<InternetFile> remoteFile_;
    bool finished_ = false;
    bool totalProgress_ = false;
    uint64_t totalReceived_ = 0;
    VersionNumbers versions_;
    int localFile_ = -1;
    char receiveBuffer_[kBlockSize];
    // Received bytes not yet written to the local file. Writing every 2048-byte block with
    // its own system call costs more than the transfer itself; they go out in batches.
    std::vector<char> pendingWrite_;
    bool archiveMerged_ = false;
    // The error code of the last failed operation (WinINet code or errno), quoted in the
    // download failure messages as the thread's last error.
    uint32_t lastError_ = 0;
    VersionFileMarkers markers_;
    std::string workingDirectory_;

    std::optional<MinisignPublicKey> releaseKey_;
    std::optional<SignedRelease> signedRelease_;
    bool releaseRefused_ = false;
    // The check of the download in progress; armed by ExpectSigned() for one OpenDownload.
    bool checkArmed_ = false;
    bool checking_ = false;
    DownloadCheck downloadCheck_;
    std::string localName_;
};

}  // namespace korvun
