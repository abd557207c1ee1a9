// The worker's downloads: the size query, one file at a time received block by block into
// the game directory, the free-space check, and the messages a failed transfer shows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_window.h"
#include "platform/file_io.h"
#include "platform/inet.h"
#include "platform/stop_event.h"
#include "update/release_verification.h"
#include "update/run_report.h"
#include "update/version_file.h"

namespace korvun {

// Bytes the calling user may still write on the game directory's volume; nullopt when unknown.
using FreeSpaceQuery = std::function<std::optional<uint64_t>()>;

// "pk%.4u.patch": at least four digits, zero-padded.
std::string PatchFileName(uint32_t version);
// "http://ADDRESS/patch/patch/pk%.4u.patch".
std::string PatchUrl(const std::string& serverAddress, uint32_t version);
// "http://ADDRESS/patch/UpdateVersion.ini".
std::string VersionFileUrl(const std::string& serverAddress);

// A Content-Length value as an unsigned 64-bit number; nullopt when it is not one (a
// sign, other characters, empty, or too large).
std::optional<uint64_t> ParseContentLength(const std::string& text);

class CUpdateDownload {
  public:
    static constexpr size_t kBlockSize = 2048;

    // Results of ReceiveBlock().
    static constexpr int kMoreData = 0;
    static constexpr int kFailed = 1;  // its message has been shown
    static constexpr int kComplete = 2;

    // versions names the package in the failure messages; it and stop must outlive the
    // download. A set stop event ends every wait on the network, and shows nothing.
    CUpdateDownload(UpdaterWindow& window, RunReport& report, const VersionNumbers& versions,
                    const StopEvent& stop, FreeSpaceQuery freeSpace);
    ~CUpdateDownload();
    CUpdateDownload(const CUpdateDownload&) = delete;
    CUpdateDownload& operator=(const CUpdateDownload&) = delete;

    void SetTimeouts(unsigned connectMs, unsigned receiveMs);

    // The announced length of url; 0 when there is no usable one or the request failed (its
    // system text has been shown in a box then). *failed tells a transport failure (or a stop)
    // from an answer without a usable length.
    uint64_t QueryRemoteSize(const std::string& url, bool* failed = nullptr);
    // Asks for the size, then opens url and creates localName; false after showing why not.
    bool OpenDownload(const std::string& url, const std::string& localName);
    // Receives one block and writes it on; kMoreData, kComplete, or kFailed after its message.
    int ReceiveBlock();
    bool HasFreeSpace(uint64_t bytes) const;
    void CloseTransfer();

    // The total gauge follows every received byte while it is on.
    void StartTotalProgress();
    bool TotalProgress() const { return totalProgress_; }
    uint64_t TotalReceived() const { return totalReceived_; }

    uint64_t ExpectedSize() const { return expectedSize_; }
    uint64_t ReceivedSize() const { return receivedSize_; }
    bool TransferOpen() const { return remoteFile_ != nullptr || localFile_.IsOpen(); }
    InternetSession& Session() { return session_; }

    // Release verification. With a key (the program's built-in one unless set here), every run
    // fetches and checks the signed manifest and checks each download against it; a key line
    // of "" turns verification off.
    void SetReleaseKey(const std::string& keyLine) { releaseKey_ = BuiltInReleaseKey(keyLine); }
    bool VerifiesReleases() const { return releaseKey_.has_value(); }
    bool FetchSignedRelease(const std::string& serverAddress);
    bool HasSignedRelease() const { return signedRelease_.has_value(); }
    // Arms the check of the next OpenDownload against entry: the announced size must be
    // entry's, no byte beyond it is read, and the SHA-256 must match before it completes.
    void ExpectSignedFile(const ManifestEntry& entry);
    // Arms the check for the file at signedPath of the accepted release, or refuses it
    // (message shown) when the release does not list it. True without a release key.
    bool ExpectSigned(const std::string& signedPath, const std::string& localName);
    // A pending package must be listed with the size the server announces.
    bool CheckSignedPackage(uint32_t version, uint64_t announcedSize);
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
    int FailReceive(const char* format, const char* code);
    // Ends the run with a refusal message.
    void RefuseRelease(const std::string& message);

    bool StopRequested() const { return stop_.IsSet(); }

    UpdaterWindow& window_;
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
    char receiveBuffer_[kBlockSize];
    // Received bytes not yet written to the local file. Writing every 2048-byte block with
    // its own system call costs more than the transfer itself; they go out in batches.
    std::vector<char> pendingWrite_;
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
    std::string localName_;
};

}  // namespace korvun
