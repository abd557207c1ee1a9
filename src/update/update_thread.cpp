#include "update/update_thread.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "app/message_box.h"
#include "app/messages.h"
#include "platform/disk_space.h"
#include "platform/file_io.h"
#include "update/server_address.h"

namespace korvun {

namespace {

constexpr const char* kDownloadFailed = "Download Failed";
constexpr const char* kNoDiskSpace = "Insufficient capacity on hard disk for download.";
constexpr size_t kMaxSystemTextLength = 1023;
constexpr size_t kWriteBatchSize = 256 * 1024;

}  // namespace

std::string PatchFileName(uint32_t version) {
    char name[32];
    std::snprintf(name, sizeof name, "pk%.4u.patch", version);
    return name;
}

std::string PatchUrl(uint32_t version) {
    return ServerUrl("/patch/patch/" + PatchFileName(version));
}

std::string VersionFileUrl() { return ServerUrl("/patch/UpdateVersion.ini"); }

std::optional<uint64_t> ParseContentLength(const std::string& text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

CUpdateThread::CUpdateThread(UpdaterWindow& window)
    : window_(window), session_(kAppTitle), releaseKey_(BuiltInReleaseKey(CompiledReleaseKey())) {
    // Every wait on the network ends soon after a stop request, whatever the server does.
    session_.SetStopEvent(&stopEvent_);
    window_.AttachWorkerFlags(&flags_);
    ReadServerAddress();
}

CUpdateThread::~CUpdateThread() {
    // The thread works on the members below; it must have ended before they go.
    if (IsRunning()) stopEvent_.Set();
    Join();
    remoteFile_.reset();
    archiveMerger_.reset();
    CloseLocalFile();
    window_.AttachWorkerFlags(nullptr);
}

bool CUpdateThread::IsLocalCheckVersionValid() { return korvun::IsLocalCheckVersionValid(); }

bool CUpdateThread::ReadLocalVersion() { return korvun::ReadLocalVersion(&versions_); }

bool CUpdateThread::SaveCurrentVersion() {
    return korvun::SaveCurrentVersion(versions_.currentVersion);
}

bool CUpdateThread::ParseVersionFile() {
    return korvun::ParseVersionFile(&versions_, &flags_.replaceUpdater);
}

void CUpdateThread::ShowInternetError(const InternetError& error) {
    lastError_ = error.code;
    // A stop request is no failure to tell the player about.
    if (error.code == kInternetOperationCancelled) return;
    ShowMessageBox(error.text.substr(0, kMaxSystemTextLength));
}

uint64_t CUpdateThread::QueryRemoteSize(const std::string& url, bool* failed) {
    if (failed != nullptr) *failed = false;
    InternetError error;
    remoteFile_ = session_.OpenUrl(url, &error);
    if (!remoteFile_) {
        ShowInternetError(error);
        if (failed != nullptr) *failed = true;
        return 0;
    }
    // A negative, malformed or absent length is no size at all: the download is refused
    // instead of trusting a wrapped or truncated number.
    std::optional<uint64_t> size;
    if (const std::optional<std::string>& header = remoteFile_->ContentLengthHeader()) {
        size = ParseContentLength(*header);
    }
    remoteFile_.reset();
    return size.value_or(0);
}

bool CUpdateThread::OpenDownload(const std::string& url, const std::string& localName) {
    // A transfer abandoned after a failure may still be open; its descriptor must not leak.
    CloseTransfer();
    checking_ = checkArmed_;
    checkArmed_ = false;
    localName_ = localName;
    expectedSize_ = QueryRemoteSize(url);
    if (expectedSize_ == 0) {
        if (StopRequested()) return false;
        window_.ShowErrorText(
            ComposeMessage(std::string(kDownloadFailed) + ": Cannot read the file.", "c25"));
        return false;
    }
    if (checking_ && expectedSize_ != downloadCheck_.SignedSize()) {
        RefuseRelease(SignedSizeMessage(localName));
        return false;
    }
    receivedSize_ = 0;
    window_.ShowByteCounter(0, static_cast<int64_t>(expectedSize_), false);
    window_.ClearSpeedText();

    InternetError error;
    remoteFile_ = session_.OpenUrl(url, &error);
    if (!remoteFile_) {
        ShowInternetError(error);
        if (StopRequested()) return false;
        window_.ShowErrorText(
            ComposeMessage(std::string(kDownloadFailed) + ": Cannot open server file.", "c30"));
        return false;
    }
    pendingWrite_.clear();
    pendingWrite_.reserve(kWriteBatchSize);
    localFile_ = OpenFile(localName, OpenMode::WriteCreateTruncate);
    if (localFile_ == -1) {
        lastError_ = static_cast<uint32_t>(errno);
        window_.ShowErrorText(ComposeMessage(
            std::string(kDownloadFailed) + ": " + localName + " Cannot open the file.", "c32"));
        return false;
    }
    window_.BeginFileProgress(expectedSize_, 0);
    return true;
}

int CUpdateThread::ReceiveBlock() {
    size_t n = 0;
    InternetError error;
    // A checked download never reads past its signed size, whatever the server sends on.
    size_t want = checking_
                      ? static_cast<size_t>(std::min<uint64_t>(
                            kBlockSize, expectedSize_ - std::min(receivedSize_, expectedSize_)))
                      : kBlockSize;
    bool read = remoteFile_ && remoteFile_->Read(receiveBuffer_, want, &n, &error);
    if (read && n == 0) {
        // The body ended before the announced size arrived: the server dropped the
        // connection. Reading on would only return nothing again.
        read = false;
        error = InternetError::FromCode(kInternetConnectionAborted);
    } else if (!remoteFile_) {
        error = InternetError::FromCode(kInternetConnectionAborted);
    }
    if (!read) {
        // What did arrive belongs in the file that stays on disk.
        FlushLocalFile();
        ShowInternetError(error);
        if (error.code == kInternetOperationCancelled) return kFailed;
        window_.ShowError("%sEx: %s,%d,%d c23-1", kDownloadFailed, "", static_cast<int>(lastError_),
                          static_cast<int>(versions_.currentVersion));
        return kFailed;
    }
    lastError_ = 0;
    receivedSize_ += n;
    if (checking_) downloadCheck_.Add(receiveBuffer_, n);

    pendingWrite_.insert(pendingWrite_.end(), receiveBuffer_, receiveBuffer_ + n);
    bool last = receivedSize_ >= expectedSize_;
    if ((last || pendingWrite_.size() >= kWriteBatchSize) && !FlushLocalFile()) {
        lastError_ = static_cast<uint32_t>(errno);
        window_.ShowError("%sLWx: %s,%d,%d c23", kDownloadFailed, "", static_cast<int>(lastError_),
                          static_cast<int>(versions_.currentVersion));
        return kFailed;
    }

    window_.SetFileProgress(receivedSize_);
    if (totalProgress_) {
        totalReceived_ += n;
        window_.SetTotalProgress(totalReceived_);
    }
    window_.UpdateSpeed(static_cast<uint32_t>(receivedSize_), static_cast<uint32_t>(n));
    window_.ShowByteCounter(static_cast<int64_t>(receivedSize_),
                            static_cast<int64_t>(expectedSize_), false);
    if (receivedSize_ < expectedSize_) return kMoreData;

    CloseLocalFile();
    remoteFile_.reset();
    window_.ShowByteCounter(static_cast<int64_t>(receivedSize_),
                            static_cast<int64_t>(expectedSize_), true);
    if (receivedSize_ == expectedSize_) {
        if (!checking_ || downloadCheck_.Matches()) return kComplete;
        // Nothing may use bytes that were not signed: the file goes before anyone reads it.
        DeleteFile(localName_);
        RefuseRelease(SignedChecksumMessage(localName_));
        return kFailed;
    }

    window_.ShowError("%sOv: %s,%d,%d,%" PRId64 "/%" PRId64 " c34", kDownloadFailed, "",
                      static_cast<int>(lastError_), static_cast<int>(versions_.currentVersion),
                      static_cast<int64_t>(receivedSize_), static_cast<int64_t>(expectedSize_));
    WriteStateMarker("FILE_SIZE_ERR");
    return kFailed;
}

bool CUpdateThread::HasFreeSpace(uint64_t bytes) {
    std::optional<uint64_t> available = FreeDiskSpace();
    return available && *available > bytes;
}

bool CUpdateThread::FetchVersionFile(bool quiet) {
    if (!ExpectSigned(kSignedVersionFilePath, kServerVersionFile) ||
        !OpenDownload(VersionFileUrl(), kServerVersionFile)) {
        return false;
    }
    if (!HasFreeSpace(expectedSize_)) {
        window_.ShowErrorText(ComposeMessage(kNoDiskSpace, "c06"));
        return false;
    }
    window_.RestartSpeedClock();
    while (!stopEvent_.IsSet()) {
        switch (ReceiveBlock()) {
            case kFailed:
                if (!quiet && !StopRequested() && !releaseRefused_) {
                    window_.ShowErrorText(ComposeMessage(
                        std::string(kDownloadFailed) + ": ReadFile UpdateVersion", "c07"));
                }
                return false;
            case kComplete:
                if (ParseVersionFile()) return true;
                if (!quiet) {
                    window_.ShowErrorText(
                        ComposeMessage(std::string(kDownloadFailed) + ": Read Profile", "c08"));
                }
                return false;
            default:
                std::this_thread::yield();
                break;
        }
    }
    return false;
}

CUpdateThread::SizeScan CUpdateThread::PrepareTotalProgress() {
    totalProgress_ = true;
    totalReceived_ = 0;
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
        uint32_t version = static_cast<uint32_t>(n);
        bool failed = false;
        uint64_t size = QueryRemoteSize(PatchUrl(version), &failed);
        if (failed) {
            // Only an answer without a usable length says the package is missing; a
            // connection that broke says nothing about it, and ends the run.
            if (StopRequested()) return SizeScan::Ended;
            window_.ShowErrorText(
                ComposeMessage(std::string(kDownloadFailed) + ": Cannot read the file.", "c25"));
            return SizeScan::Ended;
        }
        if (size == 0) {
            versions_.targetVersion = version - 1;
            scan = SizeScan::SomeMissing;
            break;
        }
        // Every package of the range must be signed as announced before the first one is
        // applied, so that a refusal leaves the client where it was.
        if (signedRelease_ && !CheckSignedPackage(version, size)) return SizeScan::Ended;
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
    if (!ExpectSigned(SignedPackagePath(versions_.currentVersion),
                      PatchFileName(versions_.currentVersion)) ||
        !OpenDownload(PatchUrl(versions_.currentVersion),
                      PatchFileName(versions_.currentVersion))) {
        return false;
    }
    if (!HasFreeSpace(expectedSize_)) {
        window_.ShowErrorText(ComposeMessage(kNoDiskSpace, "c33"));
        return false;
    }
    return true;
}

void CUpdateThread::CloseTransfer() {
    CloseLocalFile();
    remoteFile_.reset();
}

bool CUpdateThread::FlushLocalFile() {
    if (pendingWrite_.empty()) return true;
    bool written =
        localFile_ != -1 && WriteFull(localFile_, pendingWrite_.data(), pendingWrite_.size());
    if (localFile_ == -1) errno = EBADF;
    pendingWrite_.clear();
    return written;
}

void CUpdateThread::CloseLocalFile() {
    FlushLocalFile();
    CloseFile(localFile_);
}

}  // namespace korvun
