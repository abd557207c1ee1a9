// The worker's downloads: the size query, one file at a time received block by block into
// the game directory, the free-space check, and the messages a failed transfer shows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/player_codes.h"
#include "app/run_events.h"
#include "platform/file_io.h"
#include "platform/inet.h"
#include "platform/stop_event.h"
#include "update/download_check.h"
#include "update/package_names.h"
#include "update/release_verification.h"
#include "update/resume_state.h"
#include "update/retry_policy.h"
#include "update/run_report.h"
#include "update/version_file.h"

namespace korvun {

// Bytes the calling user may still write on the game directory's volume; nullopt when unknown.
using FreeSpaceQuery = std::function<std::optional<uint64_t>()>;

// "http://ADDRESS/patch/patch/pk%.4u.patch".
std::string PatchUrl(const std::string& serverAddress, uint32_t version);
// "http://ADDRESS/patch/UpdateVersion.ini".
std::string VersionFileUrl(const std::string& serverAddress);

// A Content-Length value as an unsigned 64-bit number; nullopt when it is not one (a
// sign, other characters, empty, or too large).
std::optional<uint64_t> ParseContentLength(const std::string& text);

// The size of the whole file that an answer to a request for its first byte announces: the
// total of a 206's range, the Content-Length of any other answer (a server that ignores
// ranges sends the whole file), 0 for 416 (an empty file); nullopt when there is none.
std::optional<uint64_t> AnnouncedSize(const InternetFile& answer);

class CUpdateDownload {
  public:
    static constexpr size_t kBlockSize = 2048;

    // Results of ReceiveBlock().
    static constexpr int kMoreData = 0;
    static constexpr int kFailed = 1;  // its message has been shown
    static constexpr int kComplete = 2;

    // versions names the package in the failure messages; it and stop must outlive the
    // download. A set stop event ends every wait on the network, and shows nothing. Local
    // files are named as the client knows them and written in client.
    CUpdateDownload(RunEvents& events, RunReport& report, const VersionNumbers& versions,
                    const StopEvent& stop, FreeSpaceQuery freeSpace, ClientDirectory client);
    ~CUpdateDownload();
    CUpdateDownload(const CUpdateDownload&) = delete;
    CUpdateDownload& operator=(const CUpdateDownload&) = delete;

    void SetTimeouts(unsigned connectMs, unsigned receiveMs);

    // Where a resumable download goes on once a transfer keeps failing after its retries: the
    // same file's URL on the next server, or "" when there is none. Set before OpenDownload;
    // without one such a failure ends the download.
    using NextServer = std::function<std::string()>;
    void SetNextServer(NextServer nextServer) { nextServer_ = std::move(nextServer); }

    // Pauses before the retries of a failure that may pass (RetryPolicy::DefaultPauses()).
    void SetRetryPauses(RetryPolicy::Pauses pauses) { retry_.SetPauses(std::move(pauses)); }
    // While off, a failure that may pass ends its transfer without retries.
    void SetRetrying(bool retrying) { retry_.SetEnabled(retrying); }
    // Bounds a phase of the run: no wait on the network lasts past deadline, and no retry
    // begins that could not end before it; nullopt lifts the bound.
    void SetDeadline(InternetSession::Deadline deadline) {
        session_.SetDeadline(deadline);
        retry_.SetDeadline(deadline);
    }

    // The announced length of url; 0 when there is no usable one or the request failed (its
    // system text has been shown in a box then, after the retries). *failed tells a transport
    // failure (or a stop) from an answer without a usable length.
    uint64_t QueryRemoteSize(const std::string& url, bool* failed = nullptr);
    // Asks for the size, then opens url and creates localName; false after showing why not.
    // A resumable download continues what an earlier run left of localName when the server
    // still has the same file (resume_state.h), and keeps what it needs for that beside it.
    bool OpenDownload(const std::string& url, const std::string& localName, bool resumable = false);
    // Receives one block and writes it on; kMoreData, kComplete, or kFailed after its message.
    // A connection that breaks is opened again (from where the bytes stopped, when the server
    // can continue the file) after the retry policy's pauses before the failure counts.
    int ReceiveBlock();
    bool HasFreeSpace(uint64_t bytes) const;
    void CloseTransfer();

    // The total gauge follows every received byte while it is on.
    void StartTotalProgress();
    bool TotalProgress() const { return totalProgress_; }
    uint64_t TotalReceived() const { return totalReceived_; }

    uint64_t ExpectedSize() const { return expectedSize_; }
    uint64_t ReceivedSize() const { return receivedSize_; }
    // Bytes of the current file that an earlier run or request had already fetched.
    uint64_t ResumedFrom() const { return resumedFrom_; }
    bool TransferOpen() const { return remoteFile_ != nullptr || localFile_.IsOpen(); }
    InternetSession& Session() { return session_; }

