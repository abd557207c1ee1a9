#include "update/update_download.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "app/messages.h"
#include "update/server_address.h"

namespace korvun {

namespace {

constexpr const char* kDownloadFailed = "Download Failed";
constexpr size_t kMaxSystemTextLength = 1023;
constexpr size_t kWriteBatchSize = 256 * 1024;
constexpr size_t kErrorTextSize = 1000;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[kErrorTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

std::string PatchFileName(uint32_t version) {
    char name[32];
    std::snprintf(name, sizeof name, "pk%.4u.patch", version);
    return name;
}

std::string PatchUrl(const std::string& serverAddress, uint32_t version) {
    return ServerUrl(serverAddress, "/patch/patch/" + PatchFileName(version));
}

std::string VersionFileUrl(const std::string& serverAddress) {
    return ServerUrl(serverAddress, "/patch/UpdateVersion.ini");
}

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

CUpdateDownload::CUpdateDownload(UpdaterWindow& window, RunReport& report,
                                 const VersionNumbers& versions, const StopEvent& stop,
                                 FreeSpaceQuery freeSpace)
    : window_(window),
      report_(report),
      versions_(versions),
      stop_(stop),
      freeSpace_(std::move(freeSpace)),
      session_(kAppTitle),
      releaseKey_(BuiltInReleaseKey(CompiledReleaseKey())) {
    // Every wait on the network ends soon after a stop request, whatever the server does.
    session_.SetStopEvent(&stop_);
}

CUpdateDownload::~CUpdateDownload() { CloseTransfer(); }

void CUpdateDownload::SetTimeouts(unsigned connectMs, unsigned receiveMs) {
    session_.SetConnectTimeout(connectMs);
    session_.SetReceiveTimeout(receiveMs);
}

void CUpdateDownload::ShowInternetError(const InternetError& error) {
    lastError_ = error.code;
    // A stop request is no failure to tell the player about.
    if (error.code == kInternetOperationCancelled) return;
    window_.ShowMessageBox(error.text.substr(0, kMaxSystemTextLength));
}

uint64_t CUpdateDownload::QueryRemoteSize(const std::string& url, bool* failed) {
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

bool CUpdateDownload::OpenDownload(const std::string& url, const std::string& localName) {
    // A transfer abandoned after a failure may still be open; its descriptor must not leak.
    CloseTransfer();
    checking_ = checkArmed_;
    checkArmed_ = false;
    localName_ = localName;
    expectedSize_ = QueryRemoteSize(url);
    if (expectedSize_ == 0) {
        if (StopRequested()) return false;
        report_.Error(std::string(kDownloadFailed) + ": Cannot read the file.", "c25");
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
        report_.Error(std::string(kDownloadFailed) + ": Cannot open server file.", "c30");
        return false;
    }
    pendingWrite_.clear();
    pendingWrite_.reserve(kWriteBatchSize);
    localFile_ = OpenFile(localName, OpenMode::WriteCreateTruncate);
    if (!localFile_.IsOpen()) {
        lastError_ = static_cast<uint32_t>(errno);
        report_.Error(std::string(kDownloadFailed) + ": " + localName + " Cannot open the file.",
                      "c32");
        return false;
    }
    window_.BeginFileProgress(expectedSize_, 0);
    return true;
}

int CUpdateDownload::FailReceive(const char* format, const char* code) {
    report_.Error(Format(format, kDownloadFailed, "", static_cast<int>(lastError_),
                         static_cast<int>(versions_.currentVersion)),
                  code);
    return kFailed;
}

int CUpdateDownload::ReceiveBlock() {
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
        return FailReceive("%sEx: %s,%d,%d ", "c23-1");
    }
    lastError_ = 0;
    receivedSize_ += n;
    if (checking_) downloadCheck_.Add(receiveBuffer_, n);

    pendingWrite_.insert(pendingWrite_.end(), receiveBuffer_, receiveBuffer_ + n);
    bool last = receivedSize_ >= expectedSize_;
    if ((last || pendingWrite_.size() >= kWriteBatchSize) && !FlushLocalFile()) {
        lastError_ = static_cast<uint32_t>(errno);
        return FailReceive("%sLWx: %s,%d,%d ", "c23");
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

    bool closed = CloseLocalFile();
    remoteFile_.reset();
    if (!closed) {
        lastError_ = static_cast<uint32_t>(errno);
        return FailReceive("%sLWx: %s,%d,%d ", "c23");
    }
    window_.ShowByteCounter(static_cast<int64_t>(receivedSize_),
                            static_cast<int64_t>(expectedSize_), true);
    if (receivedSize_ == expectedSize_) {
        if (!checking_ || downloadCheck_.Matches()) return kComplete;
        // Nothing may use bytes that were not signed: the file goes before anyone reads it.
        DeleteFile(localName_);
        RefuseRelease(SignedChecksumMessage(localName_));
        return kFailed;
    }

    report_.Error(Format("%sOv: %s,%d,%d,%" PRId64 "/%" PRId64 " ", kDownloadFailed, "",
                         static_cast<int>(lastError_), static_cast<int>(versions_.currentVersion),
                         static_cast<int64_t>(receivedSize_), static_cast<int64_t>(expectedSize_)),
                  "c34");
    WriteStateMarker("FILE_SIZE_ERR");
    return kFailed;
}

bool CUpdateDownload::HasFreeSpace(uint64_t bytes) const {
    std::optional<uint64_t> available = freeSpace_ ? freeSpace_() : std::nullopt;
    return available && *available > bytes;
}

void CUpdateDownload::StartTotalProgress() {
    totalProgress_ = true;
    totalReceived_ = 0;
}

void CUpdateDownload::CloseTransfer() {
    CloseLocalFile();
    remoteFile_.reset();
}

bool CUpdateDownload::FlushLocalFile() {
    if (pendingWrite_.empty()) return true;
    bool written = localFile_.IsOpen() &&
                   WriteFull(localFile_.Get(), pendingWrite_.data(), pendingWrite_.size());
    if (!localFile_.IsOpen()) errno = EBADF;
    pendingWrite_.clear();
    return written;
}

bool CUpdateDownload::CloseLocalFile() {
    bool flushed = FlushLocalFile();
    int error = errno;
    bool closed = localFile_.Close();
    if (!flushed) errno = error;
    return flushed && closed;
}

bool CUpdateDownload::FetchSignedRelease(const std::string& serverAddress) {
    signedRelease_.reset();
    SignedRelease release(*releaseKey_);
    std::string message;
    std::optional<InternetError> transport;
    if (!release.Fetch(session_, ServerUrl(serverAddress, std::string("/") + kManifestPath),
                       ServerUrl(serverAddress, std::string("/") + kManifestSignaturePath),
                       &message, &transport)) {
        if (transport) ShowInternetError(*transport);
        RefuseRelease(message);
        return false;
    }
    signedRelease_ = std::move(release);
    return true;
}

void CUpdateDownload::ExpectSignedFile(const ManifestEntry& entry) {
    downloadCheck_.Begin(entry);
    checkArmed_ = true;
}

bool CUpdateDownload::ExpectSigned(const std::string& signedPath, const std::string& localName) {
    checkArmed_ = false;
    if (!releaseKey_) return true;
    const ManifestEntry* entry = signedRelease_ ? signedRelease_->Find(signedPath) : nullptr;
    if (!entry) {
        RefuseRelease(UnsignedFileMessage(localName));
        return false;
    }
    ExpectSignedFile(*entry);
    return true;
}

bool CUpdateDownload::CheckSignedPackage(uint32_t version, uint64_t announcedSize) {
    const ManifestEntry* entry = signedRelease_->Find(SignedPackagePath(version));
    if (!entry) {
        RefuseRelease(UnsignedFileMessage(PatchFileName(version)));
        return false;
    }
    if (entry->size != announcedSize) {
        RefuseRelease(SignedSizeMessage(PatchFileName(version)));
        return false;
    }
    return true;
}

void CUpdateDownload::RefuseRelease(const std::string& message) {
    releaseRefused_ = true;
    report_.Error(Status::Failure(message));
}

}  // namespace korvun
