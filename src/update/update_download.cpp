#include "update/update_download.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "app/messages.h"
#include "app/player_codes.h"
#include "update/server_address.h"

namespace korvun {

namespace {

constexpr size_t kMaxSystemTextLength = 1023;
constexpr size_t kWriteBatchSize = 256 * 1024;

}  // namespace

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

std::optional<uint64_t> AnnouncedSize(const InternetFile& answer) {
    if (answer.StatusCode() == 206) {
        const std::optional<InternetFile::ContentRange>& range = answer.Range();
        if (!range || range->first != 0) return std::nullopt;
        return range->total;
    }
    // Not even the first byte: the file is empty.
    if (answer.StatusCode() == 416) return 0;
    if (const std::optional<std::string>& header = answer.ContentLengthHeader()) {
        return ParseContentLength(*header);
    }
    return std::nullopt;
}

CUpdateDownload::CUpdateDownload(RunEvents& events, RunReport& report,
                                 const VersionNumbers& versions, const StopEvent& stop,
                                 FreeSpaceQuery freeSpace, ClientDirectory client)
    : events_(events),
      report_(report),
      versions_(versions),
      stop_(stop),
      freeSpace_(std::move(freeSpace)),
      session_(kAppTitle),
      batch_(new char[kWriteBatchSize]),
      releaseKey_(BuiltInReleaseKey(CompiledReleaseKey())),
      client_(std::move(client)) {
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
    report_.Box(error.text.substr(0, kMaxSystemTextLength));
}

bool CUpdateDownload::WaitToRetry(InternetError* error) {
    if (!retry_.CanRetry() || StopRequested()) return false;
    retryShown_ = true;
    events_.ShowRetrying(RetryingText(retry_.NextAttempt(), retry_.Attempts()));
    if (retry_.Pause(stop_)) return true;
    if (error != nullptr) *error = InternetError::FromCode(kInternetOperationCancelled);
    return false;
}

void CUpdateDownload::EndRetries(bool recovered) {
    if (!retryShown_) return;
    retryShown_ = false;
    events_.EndRetrying(recovered);
}

uint64_t CUpdateDownload::QueryRemoteSize(const std::string& url, bool* failed) {
    if (failed != nullptr) *failed = false;
    announcedValidator_.clear();
    retry_.Reset();
    EndRetries(false);
    InternetError error;
    for (;;) {
        // Only the first byte is asked for: a server that can send a part tells the whole
        // file's size in its range and sends no more, where the whole body would be read
        // into buffers and dropped. One that cannot sends the file with its length.
        remoteFile_ = session_.OpenUrl(url, &error, RangeRequest{0, "", 0});
        // After its retries a server failure's page counts as the answer, as any page does.
        if (remoteFile_ && IsTransientStatus(remoteFile_->StatusCode()) && WaitToRetry(nullptr)) {
            continue;
        }
        if (remoteFile_ || !IsTransientFailure(error) || !WaitToRetry(&error)) break;
    }
    if (!remoteFile_) {
        ShowInternetError(error);
        if (failed != nullptr) *failed = true;
        return 0;
    }
    EndRetries(true);
    // A negative, malformed or absent length is no size at all: the download is refused
    // instead of trusting a wrapped or truncated number.
    std::optional<uint64_t> size = AnnouncedSize(*remoteFile_);
    announcedValidator_ = ValidatorOf(*remoteFile_);
    remoteFile_.reset();
    return size.value_or(0);
}

bool CUpdateDownload::OpenRemote(uint64_t offset, const std::string& validator,
                                 InternetError* error) {
    std::optional<RangeRequest> range;
    if (offset > 0) range = RangeRequest{offset, validator, std::nullopt};
    for (;;) {
        remoteFile_ = session_.OpenUrl(url_, error, range);
        if (remoteFile_ && IsTransientStatus(remoteFile_->StatusCode()) && WaitToRetry(nullptr)) {
            continue;
        }
        if (remoteFile_ && range && remoteFile_->StatusCode() == 416) {
            // The server has less than the bytes on disk: the file is not the one they came
            // from, and is asked for whole.
            range.reset();
            continue;
        }
        if (remoteFile_ && remoteFile_->StatusCode() == 206 &&
            !ContinuationStart(*remoteFile_, range ? offset : 0, expectedSize_)) {
            // A part that cannot be placed (past the bytes held, of another file, or without
            // its place) is never written anywhere: the file is asked for whole, and a part
            // nobody asked for is no answer.
            if (!range) {
                remoteFile_.reset();
                *error = InternetError::FromCode(kInternetInvalidServerResponse);
                break;
            }
            range.reset();
            continue;
        }
        if (remoteFile_ || !IsTransientFailure(*error) || !WaitToRetry(error)) break;
    }
    if (!remoteFile_) return false;
    std::optional<uint64_t> start =
        range ? ContinuationStart(*remoteFile_, offset, expectedSize_) : std::nullopt;
    continuedAt_ = start.value_or(0);
    validator_ = start ? validator : ValidatorOf(*remoteFile_);
    return true;
}

bool CUpdateDownload::MoveBackTo(uint64_t at) {
    if (at >= receivedSize_) return true;
    receivedSize_ = at;
    // A file created for this download is not in append mode: its position goes back too.
    if (localFile_.IsOpen() &&
        (!TruncateFile(localFile_.Get(), at) ||
         SeekFile(localFile_.Get(), static_cast<int64_t>(at), SEEK_SET) < 0)) {
        return false;
    }
    if (!checking_) return true;
    downloadCheck_.Restart();
    return CheckBytesOnDisk(at);
}

bool CUpdateDownload::CheckBytesOnDisk(uint64_t length) {
    FileHandle file = OpenFile(localPath_, OpenMode::ReadOnly);
    if (!file.IsOpen()) return false;
    std::vector<char> buffer(kWriteBatchSize);
    for (uint64_t done = 0; done < length;) {
        // Gigabytes held take seconds to read and hash; a stop request must not wait for them.
        if (StopRequested()) return false;
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
        if (!ReadFull(file.Get(), buffer.data(), want)) return false;
        downloadCheck_.Add(buffer.data(), want);
        done += want;
    }
    return true;
}

ResumePlan CUpdateDownload::PlanLocalFile() {
    if (!resumable_) return {};
    ResumePlan plan = PlanResume(LoadResumeRecord(localPath_), FileSize(localPath_), expectedSize_,
                                 announcedValidator_);
    if (plan.kind == ResumePlan::Kind::StartOver || !checking_) return plan;
    // With a signed hash the bytes on disk are proved, not trusted.
    downloadCheck_.Restart();
    if (!CheckBytesOnDisk(plan.offset)) return {};
    if (plan.kind == ResumePlan::Kind::Complete && !downloadCheck_.Matches()) return {};
    return plan;
}

bool CUpdateDownload::OpenLocalFile() {
    if (continuedAt_ > 0) {
        if (!MoveBackTo(continuedAt_)) return false;
        localFile_ = OpenFile(localPath_, OpenMode::ReadWriteAppend);
        // Anything past the place the server continues from is not the server's.
        if (localFile_.IsOpen() && !TruncateFile(localFile_.Get(), continuedAt_)) {
            localFile_.Reset();
        }
        return localFile_.IsOpen();
    }
    // The old record goes first: a stop in between must not leave it beside other bytes.
    DiscardResumeRecord(localPath_);
    receivedSize_ = 0;
    if (checking_) downloadCheck_.Restart();
    localFile_ = OpenFile(localPath_, OpenMode::WriteCreateTruncate);
    if (!localFile_.IsOpen()) return false;
    if (resumable_ && !validator_.empty() &&
        !SaveResumeRecord(localPath_, {expectedSize_, validator_})) {
        // Without a durable record the bytes cannot be proved later: they are not kept for it.
        DiscardResumeRecord(localPath_);
    }
    return true;
}

bool CUpdateDownload::RestartLocalFile() {
    DiscardResumeRecord(localPath_);
    receivedSize_ = 0;
    continued_ = false;
    if (checking_) downloadCheck_.Restart();
    if (!localFile_.IsOpen() || !TruncateFile(localFile_.Get(), 0) ||
        SeekFile(localFile_.Get(), 0, SEEK_SET) != 0) {
        return false;
    }
    if (resumable_ && !validator_.empty() &&
        !SaveResumeRecord(localPath_, {expectedSize_, validator_})) {
        DiscardResumeRecord(localPath_);
    }
    return true;
}

void CUpdateDownload::ShowFileProgress() {
    events_.BeginFileProgress(expectedSize_, receivedSize_);
    if (totalProgress_) {
        totalReceived_ = totalBefore_ + receivedSize_;
        events_.SetTotalProgress(totalReceived_);
    }
}

bool CUpdateDownload::OpenDownload(const std::string& url, const std::string& localName,
                                   bool resumable) {
    // A transfer abandoned after a failure may still be open; its descriptor must not leak.
    CloseTransfer();
    checking_ = checkArmed_;
    checkArmed_ = false;
    localName_ = localName;
    localPath_ = client_.Path(localName);
    url_ = url;
    resumable_ = resumable;
    alreadyComplete_ = continued_ = refetchedWhole_ = false;
    resumedFrom_ = continuedAt_ = brokeAt_ = 0;
    validator_.clear();
    totalBefore_ = totalReceived_;
    expectedSize_ = QueryRemoteSize(url);
    if (expectedSize_ == 0) {
        if (StopRequested()) return false;
        report_.Error(PlayerFailure(PlayerCode::SizeUnknown));
        return false;
    }
    if (checking_ && expectedSize_ != downloadCheck_.SignedSize()) {
        RefuseRelease(SignedSizeMessage(localName));
        return false;
    }
    ResumePlan plan = PlanLocalFile();
    // A stop during the check of the bytes held keeps them for the next run.
    if (StopRequested()) return false;
    receivedSize_ = plan.offset;
    events_.ShowByteCounter(static_cast<int64_t>(receivedSize_),
                            static_cast<int64_t>(expectedSize_), false);
    events_.ClearSpeedText();
    if (plan.kind == ResumePlan::Kind::Complete) {
        // The file an earlier run finished is still the server's: nothing to fetch.
        alreadyComplete_ = true;
        resumedFrom_ = receivedSize_;
        ShowFileProgress();
        return true;
    }

    InternetError error;
    retry_.Reset();
    if (!OpenRemote(plan.offset, plan.validator, &error)) {
        ShowInternetError(error);
        if (StopRequested()) return false;
        report_.Error(PlayerFailure(PlayerCode::ServerFileUnopened));
        return false;
    }
    EndRetries(true);
    batchUsed_ = 0;
    if (!OpenLocalFile()) {
        lastError_ = static_cast<uint32_t>(errno);
        report_.Error(PlayerFailure(PlayerCode::LocalFileUnopened, {localName}));
        return false;
    }
    continued_ = continuedAt_ > 0;
    resumedFrom_ = receivedSize_;
    if (continued_) events_.ResumingDownload(localName, continuedAt_, expectedSize_);
    ShowFileProgress();
    return true;
}

int CUpdateDownload::FailReceive(PlayerCode code) {
    report_.Error(
        PlayerFailure(code, {std::to_string(static_cast<int>(lastError_)),
                             std::to_string(static_cast<int>(versions_.currentVersion))}));
    return kFailed;
}

bool CUpdateDownload::Reconnect(InternetError* error) {
    remoteFile_.reset();
    brokeAt_ = std::max(brokeAt_, receivedSize_);
    if (!WaitToRetry(error)) return false;
    // Without a validator nothing proves that the server still has the same file.
    uint64_t offset = validator_.empty() ? 0 : receivedSize_;
    std::string validator = validator_;
    if (!OpenRemote(offset, validator, error)) return false;
    if (continuedAt_ > 0) {
        continued_ = true;
        if (!MoveBackTo(continuedAt_)) return false;
    } else if (!RestartLocalFile()) {
        return false;
    }
    EndRetries(false);
    ShowFileProgress();
    return true;
}

bool CUpdateDownload::MoveToNextServer(InternetError* error) {
    remoteFile_.reset();
    while (resumable_ && nextServer_ && !StopRequested() &&
           error->code != kInternetOperationCancelled) {
        std::string next = nextServer_();
        if (next.empty()) return false;
        url_ = next;
        retry_.Reset();
        // Another server's validator is its own; with a signed hash the bytes need none, the
        // hash decides at the end. Otherwise only a server that names the file as the first
        // one did (mirrors copied with their times) continues it.
        uint64_t offset = checking_ || !validator_.empty() ? receivedSize_ : 0;
        std::string validator = checking_ ? "" : validator_;
        if (!OpenRemote(offset, validator, error)) continue;
        if (continuedAt_ > 0) {
            continued_ = true;
            if (!MoveBackTo(continuedAt_)) return false;
        } else if (!RestartLocalFile()) {
            return false;
        }
        if (validator_.empty() && checking_) validator_ = ValidatorOf(*remoteFile_);
        EndRetries(false);
        ShowFileProgress();
        return true;
    }
    return false;
}

bool CUpdateDownload::RefetchWhole() {
    if (!continued_ || refetchedWhole_) return false;
    refetchedWhole_ = true;
    DiscardResumeRecord(localPath_);
    InternetError error;
    retry_.Reset();
    if (!OpenRemote(0, "", &error)) return false;
    localFile_ = OpenFile(localPath_, OpenMode::WriteCreateTruncate);
    if (!localFile_.IsOpen()) return false;
    if (!RestartLocalFile()) return false;
    ShowFileProgress();
    return true;
}

int CUpdateDownload::CompleteFile() {
    events_.ShowByteCounter(static_cast<int64_t>(receivedSize_),
                            static_cast<int64_t>(expectedSize_), true);
    if (receivedSize_ == expectedSize_) {
        if (!checking_ || alreadyComplete_ || downloadCheck_.Matches()) {
            DiscardResumeRecord(localPath_);
            return kComplete;
        }
        if (RefetchWhole()) return kMoreData;
        // Nothing may use bytes that were not signed: the file goes before anyone reads it.
        DiscardResumeRecord(localPath_);
        DeleteFile(localPath_);
        RefuseRelease(SignedChecksumMessage(localName_));
        return kFailed;
    }

    DiscardResumeRecord(localPath_);
    report_.Error(PlayerFailure(PlayerCode::PackageLongerThanAnnounced,
                                {std::to_string(static_cast<int>(lastError_)),
                                 std::to_string(static_cast<int>(versions_.currentVersion)),
                                 std::to_string(static_cast<int64_t>(receivedSize_)),
                                 std::to_string(static_cast<int64_t>(expectedSize_))}));
    WriteStateMarker(client_, "FILE_SIZE_ERR");
    return kFailed;
}

int CUpdateDownload::ReceiveBlock() {
    if (alreadyComplete_) return CompleteFile();
    size_t n = 0;
    InternetError error;
    // A checked download never reads past its signed size, whatever the server sends on.
    size_t want = checking_
                      ? static_cast<size_t>(std::min<uint64_t>(
                            kBlockSize, expectedSize_ - std::min(receivedSize_, expectedSize_)))
                      : kBlockSize;
    bool read = remoteFile_ && remoteFile_->Read(batch_.get() + batchUsed_, want, &n, &error);
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
        bool flushed = FlushLocalFile();
        if (flushed && IsTransientFailure(error) &&
            (Reconnect(&error) || MoveToNextServer(&error))) {
            return kMoreData;
        }
        ShowInternetError(error);
        if (error.code == kInternetOperationCancelled) return kFailed;
        return FailReceive(PlayerCode::PackageReadFailed);
    }
    lastError_ = 0;
    receivedSize_ += n;
    // Only bytes beyond the place it broke are progress; a server that breaks off at the same
    // place every time uses the retries up.
    if (receivedSize_ > brokeAt_) retry_.Reset();
    batchUsed_ += n;
    bool last = receivedSize_ >= expectedSize_;
    if ((last || batchUsed_ + kBlockSize > kWriteBatchSize) && !FlushLocalFile()) {
        lastError_ = static_cast<uint32_t>(errno);
        return FailReceive(PlayerCode::PackageWriteFailed);
    }