    // Release verification. With a key (the program's built-in one unless set here), every run
    // fetches and checks the signed manifest and checks each download against it; a key line
    // of "" turns verification off.
    void SetReleaseKey(const std::string& keyLine) { releaseKey_ = BuiltInReleaseKey(keyLine); }
    bool VerifiesReleases() const { return releaseKey_.has_value(); }
    bool FetchSignedRelease(const std::string& serverAddress);
    bool HasSignedRelease() const { return signedRelease_.has_value(); }
    // Whether the accepted release lists the file at signedPath.
    bool SignedReleaseLists(const std::string& signedPath) const {
        return signedRelease_ && signedRelease_->Find(signedPath) != nullptr;
    }
    // Arms the check of the next OpenDownload against entry: the announced size must be
    // entry's, no byte beyond it is read, and the SHA-256 must match before it completes.
    void ExpectSignedFile(const ManifestEntry& entry);
    // Arms the check for the file at signedPath of the accepted release, or refuses it
    // (message shown) when the release does not list it. True without a release key.
    bool ExpectSigned(const std::string& signedPath, const std::string& localName);
    // A pending package must be listed with the size the server announces.
    bool CheckSignedPackage(uint32_t version, uint64_t announcedSize);
    // For a package no server has: true when the release does not list it (it is not
    // published yet); otherwise the release is refused (message shown).
    bool CheckSignedPackagePresent(uint32_t version);
    // True after a download or the release was refused by a check: the run ends with that
    // message, and nothing is retried.
    bool ReleaseRefused() const { return releaseRefused_; }

  private:
    // Shows a transport failure the way the player sees it: the system text in a box.
    void ShowInternetError(const InternetError& error);
    // Writes the pending bytes to the local file; false (errno set) when that failed.
    bool FlushLocalFile();
    // Flushes what can be flushed and closes the local file; false (errno set) on failure.
    bool CloseLocalFile();
    int FailReceive(PlayerCode code);
    // Waits before another attempt, the retry on the status line; false when the retries are
    // used up or a stop ended the wait (*error then says so, when given).
    bool WaitToRetry(InternetError* error);
    // The retries shown are over: recovered (an attempt worked), the status line from before
    // them comes back; otherwise the next step shows its own.
    void EndRetries(bool recovered);
    // Opens the transfer at offset (0: the whole file), retrying what may pass, and notes
    // where its bytes start (continuedAt_); false with *error after the retries.
    bool OpenRemote(uint64_t offset, const std::string& validator, InternetError* error);
    // The open answer continues the file at `at`, before the bytes held: those past it go
    // (the answer brings them again) and the check is fed anew with the bytes kept. False
    // (errno) when the file or the check could not follow.
    bool MoveBackTo(uint64_t at);
    // Where OpenDownload begins: the plan for the bytes an earlier run left, checked against
    // the signed hash when there is one.
    ResumePlan PlanLocalFile();
    // Feeds the check with the first length bytes of the local file; false when unreadable.
    bool CheckBytesOnDisk(uint64_t length);
    // Opens the local file for the answer at hand: appended to when it continues the bytes
    // on disk, otherwise emptied; the resume record written before any byte. False (errno).
    bool OpenLocalFile();
    // After a broken transfer: opens it again after a pause; false when that did not work.
    bool Reconnect(InternetError* error);
    // After the retries: the transfer goes on from the next server, from where the bytes
    // stopped when that server can continue them; false when there is none or it failed too.
    bool MoveToNextServer(InternetError* error);
    // The local file emptied and the check restarted, for an answer that sends it whole.
    bool RestartLocalFile();
    void ShowFileProgress();
    // The complete file failed its signed hash although part of it came from an earlier
    // request: it is fetched whole once more.
    bool RefetchWhole();
    int CompleteFile();
    // Fetches a file of the signed release whole, retrying what may pass; false with *error
    // (code 0 for an answer that is no success or too long) after the retries.
    bool FetchReleaseFile(const std::string& url, std::string* body, InternetError* error);
    // Ends the run with a refusal message.
    void RefuseRelease(const std::string& message);

    bool StopRequested() const { return stop_.IsSet(); }

    RunEvents& events_;
    RunReport& report_;
    const VersionNumbers& versions_;
    const StopEvent& stop_;
    FreeSpaceQuery freeSpace_;
    InternetSession session_;
    std::unique_ptr<InternetFile> remoteFile_;
    FileHandle localFile_;
    uint64_t expectedSize_ = 0;
    uint64_t receivedSize_ = 0;
    bool totalProgress_ = false;
    uint64_t totalReceived_ = 0;
    uint64_t totalBefore_ = 0;  // the total gauge's bytes of the files before this one

    RetryPolicy retry_;
    NextServer nextServer_;
    bool retryShown_ = false;  // the retry text is on the status line
    std::string url_;
    bool resumable_ = false;
    // What the last answer to the size query named its file by ("" when nothing).
    std::string announcedValidator_;
    // The validator of the transfer in progress; "" when it cannot be continued.
    std::string validator_;
    uint64_t continuedAt_ = 0;  // where the open transfer's bytes start in the file
    uint64_t brokeAt_ = 0;      // the most bytes the file had when a transfer broke
    uint64_t resumedFrom_ = 0;
    bool alreadyComplete_ = false;  // nothing to fetch: the file on disk is the server's
    bool continued_ = false;        // some bytes of the file came from an earlier request
    bool refetchedWhole_ = false;
    // Received bytes not yet written to the local file, read straight into it. Writing every
    // 2048-byte block with its own system call costs more than the transfer itself; they go
    // out in batches, and a checked download hashes each batch as it goes out.
    std::unique_ptr<char[]> batch_;
    size_t batchUsed_ = 0;
    // The error code of the last failed operation (WinINet code or errno), quoted in the
    // download failure messages as the thread's last error.
    uint32_t lastError_ = 0;

    std::optional<MinisignPublicKey> releaseKey_;
    std::optional<SignedRelease> signedRelease_;
    bool releaseRefused_ = false;
    // The check of the download in progress; armed by ExpectSigned() for one OpenDownload.
    bool checkArmed_ = false;
    bool checking_ = false;
    DownloadCheck downloadCheck_;
    ClientDirectory client_;
    std::string localName_;  // as the messages name it
    std::string localPath_;  // where it is written
};

}  // namespace korvun
