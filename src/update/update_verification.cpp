// The worker's side of release verification: the run's signed manifest, and the check that
// each download is armed with.
#include "update/server_address.h"
#include "update/update_thread.h"

namespace korvun {

bool CUpdateThread::FetchSignedRelease() {
    signedRelease_.reset();
    SignedRelease release(*releaseKey_);
    std::string message;
    std::optional<InternetError> transport;
    if (!release.Fetch(session_, ServerUrl(std::string("/") + kManifestPath),
                       ServerUrl(std::string("/") + kManifestSignaturePath), &message,
                       &transport)) {
        if (transport) ShowInternetError(*transport);
        RefuseRelease(message);
        return false;
    }
    signedRelease_ = std::move(release);
    return true;
}

void CUpdateThread::ExpectSignedFile(const ManifestEntry& entry) {
    downloadCheck_.Begin(entry);
    checkArmed_ = true;
}

bool CUpdateThread::ExpectSigned(const std::string& signedPath, const std::string& localName) {
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

bool CUpdateThread::CheckSignedPackage(uint32_t version, uint64_t announcedSize) {
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

void CUpdateThread::RefuseRelease(const std::string& message) {
    releaseRefused_ = true;
    window_.ShowErrorText(message);
}

}  // namespace korvun