    events_.SetFileProgress(receivedSize_);
    if (totalProgress_) {
        totalReceived_ = totalBefore_ + receivedSize_;
        events_.SetTotalProgress(totalReceived_);
    }
    events_.UpdateSpeed(static_cast<uint32_t>(receivedSize_), static_cast<uint32_t>(n));
    events_.ShowByteCounter(static_cast<int64_t>(receivedSize_),
                            static_cast<int64_t>(expectedSize_), false);
    if (receivedSize_ < expectedSize_) return kMoreData;

    bool closed = CloseLocalFile();
    remoteFile_.reset();
    if (!closed) {
        lastError_ = static_cast<uint32_t>(errno);
        return FailReceive(PlayerCode::PackageWriteFailed);
    }
    return CompleteFile();
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
    if (batchUsed_ == 0) return true;
    if (checking_) downloadCheck_.Add(batch_.get(), batchUsed_);
    bool written = localFile_.IsOpen() && WriteFull(localFile_.Get(), batch_.get(), batchUsed_);
    if (!localFile_.IsOpen()) errno = EBADF;
    batchUsed_ = 0;
    return written;
}

bool CUpdateDownload::CloseLocalFile() {
    bool flushed = FlushLocalFile();
    int error = errno;
    bool closed = localFile_.Close();
    if (!flushed) errno = error;
    return flushed && closed;
}

bool CUpdateDownload::FetchReleaseFile(const std::string& url, std::string* body,
                                       InternetError* error) {
    retry_.Reset();
    EndRetries(false);
    for (;;) {
        long status = 0;
        if (FetchSmallFile(session_, url, body, error, &status)) {
            EndRetries(true);
            return true;
        }
        bool transient = error->code != 0 ? IsTransientFailure(*error) : IsTransientStatus(status);
        if (!transient || !WaitToRetry(error)) return false;
    }
}

bool CUpdateDownload::FetchSignedRelease(const std::string& serverAddress) {
    signedRelease_.reset();
    std::string manifest, signature;
    InternetError error;
    // An error page is no signed text to judge: the release cannot be fetched.
    if (!FetchReleaseFile(ServerUrl(serverAddress, std::string("/") + kManifestPath), &manifest,
                          &error) ||
        !FetchReleaseFile(ServerUrl(serverAddress, std::string("/") + kManifestSignaturePath),
                          &signature, &error)) {
        if (error.code != 0) ShowInternetError(error);
        if (StopRequested()) return false;
        RefuseRelease(ReleaseUnavailableMessage());
        return false;
    }
    SignedRelease release(*releaseKey_, client_);
    std::string message;
    if (!release.Accept(manifest, signature, &message)) {
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

bool CUpdateDownload::CheckSignedPackagePresent(uint32_t version) {
    if (!signedRelease_->Find(SignedPackagePath(version))) return true;
    RefuseRelease(MissingSignedFileMessage(PatchFileName(version)));
    return false;
}

void CUpdateDownload::RefuseRelease(const std::string& message) {
    releaseRefused_ = true;
    // A refusal ends the run at once, whichever attempt met it.
    report_.Hold(false);
    report_.Error(Status::Failure(message));
}

}  // namespace korvun
